"""TurboQuantizer: defaults, getters, reprs, docstrings, and the core's behaviour."""
import json
import pathlib
import struct

import numpy as np
import pytest

from quillane import TurboQuantizer

DATA = pathlib.Path(__file__).parent.parent / "data"


@pytest.mark.parametrize("dim, projections", [(2, 1), (6, 1), (8, 2), (128, 32), (768, 192)])
def test_default_projections_and_code_size(dim, projections):
    q = TurboQuantizer(dim)
    assert q.code_size_bytes == 16 + 3 * dim + (projections + 7) // 8
    explicit = TurboQuantizer(dim, bits=4, projections=projections, seed=42)
    v = np.linspace(-2, 3, dim, dtype=np.float32)
    assert np.array_equal(q.encode(v), explicit.encode(v))
    assert np.array_equal(TurboQuantizer(dim, projections=None).encode(v), q.encode(v))


@pytest.mark.parametrize("dim, text", [(8, "TurboQuantizer(dim=8, code_size=41B)"),
                                       (128, "TurboQuantizer(dim=128, code_size=404B)")])
def test_repr(dim, text):
    assert repr(TurboQuantizer(dim)) == text


@pytest.mark.parametrize("bits", range(1, 17))
def test_every_bit_width_round_trips(bits):
    q = TurboQuantizer(16, bits=bits)
    rng = np.random.default_rng(bits)
    for _ in range(5):
        v = rng.standard_normal(16).astype(np.float32)
        code = q.encode(v)
        assert code.dtype == np.uint8 and len(code) == q.code_size_bytes
        decoded = q.decode(code)
        assert decoded.dtype == np.float32 and decoded.shape == (16,)
        score = q.inner_product(code, v)
        assert isinstance(score, float)
        assert struct.unpack("f", struct.pack("f", score))[0] == score


def test_docstrings_and_signatures():
    assert TurboQuantizer.__doc__.startswith("TurboQuantizer: two-stage vector quantization (Polar + QJL).")
    assert TurboQuantizer.__doc__.endswith("    seed: Random seed for deterministic rotation/projection")
    assert TurboQuantizer.encode.__text_signature__ == "($self, vector)"
    assert TurboQuantizer.decode.__text_signature__ == "($self, code)"
    assert TurboQuantizer.inner_product.__text_signature__ == "($self, code, query)"
    assert TurboQuantizer.encode.__doc__ == (
        "Encode a vector to compact bytes.\n\nArgs:\n    vector: numpy float32 array of length `dim`"
        "\n\nReturns:\n    numpy uint8 array of compressed code")
    assert TurboQuantizer.inner_product.__doc__ == (
        "Estimate inner product between a compressed code and a query vector.\n\n"
        "Much faster than decompressing and computing full dot product.")
    assert TurboQuantizer.dim.__doc__ == "Return the vector dimension."
    assert TurboQuantizer.code_size_bytes.__doc__ == "Return the compressed code size in bytes (cached at construction)."


def test_same_arguments_give_identical_bytes():
    a, b = TurboQuantizer(32, 3, 8, 99), TurboQuantizer(32, 3, 8, 99)
    rng = np.random.default_rng(0)
    for _ in range(10):
        v = rng.standard_normal(32).astype(np.float32)
        assert a.encode(v).tobytes() == b.encode(v).tobytes()


def hex_floats(text):
    raw = bytes.fromhex(text)
    return np.frombuffer(raw, dtype="<f4").astype(np.float32)


def golden_entries():
    for name in ("reference-vectors.json", "golden-core.json"):
        for entry in json.loads((DATA / name).read_text())["quantizer"]:
            yield pytest.param(entry, id=f"{name.split('-')[0]}-{entry['dim']}-{entry['bits']}-{entry['projections']}")


@pytest.mark.parametrize("entry", list(golden_entries()))
def test_golden_codes_decodings_and_estimates(entry):
    q = TurboQuantizer(entry["dim"], entry["bits"], entry["projections"], int(entry["seed"]))
    assert q.code_size_bytes == entry["code_size_bytes"]
    queries = [hex_floats(t) for t in entry["queries"]]
    for item in entry["vectors"]:
        code = q.encode(hex_floats(item["vector"]))
        assert code.tobytes().hex() == item["code"]
        assert [f"{w:08x}" for w in q.decode(code).view(np.uint32)] == item["decoded"]
        for query, expected in zip(queries, item["inner_product_with_queries"]):
            got = np.float32(q.inner_product(code, query)).view(np.uint32)
            assert f"{got:08x}" == expected


@pytest.mark.parametrize("vector, message", [
    (np.zeros(7, dtype=np.float32), "dimension mismatch: quantizer expects 8, got 7"),
    (np.full(7, np.nan, dtype=np.float32), "dimension mismatch: quantizer expects 8, got 7"),
    (np.zeros(0, dtype=np.float32), "dimension mismatch: quantizer expects 8, got 0"),
    (np.array([1, np.nan, np.inf, 0, 0, 0, 0, 0], dtype=np.float32),
     "input contains non-finite values (NaN or Inf) at index 1"),
    (np.array([0, 0, 0, 0, 0, 0, 0, -np.inf], dtype=np.float32),
     "input contains non-finite values (NaN or Inf) at index 7"),
])
def test_bad_vectors_and_queries_raise_value_error(vector, message):
    q = TurboQuantizer(8)
    with pytest.raises(ValueError) as info:
        q.encode(vector)
    assert str(info.value) == message
    code = q.encode(np.ones(8, dtype=np.float32))
    with pytest.raises(ValueError) as info:
        q.inner_product(code, vector)
    assert str(info.value) == message


@pytest.mark.parametrize("raw, message", [
    (b"", "deserialization failed: buffer is empty"),
    (b"\x00\x00\x00", "deserialization failed: unsupported version 0x00, expected 0x01"),
    (b"\x01\x00\x00", "deserialization failed: buffer too short for polar length prefix"),
    (b"\x01\xff\xff\xff\xff\x00", "deserialization failed: buffer too short for polar payload"),
    (bytes.fromhex("010400000001040000"), "deserialization failed: missing qjl payload"),
])
def test_malformed_codes_raise_value_error(raw, message):
    q = TurboQuantizer(8)
    code = np.frombuffer(raw, dtype=np.uint8).copy()
    for call in (lambda: q.decode(code), lambda: q.inner_product(code, np.ones(8, dtype=np.float32))):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


def test_overflowing_residual_norm_is_refused_at_encoding(overflowing_vector):
    q = TurboQuantizer(8, bits=1)
    with pytest.raises(ValueError) as info:
        q.encode(overflowing_vector)
    assert str(info.value) == "deserialization failed: norm is infinite"


def test_code_with_too_few_sign_bytes_is_refused():
    small, big = TurboQuantizer(16, projections=8), TurboQuantizer(16, projections=17)
    code = small.encode(np.ones(16, dtype=np.float32))
    with pytest.raises(ValueError) as info:
        big.inner_product(code, np.ones(16, dtype=np.float32))
    assert str(info.value) == "dimension mismatch: quantizer expects 17, got 8"


def test_decode_of_a_foreign_code_gives_dim_values():
    code = TurboQuantizer(4).encode(np.ones(4, dtype=np.float32))
    assert TurboQuantizer(8).decode(code).shape == (8,)


def test_estimates_track_inner_products():
    dim = 128
    q = TurboQuantizer(dim, bits=4)
    rng = np.random.default_rng(3)
    x = rng.standard_normal((200, dim)).astype(np.float32)
    y = rng.standard_normal(dim).astype(np.float32)
    est = np.array([q.inner_product(q.encode(v), y) for v in x])
    exact = x @ y
    # Coarse at 4 bits (only 8 of the 16 cells reach the angle range), but informative.
    assert np.corrcoef(est, exact)[0, 1] > 0.7
