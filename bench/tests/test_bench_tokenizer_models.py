"""The tokenizer models benchmark's report: each build's figures, round by round, and the older
build it was measured against."""

from pathlib import Path

import pytest

import tokenizer_models


def rates(encode_cpu, encode_rate):
    return {
        "megabytes": 5.0,
        "sentences": 1000,
        "encode_cpu": encode_cpu,
        "embed_cpu": 0.05,
        "encode_rate": encode_rate,
        "embed_rate": 2000.0,
    }


def results(with_before):
    rounds = {"after": [rates(0.075, 1400.0), rates(0.08, 1300.0)]}
    if with_before:
        rounds["before"] = [rates(0.1, 800.0), rates(0.125, 700.0)]
    found = {
        "sentences": 1000,
        "cores": 2,
        "model2vec": {"WordLevel": {"backend": "native", "korvane": 900.0, "model2vec": 100.0}},
        "demo_rounds": rounds,
        "demo": {label: each[0] for label, each in rounds.items()},
    }
    if with_before:
        found["before"] = "build/bench-before/abc/package"
    return found


def test_markdown_gives_each_round_against_the_older_build():
    text = tokenizer_models.markdown(results(with_before=True))
    # 5 MB over 25 ms of tokenizing against 50 ms: twice the rate; then 30 against 75 ms.
    assert "| after | 200.0 | 1,400 | 2,000 | 0.70 x |" in text
    assert "| before | 100.0 | 800 | 2,000 | 0.40 x |" in text
    assert "encode / embedding stage after 0.70 x, 0.65 x; before 0.40 x, 0.35 x" in text
    assert "tokenizer alone, this build / before 2.00 x, 2.50 x" in text
    assert "`build/bench-before/abc/package`" in text


@pytest.mark.parametrize(
    ("environment", "expected"), [(None, None), ("", None), ("old/package", Path("old/package"))]
)
def test_the_older_build_from_the_environment(monkeypatch, environment, expected):
    if environment is None:
        monkeypatch.delenv("KORVANE_BENCH_BEFORE", raising=False)
    else:
        monkeypatch.setenv("KORVANE_BENCH_BEFORE", environment)
    assert tokenizer_models.parse_arguments(["out.json"]).before == expected
