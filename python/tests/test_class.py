import ast
import gc
import importlib
import inspect
import pathlib
import shutil
import subprocess
import sys
import weakref

import pytest

import korvane_py
from korvane_py import StaticEmbedding


def reviewed_docstring(method_name):
    """The docstring of a StaticEmbedding method in the reviewed type stub."""
    stub = ast.parse(pathlib.Path(__file__).with_name("expected_korvane_py.pyi").read_text())
    (cls,) = [node for node in stub.body if isinstance(node, ast.ClassDef)]
    (method,) = [node for node in cls.body if getattr(node, "name", None) == method_name]
    return ast.get_docstring(method)


def test_module_and_class_surface():
    assert korvane_py.__all__ == ["StaticEmbedding"]
    assert StaticEmbedding.__module__ == "korvane_py"
    assert StaticEmbedding.__qualname__ == "StaticEmbedding"
    assert StaticEmbedding.__doc__ == ""
    assert str(inspect.signature(StaticEmbedding)) == "(model_dir, normalize=True)"
    assert StaticEmbedding.embed_tokens.__text_signature__ == "($self, tokens)"
    assert StaticEmbedding.embed_tokens.__doc__ == reviewed_docstring("embed_tokens")
    assert [name for name in vars(korvane_py) if not name.startswith("__")] == ["StaticEmbedding"]


def test_instances_are_closed(placeholder_dir):
    instance = StaticEmbedding(placeholder_dir)
    with pytest.raises(TypeError):

        class Derived(StaticEmbedding):
            pass

    with pytest.raises(AttributeError):
        instance.x = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)
    assert not hasattr(instance, "__dict__")
    StaticEmbedding.marker = 1  # the class itself stays open, as heap types are
    del StaticEmbedding.marker


def test_fresh_import_reuses_the_class():
    original = sys.modules.pop("korvane_py")
    try:
        fresh = importlib.import_module("korvane_py")
        assert fresh is not original
        assert fresh.StaticEmbedding is original.StaticEmbedding
        assert fresh.__all__ == ["StaticEmbedding"]
    finally:
        sys.modules["korvane_py"] = original


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils")
def test_only_the_init_function_is_exported():
    output = subprocess.run(
        ["nm", "-D", "--defined-only", pathlib.Path(korvane_py.__file__)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    assert [line.split()[-1] for line in output.splitlines()] == ["PyInit_korvane_py"]
