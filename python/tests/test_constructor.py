import pathlib

import numpy as np
import pytest

from korvane_py import StaticEmbedding

NOT_FOUND = "Could not find `models.safetensors` in the specified directory"


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 1 required positional argument: 'model_dir'"),
        ((), {"normalize": True}, "missing 1 required positional argument: 'model_dir'"),
        (("d", True, 1), {}, "takes from 1 to 2 positional arguments but 3 were given"),
        (("d",), {"model_dir": "e"}, "got multiple values for argument 'model_dir'"),
        (("d",), {"norm": True}, "got an unexpected keyword argument 'norm'"),
        # the first faulty keyword decides, in call order
        ((), {"spam": 1, "model_dir": 1}, "got an unexpected keyword argument 'spam'"),
        (("d",), {"\udc80": 1}, "got an unexpected keyword argument '\udc80'"),
        # binding errors come before any conversion
        ((1, 2, 3), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        StaticEmbedding(*args, **kwargs)
    assert raised.value.args == ("StaticEmbedding.__new__() " + message,)
    assert not hasattr(raised.value, "__notes__")


@pytest.mark.parametrize(
    "args, message, parameter",
    [
        ((pathlib.Path("d"),), "'PosixPath' object is not an instance of 'str'", "model_dir"),
        ((b"d",), "'bytes' object is not an instance of 'str'", "model_dir"),
        ((None,), "'None' is not an instance of 'str'", "model_dir"),
        ((1, 1), "'int' object is not an instance of 'str'", "model_dir"),
        (("d", None), "'None' is not an instance of 'bool'", "normalize"),
        (("d", 1), "'int' object is not an instance of 'bool'", "normalize"),
        (("d", np.int8(1)), "'int8' object is not an instance of 'bool'", "normalize"),
        (("d", np.array([True])), "'ndarray' object is not an instance of 'bool'", "normalize"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(args, message, parameter):
    with pytest.raises(TypeError) as raised:
        StaticEmbedding(*args)
    assert raised.value.args == (message,)
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]


def test_lone_surrogate_directory_cannot_be_encoded():
    with pytest.raises(UnicodeEncodeError) as raised:
        StaticEmbedding("model\udc80")
    assert raised.value.__notes__ == ["while processing 'model_dir'"]


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"normalize": False}, {"normalize": np.bool_(True)}, {"normalize": np.False_}],
)
@pytest.mark.parametrize("text_type", [str, Text])
def test_accepted_arguments(placeholder_dir, kwargs, text_type):
    assert type(StaticEmbedding(text_type(placeholder_dir), **kwargs)) is StaticEmbedding
    assert type(StaticEmbedding(model_dir=text_type(placeholder_dir), **kwargs)) is StaticEmbedding


@pytest.mark.parametrize(
    "directory",
    ["missing", "dïr/ünïcødé ☃", "missing/", "", "relative/path", "a\0b", "exists_as_file"],
)
def test_missing_model_file_names_the_directory_verbatim(tmp_path, monkeypatch, directory):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "exists_as_file").write_bytes(b"")
    with pytest.raises(ValueError) as raised:
        StaticEmbedding(directory)
    expected = f"Invalid model or path to load the model: {directory}.\n{NOT_FOUND}"
    assert raised.value.args == (expected,)


def numpy_named(name, **namespace):
    """A class that passes for numpy's boolean scalar by its module and type name."""
    return type(name, (), {"__module__": "numpy", **namespace})


def fail(self):
    raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "value, error, message",
    [
        (numpy_named("bool_", __bool__=lambda self: False)(), None, None),
        (numpy_named("bool", __bool__=lambda self: True)(), None, None),
        (
            numpy_named("bool_")(),
            TypeError,
            "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
        ),
        (numpy_named("bool", __bool__=fail)(), ZeroDivisionError, "no truth"),
        (
            numpy_named("boolean", __bool__=lambda self: True)(),
            TypeError,
            "'boolean' object is not an instance of 'bool'",
        ),
    ],
)
def test_numpy_booleans_are_recognised_by_name(placeholder_dir, value, error, message):
    if error is None:
        StaticEmbedding(placeholder_dir, value)
        return
    with pytest.raises(error) as raised:
        StaticEmbedding(placeholder_dir, value)
    assert raised.value.args == (message,)
    assert raised.value.__notes__ == ["while processing 'normalize'"]
