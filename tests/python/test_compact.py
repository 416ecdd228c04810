"""CompactQuantizer and CompactIndex: sizes, errors, estimates, search, hostile codes."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillane import CompactIndex, CompactQuantizer, GraphIndex, IvfIndex


@pytest.mark.parametrize("cls", [CompactQuantizer, CompactIndex])
def test_classes_bind_like_the_others(cls):
    assert cls.__module__ == "quillane" and repr(cls) == f"<class 'quillane.{cls.__name__}'>"
    assert cls.__text_signature__ == "(dim, bits=4, seed=42" + (", *, metric='ip')" if cls is CompactIndex else ")")
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError) as info:
        cls(8, 4, 42, 1)
    assert str(info.value) == f"{cls.__name__}.__new__() takes from 1 to 3 positional arguments but 4 were given"


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((0,), ValueError, "argument 'dim': dimension must be > 0"),
        ((65537,), ValueError, "argument 'dim': dimension 65537 too large for compact format (max 65536)"),
        ((8, 0), ValueError, "argument 'bits': bit width must be 1..=8, got 0"),
        ((8, 9), ValueError, "argument 'bits': bit width must be 1..=8, got 9"),
        ((8, 256), OverflowError, None),
        ((-1,), OverflowError, None),
        (("8",), TypeError, None),
    ],
)
def test_constructor_refusals(args, error, message):
    for cls in (CompactQuantizer, CompactIndex):
        with pytest.raises(error) as info:
            cls(*args)
        if message is not None:
            assert str(info.value) == message


@pytest.mark.parametrize("dim, bits", [(1, 1), (7, 3), (8, 4), (768, 4), (1000, 2), (513, 8), (65536, 1)])
def test_sizes_reprs_and_round_trip(dim, bits):
    q = CompactQuantizer(dim, bits=bits, seed=5)
    assert q.dim == dim and q.bits == bits
    assert q.code_size_bytes == 16 + -(-dim * bits // 8)
    assert repr(q) == f"CompactQuantizer(dim={dim}, bits={bits}, code_size={q.code_size_bytes}B)"
    rng = np.random.default_rng(dim)
    x = rng.standard_normal(dim, dtype=np.float32)
    code = q.encode(x)
    assert code.dtype == np.uint8 and code.shape == (q.code_size_bytes,)
    assert np.array_equal(code, CompactQuantizer(dim, bits=bits, seed=5).encode(x))
    decoded = q.decode(code)
    assert decoded.dtype == np.float32 and decoded.shape == (dim,)
    if dim > 1:
        # Relative error of the decoding: about the quantizer's, loose enough for 1 bit.
        assert np.linalg.norm(decoded - x) <= 0.85 * np.linalg.norm(x)


def test_accuracy_rises_with_bits():
    rng = np.random.default_rng(1)
    x, queries = rng.standard_normal(512, dtype=np.float32), rng.standard_normal((50, 512), dtype=np.float32)
    errors = []
    for bits in range(1, 9):
        q = CompactQuantizer(512, bits=bits)
        code = q.encode(x)
        errors.append(np.sqrt(np.mean([(q.inner_product(code, y) - float(x @ y)) ** 2 for y in queries])))
    assert errors == sorted(errors, reverse=True)
    assert errors[-1] < 0.02 * np.linalg.norm(x) * np.sqrt(512) / 8


def test_codes_from_other_quantizers_and_bad_inputs_are_refused():
    q = CompactQuantizer(16, bits=4, seed=1)
    x = np.ones(16, dtype=np.float32)
    with pytest.raises(ValueError, match="^deserialization failed: code was written by another quantizer"):
        q.decode(CompactQuantizer(16, bits=4, seed=2).encode(x))
    with pytest.raises(ValueError, match="^deserialization failed: code has 5 bits per coordinate, quantizer expects 4$"):
        q.inner_product(CompactQuantizer(16, bits=5, seed=1).encode(x), x)
    with pytest.raises(ValueError, match=r"^argument 'vector': expected shape \(16,\), got \(15,\)$"):
        q.encode(x[:15])
    bad = x.copy()
    bad[3] = np.inf
    with pytest.raises(ValueError, match="^argument 'vector': input contains non-finite values"):
        q.encode(bad)


Q = CompactQuantizer(16, bits=4, seed=1)
X = np.ones(16, dtype=np.float32)
CODE = Q.encode(X)
RANGE = "expected an integer from 0 to 18446744073709551615"


def _filled(index):
    index.add(1, X)
    return index


@pytest.mark.parametrize("call, error, message", [
    (lambda: Q.encode(X.astype(np.int64)), TypeError,
     "argument 'vector': expected a floating dtype (float32; others are converted), got int64"),
    (lambda: Q.encode([1.0] * 16), TypeError,
     "argument 'vector': expected a numpy array of dtype float32 and shape (16,), got 'list'"),
    (lambda: Q.encode(np.ones((2, 8), np.float32)), ValueError, "argument 'vector': expected shape (16,), got (2, 8)"),
    (lambda: Q.decode(np.append(CODE, np.uint8(0))), ValueError, "deserialization failed: code is 25 bytes long, expected 24"),
    (lambda: Q.inner_product(np.append(CODE, np.zeros(100, np.uint8)), X), ValueError,
     "deserialization failed: code is 124 bytes long, expected 24"),
    (lambda: Q.inner_product(np.zeros(10, np.uint8), X), ValueError, "deserialization failed: code is 10 bytes long, expected 24"),
    (lambda: Q.decode(CODE[:15]), ValueError, "deserialization failed: code is 15 bytes long, expected 24"),
    (lambda: Q.inner_product(CODE, X.astype(np.int8)), TypeError,
     "argument 'query': expected a floating dtype (float32; others are converted), got int8"),
    (lambda: CompactIndex(16).search(b"x" * 64, 3), TypeError,
     "argument 'query': expected a numpy array of dtype float32 and shape (16,), got 'bytes'"),
    (lambda: CompactIndex(16).search(X, -1), OverflowError, f"argument 'top_k': {RANGE}, got -1"),
    (lambda: CompactIndex(16).add(-1, X), OverflowError, f"argument 'id': {RANGE}, got -1"),
    (lambda: CompactIndex(16).add(2**64, X), OverflowError, f"argument 'id': {RANGE}, got 18446744073709551616"),
    (lambda: CompactIndex(-1), OverflowError, f"argument 'dim': {RANGE}, got -1"),
    (lambda: CompactIndex(16, 300), OverflowError, "argument 'bits': expected an integer from 0 to 255, got 300"),
    (lambda: IvfIndex(16, -2), OverflowError, f"argument 'lists': {RANGE}, got -2"),
    (lambda: IvfIndex(16, 2).search(X.astype(np.complex64), 3), TypeError,
     "argument 'query': expected a floating dtype (float32; others are converted), got complex64"),
    # Single-vector calls name the argument and the shape they expect, as batch calls do.
    (lambda: _filled(CompactIndex(16)).search(np.ones(32, np.float32), 3), ValueError,
     "argument 'query': expected shape (16,), got (32,)"),
    (lambda: _filled(GraphIndex(16)).search(np.ones(8, np.float32), 3), ValueError,
     "argument 'query': expected shape (16,), got (8,)"),
    (lambda: GraphIndex(16).add(1, np.ones(17, np.float32)), ValueError, "argument 'vector': expected shape (16,), got (17,)"),
    (lambda: Q.inner_product(CODE, X[:4]), ValueError, "argument 'query': expected shape (16,), got (4,)"),
    (lambda: _filled(CompactIndex(16)).search(np.where(np.arange(16) == 2, np.nan, X), 3), ValueError,
     "argument 'query': input contains non-finite values (NaN or Inf) at index 2"),
    (lambda: GraphIndex(16).add(1, np.full(16, np.inf, np.float32)), ValueError,
     "argument 'vector': input contains non-finite values (NaN or Inf) at index 0"),
    (lambda: CompactIndex(16, 16), ValueError, "argument 'bits': bit width must be 1..=8, got 16"),
    (lambda: IvfIndex(0, 4), ValueError, "argument 'dim': dimension must be > 0"),
])
def test_one_vector_calls_name_the_argument_and_what_they_expect(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=40), st.integers(0, 39), st.integers(0, 255))
def test_hostile_codes_give_value_errors(data, at, value):
    q = CompactQuantizer(16, bits=4, seed=1)
    valid = bytearray(q.encode(np.arange(16, dtype=np.float32)).tobytes())
    valid[at % len(valid)] = value
    for raw in (data, bytes(valid)):
        code = np.frombuffer(raw, dtype=np.uint8).copy()
        try:
            q.decode(code)
            q.inner_product(code, np.ones(16, dtype=np.float32))
        except ValueError:
            pass


@pytest.mark.parametrize("bits", [1, 4, 8])
def test_index_search_ranks_exactly_by_inner_product(bits):
    dim = 64
    rng = np.random.default_rng(bits)
    vectors = rng.standard_normal((300, dim), dtype=np.float32)
    vectors[10] = vectors[3]  # a tie, kept in insertion order
    q = CompactQuantizer(dim, bits=bits, seed=9)
    index = CompactIndex(dim, bits=bits, seed=9)
    for i, v in enumerate(vectors):
        index.add(1000 + i, v)
    assert len(index) == 300 and repr(index) == f"CompactIndex(size=300, dim={dim}, bits={bits}, seed=9, metric='ip')"
    query = rng.standard_normal(dim, dtype=np.float32)
    scores = np.array([q.inner_product(q.encode(v), query) for v in vectors], dtype=np.float32)
    order = sorted(range(300), key=lambda i: (-scores[i], i))
    ids, got = index.search(query, 20)
    assert ids.dtype == np.uint64 and got.dtype == np.float32
    assert list(ids) == [1000 + i for i in order[:20]]
    assert np.array_equal(got, scores[order[:20]])


def test_index_refusals_leave_it_unchanged():
    index = CompactIndex(8)
    ids, scores = index.search(np.array([np.nan], dtype=np.float32), 5)  # empty: query unread
    assert len(ids) == 0 and len(scores) == 0
    index.add(1, np.ones(8, dtype=np.float32))
    with pytest.raises(ValueError):
        index.add(2, np.ones(9, dtype=np.float32))
    with pytest.raises(ValueError, match=r"^argument 'query': expected shape \(8,\), got \(7,\)$"):
        index.search(np.ones(7, dtype=np.float32), 3)
    assert len(index) == 1 and list(index.search(np.ones(8, dtype=np.float32), 3)[0]) == [1]
