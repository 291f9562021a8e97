import pathlib
import re
import shlex

import numpy as np

from conftest import import_or_skip
from model_files import write_model

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_usage_example_runs(tmp_path):
    usage = README.read_text().split("## Use", 1)[1]
    example = re.search(r"```python\n(.*?)```", usage, re.DOTALL).group(1)
    table = np.random.default_rng(7).standard_normal((8000, 16)).astype(np.float32)
    model_dir = write_model(tmp_path, table)
    assert "path/to/model_dir" in example
    namespace = {}
    exec(example.replace("path/to/model_dir", model_dir), namespace)
    embedding = namespace["embedding"]
    assert len(embedding) == 16
    assert abs(sum(value * value for value in embedding) - 1) < 1e-6
    mean = table[[101, 7592, 2088, 102]].mean(axis=0, dtype=np.float64)
    assert np.allclose(namespace["raw_mean"], mean, rtol=1e-6, atol=1e-6)


def test_readme_encode_example_runs(tmp_path, monkeypatch):
    tokenizers = import_or_skip("tokenizers")
    Tokenizer, models, pre_tokenizers = (
        tokenizers.Tokenizer,
        tokenizers.models,
        tokenizers.pre_tokenizers,
    )

    from korvane.convert import write_model_dir

    encode_section = README.read_text().split("## Encode", 1)[1]
    example = re.search(r"```python\n(.*?)```", encode_section, re.DOTALL).group(1)
    words = [
        "[UNK]",
        "a",
        "storm",
        "brought",
        "thunder",
        "heavy",
        "rain",
        "flooded",
        "the",
        "streets",
    ]
    vocabulary = {word: i for i, word in enumerate(words)} | {f"w{i}": i for i in range(10, 8000)}
    tokenizer = Tokenizer(models.WordLevel(vocabulary, unk_token="[UNK]"))
    tokenizer.pre_tokenizer = pre_tokenizers.Whitespace()
    tokenizer.save(str(tmp_path / "tokenizer.json"))
    table = np.random.default_rng(3).standard_normal((8000, 16)).astype(np.float32)
    model_dir = write_model_dir(table, tmp_path / "model", tokenizer=tmp_path / "tokenizer.json")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "corpus.txt").write_text("heavy rain\nthe storm\n")

    namespace = {}
    exec(example.replace("path/to/model_dir", str(model_dir)), namespace)

    assert namespace["embeddings"].shape == (2, 16)
    assert -1 <= namespace["similarity"] <= 1
    mean = table[[2023, 2003]].mean(axis=0, dtype=np.float64)
    np.testing.assert_allclose(namespace["rows"][0], mean / np.linalg.norm(mean), atol=1e-6)
    assert namespace["batch"].shape == (2, 16)


def test_readme_command_lines_parse():
    """Every `korvane` command shown in a shell block is one the command line accepts."""
    pytest = import_or_skip("pytest")
    from korvane.cli import build_parser

    text = README.read_text()
    commands = []
    for block in re.findall(r"```sh\n(.*?)```", text, re.DOTALL):
        for line in block.replace("\\\n", " ").splitlines():
            line = line.split("#", 1)[0].rsplit("|", 1)[-1].strip()
            if line.startswith("korvane "):
                commands.append(line)
    assert len(commands) >= 8
    for command in commands:
        try:
            build_parser().parse_args(shlex.split(command)[1:])
        except SystemExit:
            pytest.fail(f"the README's command does not parse: {command}")
