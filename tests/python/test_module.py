import importlib
import sys

import quillane


def test_module_docstring():
    assert quillane.__doc__ == "Python module initialization."


def test_module_loads_from_stable_abi_build():
    assert quillane.__file__.endswith(".abi3.so")


def test_reimport_after_removal_gives_same_object():
    first = sys.modules.pop("quillane")
    again = importlib.import_module("quillane")
    assert again is first
