"""Module object, function registration, docstrings and import behaviour."""

import importlib
import importlib.util
import os
import sys
import types

import pytest

import vyr_spectral_core as vsc
from conftest import run_snippet
from exported import NAMES, SUMMARIES, text_signature

# name -> (text signature, summary)
TABLE = {name: (text_signature(name), SUMMARIES[name]) for name in NAMES}

SUBINTERPRETER_PREFIX = "vyr_spectral_core does not yet support subinterpreters, see "


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
    saved = sys.modules.pop("vyr_spectral_core")
    try:
        again = importlib.import_module("vyr_spectral_core")
        assert again is saved
        assert again.__all__ == NAMES
        assert len(again.__all__) == 11
    finally:
        sys.modules["vyr_spectral_core"] = saved


def test_initialiser_called_again_returns_same_module():
    spec = importlib.util.spec_from_file_location("vyr_spectral_core", vsc.__file__)
    mod = importlib.util.module_from_spec(spec)
    assert mod is vsc
    assert vsc.__all__ == NAMES


def test_repeated_reimport_in_fresh_process_keeps_registration():
    proc = run_snippet(
        """
        import sys
        import vyr_spectral_core as first
        for _ in range(3):
            del sys.modules["vyr_spectral_core"]
            import vyr_spectral_core as again
            assert again is first
        print(len(first.__all__), first.add_n([1.0], [2.0]))
        """
    )
    assert proc.stdout.split("\n")[0] == "11 [3.0]"


_SUB_SCRIPT = r'''
import sys
try:
    import vyr_spectral_core
except ImportError as e:
    print("IMPORTERROR:" + str(e), flush=True)
except BaseException as e:
    print("OTHER:" + type(e).__name__ + ":" + str(e), flush=True)
else:
    print("IMPORTED", flush=True)
'''


def _subinterpreter_driver():
    if sys.version_info >= (3, 13):
        return f"""
            import _interpreters as I
            import vyr_spectral_core
            script = {_SUB_SCRIPT!r}
            for _ in range(2):
                interp = I.create("legacy")
                for _ in range(2):
                    I.exec(interp, script)
                I.destroy(interp)
            print("MAIN:" + repr(vyr_spectral_core.add_n([1.0], [2.0])), flush=True)
        """
    return f"""
        import _xxsubinterpreters as I
        import vyr_spectral_core
        script = {_SUB_SCRIPT!r}
        for _ in range(2):
            interp = I.create(isolated=False)
            for _ in range(2):
                I.run_string(interp, script)
            I.destroy(interp)
        print("MAIN:" + repr(vyr_spectral_core.add_n([1.0], [2.0])), flush=True)
    """


def test_import_in_second_interpreter_is_refused_every_time():
    proc = run_snippet(_subinterpreter_driver())
    lines = [ln for ln in proc.stdout.splitlines() if ln]
    assert len(lines) == 5, proc.stdout + proc.stderr
    for line in lines[:4]:
        assert line.startswith("IMPORTERROR:" + SUBINTERPRETER_PREFIX), line
        assert len(line) > len("IMPORTERROR:" + SUBINTERPRETER_PREFIX)
    assert lines[4] == "MAIN:[3.0]"


def test_import_starts_no_thread():
    proc = run_snippet(
        """
        import os
        before = len(os.listdir("/proc/self/task"))
        import vyr_spectral_core
        after = len(os.listdir("/proc/self/task"))
        print(before, after)
        """
    )
    before, after = map(int, proc.stdout.split())
    assert after == before
