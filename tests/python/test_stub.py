"""The shipped type stub names what the module really has, with the same
parameters, so type checkers and the runtime never disagree."""

import ast
import inspect
from pathlib import Path

import vicinor

STUB = Path(__file__).resolve().parents[2] / "python" / "vicinor-stubs" / "__init__.pyi"


def stub_methods():
    tree = ast.parse(STUB.read_text())
    (cls,) = [node for node in tree.body
              if isinstance(node, ast.ClassDef) and not node.name.startswith("_")]
    return cls.name, {
        node.name: [arg.arg for arg in node.args.args + node.args.kwonlyargs]
        for node in cls.body
        if isinstance(node, ast.FunctionDef)
    }


def test_stub_matches_the_runtime_signatures():
    name, methods = stub_methods()
    assert name == "ReverseGeocoder" and vicinor.__all__ == [name]
    cls = vicinor.ReverseGeocoder
    assert methods.pop("__new__")[1:] == list(inspect.signature(cls).parameters)
    public = {attr for attr in vars(cls) if not attr.startswith("_")}
    # Private helpers (for the companion package) are stubbed for its type
    # checks; they must exist, and are not part of the public surface.
    private = {method for method in methods if method.startswith("_")}
    assert all(hasattr(cls, method) for method in private)
    methods = {method: params for method, params in methods.items() if method not in private}
    assert set(methods) == public
    for method, params in methods.items():
        # Unbound, the instance methods show their `$self` as `self`.
        assert params == list(inspect.signature(getattr(cls, method)).parameters)
