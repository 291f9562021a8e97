"""korvane._native's signatures are stated twice: in the module's method records, whose __doc__
carries the text signature, and in python/korvane/_native.pyi for type checkers. The two agree
parameter for parameter: names, order, defaults and kinds."""

import ast
import inspect
from pathlib import Path

import pytest

import korvane
from korvane import _native

STUB = Path(korvane.__file__).with_name("_native.pyi")


def stub_functions():
    """{(class or None, name): [(parameter, default or None, kind)]} from the stub."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    found = {}

    def parameters(function):
        arguments = function.args
        positional = arguments.posonlyargs + arguments.args
        defaults = [None] * (len(positional) - len(arguments.defaults)) + [
            ast.literal_eval(default) for default in arguments.defaults
        ]
        kinds = ["positional-only"] * len(arguments.posonlyargs) + ["positional or keyword"] * len(
            arguments.args
        )
        listed = list(zip((a.arg for a in positional), defaults, kinds))
        return [entry for entry in listed if entry[0] not in ("self", "cls")]

    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not any(
                    isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list
                ):
                    found[(node.name, item.name)] = parameters(item)
        elif isinstance(node, ast.FunctionDef):
            found[(None, node.name)] = parameters(node)
    return found


KIND_NAMES = {
    inspect.Parameter.POSITIONAL_ONLY: "positional-only",
    inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional or keyword",
}


def module_parameters(owner, name):
    target = getattr(_native, name) if owner is None else getattr(_native, owner)
    if owner is not None and name != "__new__":
        target = getattr(target, name)
    listed = []
    for parameter in inspect.signature(target).parameters.values():
        if parameter.name in ("self", "cls"):
            continue
        default = None if parameter.default is inspect.Parameter.empty else parameter.default
        listed.append((parameter.name, default, KIND_NAMES[parameter.kind]))
    return listed


STUBBED = stub_functions()


@pytest.mark.parametrize("owner, name", sorted(STUBBED, key=str))
def test_stub_states_the_module_signature(owner, name):
    assert STUBBED[(owner, name)] == module_parameters(owner, name)


def test_every_method_is_stubbed():
    for owner in ("Table", "Tokenizer"):
        cls = getattr(_native, owner)
        for name, value in vars(cls).items():
            if callable(value) and not name.startswith("_"):
                assert (owner, name) in STUBBED, f"{owner}.{name} is missing from _native.pyi"
