"""Hostile bytes through the Python API: a ValueError or a result, never a crash."""
import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from quillane import TurboQuantizer

Q = TurboQuantizer(8, bits=4, projections=9, seed=1)
QUERY = np.linspace(-1, 1, 8, dtype=np.float32)
VALID = Q.encode(np.arange(8, dtype=np.float32)).tobytes()


def mutated():
    """Arbitrary bytes, and valid codes with bytes flipped, cut or appended."""
    flips = st.lists(st.tuples(st.integers(0, len(VALID) - 1), st.integers(0, 255)), max_size=6)

    def apply(edits, cut, tail):
        raw = bytearray(VALID)
        for at, value in edits:
            raw[at] = value
        return bytes(raw[:cut]) + tail

    return st.one_of(st.binary(max_size=200),
                     st.builds(apply, flips, st.integers(0, len(VALID)), st.binary(max_size=8)))


@settings(max_examples=400, deadline=None)
@given(mutated())
def test_arbitrary_bytes_are_refused_or_accepted_cleanly(raw):
    code = np.frombuffer(raw, dtype=np.uint8).copy()
    for call in (lambda: Q.decode(code), lambda: Q.inner_product(code, QUERY)):
        try:
            result = call()
        except ValueError as error:
            assert str(error).startswith(("deserialization failed: ", "dimension mismatch: "))
        else:
            assert isinstance(result, float) or result.shape == (8,)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.floats(width=32, allow_nan=False, allow_infinity=False), min_size=8, max_size=8))
def test_encoded_codes_read_back(values):
    v = np.array(values, dtype=np.float32)
    try:
        code = Q.encode(v)
    except ValueError as error:  # rotation or residual overflow of huge inputs
        assert "non-finite" in str(error) or "norm is infinite" in str(error)
        return
    assert len(code) == Q.code_size_bytes
    assert Q.decode(code).shape == (8,)
