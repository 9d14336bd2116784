"""The exported functions as the type stub describes them: the one table the tests use.

The stub is checked against the module itself (``tests/test_typing.py`` runs
stubtest), so its names, parameters and summaries are the module's.
"""

import ast
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUB = os.path.join(
    ROOT,
    "vyr_spectral_core-stubs",
    "__init__.pyi",
)


def _read_stub():
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read(), STUB)
    names = None
    functions = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            names = ast.literal_eval(node.value)
        elif isinstance(node, ast.FunctionDef):
            summary = ast.get_docstring(node).split("\n\n")[0].replace("\n", " ")
            functions[node.name] = (tuple(a.arg for a in node.args.args), summary)
    assert names is not None and sorted(names) == sorted(functions), "stub: __all__ and functions differ"
    return names, functions


# The exported names in registration order (the order of __all__).
NAMES, _FUNCTIONS = _read_stub()
# name -> parameter names in order
PARAMETERS = {name: _FUNCTIONS[name][0] for name in NAMES}
# name -> the docstring's summary, which is the function's __doc__
SUMMARIES = {name: _FUNCTIONS[name][1] for name in NAMES}


def text_signature(name):
    """The text signature of a function, "(a, b)"."""
    return "(" + ", ".join(PARAMETERS[name]) + ")"
