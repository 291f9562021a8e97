import pathlib
import re

import numpy as np

from model_files import write_model

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_usage_example_runs(tmp_path):
    usage = README.read_text().split("## Use", 1)[1]
    example = re.search(r"```python\n(.*?)```", usage, re.DOTALL).group(1)
    model_dir = write_model(tmp_path, np.random.default_rng(7).standard_normal((8000, 16)))
    assert "path/to/model_dir" in example
    namespace = {}
    exec(example.replace("path/to/model_dir", model_dir), namespace)
    embedding = namespace["embedding"]
    assert len(embedding) == 16
    assert abs(sum(value * value for value in embedding) - 1) < 1e-6
