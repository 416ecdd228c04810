"""Module frame: import semantics, argument binding, integer conversion, holds."""
import importlib
import subprocess
import sys

import numpy as np
import pytest

import quillane
from quillane import TurboQuantizer, VectorIndex


def test_module_identity_and_exports():
    assert quillane.__doc__ == "Python module initialization."
    assert quillane.__all__ == ["TurboQuantizer", "VectorIndex", "CompactQuantizer", "CompactIndex", "IvfIndex",
                                "GraphIndex", "NO_ID", "rerank"]
    assert quillane.__file__.endswith(".abi3.so")
    first = sys.modules.pop("quillane")
    assert importlib.import_module("quillane") is first
    assert importlib.import_module("quillane") is first


def test_import_does_not_import_numpy():
    code = "import sys, quillane; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.parametrize("cls", [TurboQuantizer, VectorIndex])
def test_classes_are_final_builtins_types(cls):
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert cls.__text_signature__ == "(dim, bits=4, projections=None, seed=42)"
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


def test_panic_exception_is_not_exported():
    assert not hasattr(quillane, "PanicException")


@pytest.mark.parametrize("cls", ["TurboQuantizer", "VectorIndex"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{}.__new__() missing 1 required positional argument: 'dim'"),
        ((8, 4, None, 42, 1), {},
         "{}.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        ((), {"dim": 8, "size": 3}, "{}.__new__() got an unexpected keyword argument 'size'"),
        ((8,), {"dim": 8}, "{}.__new__() got multiple values for argument 'dim'"),
        ((), {"bits": 4}, "{}.__new__() missing 1 required positional argument: 'dim'"),
    ],
)
def test_constructor_binding_messages(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(quillane, cls)(*args, **kwargs)
    assert str(info.value) == message.format(cls)


@pytest.fixture(scope="module")
def quantizer():
    return TurboQuantizer(8)


@pytest.fixture
def index():
    return VectorIndex(8)


V8 = np.arange(8, dtype=np.float32)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda q: q.encode(), "TurboQuantizer.encode() missing 1 required positional argument: 'vector'"),
        (lambda q: q.encode(V8, V8), "TurboQuantizer.encode() takes 1 positional arguments but 2 were given"),
        (lambda q: q.decode(code=V8, x=1), "TurboQuantizer.decode() got an unexpected keyword argument 'x'"),
        (lambda q: q.inner_product(), "TurboQuantizer.inner_product() missing 2 required positional arguments: 'code' and 'query'"),
        (lambda q: q.inner_product(V8), "TurboQuantizer.inner_product() missing 1 required positional argument: 'query'"),
        (lambda q: q.inner_product(V8, code=V8), "TurboQuantizer.inner_product() got multiple values for argument 'code'"),
        (lambda q: q.inner_product(V8, V8, V8), "TurboQuantizer.inner_product() takes 2 positional arguments but 3 were given"),
    ],
)
def test_quantizer_method_binding_messages(quantizer, call, message):
    with pytest.raises(TypeError) as info:
        call(quantizer)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda ix: ix.add(1, V8, 3), "VectorIndex.add() takes 2 positional arguments but 3 were given"),
        (lambda ix: ix.add(1), "VectorIndex.add() missing 1 required positional argument: 'vector'"),
        (lambda ix: ix.search(), "VectorIndex.search() missing 2 required positional arguments: 'query' and 'top_k'"),
        (lambda ix: ix.search(V8, 1, 2), "VectorIndex.search() takes 2 positional arguments but 3 were given"),
        (lambda ix: ix.search(V8, k=1), "VectorIndex.search() got an unexpected keyword argument 'k'"),
    ],
)
def test_index_method_binding_messages(index, call, message):
    with pytest.raises(TypeError) as info:
        call(index)
    assert str(info.value) == message


def test_binding_errors_come_before_conversion(quantizer):
    with pytest.raises(TypeError, match="unexpected keyword argument 'z'"):
        quantizer.encode([1.0], z=1)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntSub(int):
    pass


@pytest.mark.parametrize("value, dim", [(8, 8), (True, None), (IntSub(8), 8), (Index(8), 8), (np.uint16(8), 8)])
def test_integer_arguments_accept_ints_and_index(value, dim):
    if dim is None:  # True is 1: odd dimension, refused by the core
        with pytest.raises(ValueError, match="dimension must be even, got 1"):
            TurboQuantizer(value)
        return
    assert TurboQuantizer(value).dim == dim


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"dim": -8}, OverflowError, "can't convert negative int to unsigned"),
        ({"dim": 2**64}, OverflowError, "int too big to convert"),
        ({"dim": 8.0}, TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
        ({"dim": "8"}, TypeError, "argument 'dim': 'str' object cannot be interpreted as an integer"),
        ({"dim": None}, TypeError, "argument 'dim': 'NoneType' object cannot be interpreted as an integer"),
        ({"dim": 8, "bits": None}, TypeError, "argument 'bits': 'NoneType' object cannot be interpreted as an integer"),
        ({"dim": 8, "seed": None}, TypeError, "argument 'seed': 'NoneType' object cannot be interpreted as an integer"),
        ({"dim": 8, "bits": 256}, OverflowError, "out of range integral type conversion attempted"),
        ({"dim": 8, "bits": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"dim": 8, "projections": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"dim": 8, "seed": 2**64}, OverflowError, "int too big to convert"),
    ],
)
def test_integer_conversion_failures(kwargs, exc, message):
    with pytest.raises(exc) as info:
        TurboQuantizer(**kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_index_errors_other_than_type_error_pass_through():
    class Broken:
        def __index__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        TurboQuantizer(Broken())

    class BadType:
        def __index__(self):
            raise TypeError("custom")

    with pytest.raises(TypeError) as info:
        TurboQuantizer(8, seed=BadType())
    assert str(info.value) == "argument 'seed': custom"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"dim": 7}, "dimension must be even, got 7"),
        ({"dim": 0}, "dimension must be > 0"),
        ({"dim": 8, "bits": 0}, "bit width must be 1..=16, got 0"),
        ({"dim": 8, "bits": 17}, "bit width must be 1..=16, got 17"),
        ({"dim": 8, "projections": 0}, "projections must be > 0"),
        ({"dim": 8, "projections": 65536}, "dimension 65536 too large for compact format (max 65535)"),
        ({"dim": 131072}, "dimension 131072 too large for compact format (max 131070)"),
        ({"dim": 7, "bits": 0}, "dimension must be even, got 7"),
        ({"dim": 8, "bits": 0, "projections": 0}, "bit width must be 1..=16, got 0"),
    ],
)
@pytest.mark.parametrize("cls", [TurboQuantizer, VectorIndex])
def test_core_errors_become_value_error(cls, kwargs, message):
    with pytest.raises(ValueError) as info:
        cls(**kwargs)
    assert str(info.value) == message


def test_unallocatable_rotation_raises_memory_error():
    with pytest.raises(MemoryError):
        TurboQuantizer(131070, projections=1)


def test_reentrant_exclusive_call_is_refused(index):
    index.add(0, V8)

    class Sneaky:
        def __index__(self):
            index.add(9, V8)
            return 3

    with pytest.raises(RuntimeError) as info:
        index.search(V8, Sneaky())
    assert str(info.value) == "Already borrowed"
    assert len(index) == 1


def test_reentrant_shared_call_during_add_is_refused(index):
    class Sneaky:
        def __index__(self):
            index.search(V8, 1)
            return 5

    with pytest.raises(RuntimeError) as info:
        index.add(Sneaky(), V8)
    assert str(info.value) == "Already mutably borrowed"
    assert len(index) == 0
    index.add(1, V8)  # the hold was released
    assert len(index) == 1


def test_shared_holds_nest_on_a_quantizer(quantizer):
    class Peek:
        def __index__(self):
            return quantizer.dim

    assert TurboQuantizer(Peek()).dim == 8


def run_isolated(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)


def test_missing_numpy_raises_panic_exception_after_a_diagnostic():
    code = """
import sys
sys.modules["numpy"] = None  # makes `import numpy` fail
import quillane
q = quillane.TurboQuantizer(8)
try:
    q.encode([1.0] * 8)
except Exception:
    print("caught as Exception")
except BaseException as e:
    print(type(e).__name__, type(e).__mro__[1].__name__, len(e.args),
          e.args[0].startswith("Failed to access NumPy array API capsule"))
    first = type(e)
try:
    q.decode(b"")
except BaseException as e:
    print(type(e) is first)
"""
    out = run_isolated(code)
    lines = out.stdout.splitlines()
    assert lines[0] == "PanicException BaseException 1 True"
    assert lines[1] == "True"  # created once, reused
    assert "quillane: internal invariant failed at" in out.stderr


def test_sub_interpreter_import_is_refused():
    code = """
import quillane
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    print("unavailable"); raise SystemExit
sub = interpreters.create()
try:
    interpreters.run_string(sub, "import quillane")
except Exception as e:
    print(type(e).__name__, str(e))
else:
    print("imported")
"""
    out = run_isolated(code).stdout.strip()
    if out == "unavailable":
        pytest.skip("no sub-interpreter module in this CPython")
    assert "does not support loading in sub-interpreters" in out, out
