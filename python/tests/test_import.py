import korvane_py


def test_module_imports():
    assert korvane_py.__name__ == "korvane_py"
