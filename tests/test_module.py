"""Module object, function registration, docstrings and import behaviour."""

import importlib
import importlib.util
import sys
import types

import pytest

import vyr_spectral_core as vsc
from exported import NAMES, SUMMARIES, text_signature

# name -> (text signature, summary)
TABLE = {name: (text_signature(name), SUMMARIES[name]) for name in NAMES}

def test_all_lists_the_eleven_functions_in_registration_order():
    assert type(vsc.__all__) is list
    assert vsc.__all__ == NAMES


def test_module_doc_is_empty_string():
    assert vsc.__doc__ == ""


def test_module_name():
    assert vsc.__name__ == "vyr_spectral_core"
    assert isinstance(vsc, types.ModuleType)


def test_module_dict_holds_functions_in_registration_order():
    public = [k for k in vars(vsc) if not k.startswith("_")]
    assert public == NAMES


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(vsc, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_function_object_attributes(name):
    fn = getattr(vsc, name)
    assert type(fn) is types.BuiltinFunctionType
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "vyr_spectral_core"
    assert fn.__self__ is vsc


@pytest.mark.parametrize("name", NAMES)
def test_docstring_and_text_signature(name):
    fn = getattr(vsc, name)
    sig, summary = TABLE[name]
    assert fn.__text_signature__ == sig
    assert fn.__doc__ == summary


@pytest.mark.parametrize("name", NAMES)
def test_inspect_signature_parameters(name):
    import inspect

    sig = inspect.signature(getattr(vsc, name))
    expected = [p.strip() for p in TABLE[name][0][1:-1].split(",") if p.strip()]
    assert list(sig.parameters) == expected
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


def test_reimport_after_removal_from_sys_modules_is_same_object():
    saved = sys.modules["vyr_spectral_core"]
    try:
        for _ in range(3):
            del sys.modules["vyr_spectral_core"]
            again = importlib.import_module("vyr_spectral_core")
            assert again is saved
            assert again.__all__ == NAMES
            assert again.add_n([1.0], [2.0]) == [3.0]
    finally:
        sys.modules["vyr_spectral_core"] = saved


def test_initialiser_called_again_returns_same_module():
    spec = importlib.util.spec_from_file_location("vyr_spectral_core", vsc.__file__)
    mod = importlib.util.module_from_spec(spec)
    assert mod is vsc
    assert vsc.__all__ == NAMES
