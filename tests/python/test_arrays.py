"""NumPy arrays in and out: accepted kinds, refusals, and the returned buffers."""
import numpy as np
import pytest

from quillane import TurboQuantizer, VectorIndex


@pytest.fixture(scope="module")
def q():
    return TurboQuantizer(8)


V8 = np.linspace(-1, 1, 8, dtype=np.float32)


@pytest.mark.parametrize(
    "value, type_name",
    [
        (np.zeros(8), "ndarray"),
        (np.zeros(8, dtype=np.float16), "ndarray"),
        (np.zeros(8, dtype=np.int32), "ndarray"),
        (np.zeros((1, 8), dtype=np.float32), "ndarray"),
        (np.float32(1.0), "float32"),
        (np.zeros(8, dtype=">f4"), "ndarray"),
        ([0.0] * 8, "list"),
        (tuple([0.0] * 8), "tuple"),
        (memoryview(np.zeros(8, dtype=np.float32)), "memoryview"),
        (None, "NoneType"),
    ],
)
def test_vectors_must_be_one_dimensional_float32_arrays(q, value, type_name):
    with pytest.raises(TypeError) as info:
        q.encode(value)
    assert str(info.value) == f"argument 'vector': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("value", [np.zeros(41, dtype=np.int8), np.zeros(41, dtype=np.float32),
                                   np.zeros(41, dtype=np.uint16), bytes(41)])
def test_codes_must_be_uint8_arrays(q, value):
    with pytest.raises(TypeError, match=r"^argument 'code': '\w+' object cannot be converted to 'PyArray<T, D>'$"):
        q.decode(value)


def test_subclass_of_ndarray_is_accepted(q):
    class Mine(np.ndarray):
        pass

    v = V8.view(Mine)
    assert np.array_equal(q.encode(v), q.encode(V8))


def test_native_byte_order_spelled_explicitly_is_accepted(q):
    assert np.array_equal(q.encode(V8.astype("<f4")), q.encode(V8))


def test_non_contiguous_arrays_are_refused_after_conversion(q):
    strided = np.arange(16, dtype=np.float32)[::2]
    with pytest.raises(TypeError) as info:
        q.encode(strided)
    assert str(info.value) == "The given array is not contiguous"
    code = q.encode(V8)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        q.inner_product(code, strided)
    wide = np.zeros(2 * len(code), dtype=np.uint8)
    wide[::2] = code
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        q.inner_product(wide[::2], V8)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        q.decode(wide[::2])


def test_conversion_comes_before_contiguity(q):
    with pytest.raises(TypeError, match="argument 'query'"):
        q.inner_product(np.zeros(82, dtype=np.uint8)[::2], [1.0])


def test_read_only_input_is_accepted_and_untouched(q):
    v = V8.copy()
    v.flags.writeable = False
    before = v.tobytes()
    code = q.encode(v)
    code.flags.writeable = False
    q.decode(code)
    q.inner_product(code, v)
    assert v.tobytes() == before


@pytest.mark.parametrize("make", [
    lambda q: q.encode(V8),
    lambda q: q.decode(q.encode(V8)),
    lambda q: VectorIndex(8).search(V8, 3)[0],
    lambda q: VectorIndex(8).search(V8, 3)[1],
])
def test_result_arrays_own_their_buffer_through_a_container(q, make):
    out = make(q)
    assert out.ndim == 1
    assert not out.flags.owndata
    assert out.flags.writeable
    assert out.flags.c_contiguous
    assert type(out.base).__name__ == "PySliceContainer"
    assert type(out.base).__module__ == "builtins"


def test_writing_into_results_does_not_reach_the_quantizer(q):
    code = q.encode(V8)
    expected = q.encode(V8).copy()
    code[:] = 0
    assert np.array_equal(q.encode(V8), expected)


def test_result_outlives_its_views():
    q = TurboQuantizer(16)
    decoded = q.decode(q.encode(np.ones(16, dtype=np.float32)))
    view = decoded[2:5]
    expected = decoded[2:5].copy()
    del decoded, q
    assert np.array_equal(view, expected)


def test_result_dtypes(q):
    ix = VectorIndex(8)
    ix.add(3, V8)
    ids, scores = ix.search(V8, 1)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32
    assert q.encode(V8).dtype == np.uint8
    assert q.decode(q.encode(V8)).dtype == np.float32
