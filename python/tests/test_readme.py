import pathlib
import re

import numpy as np

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
