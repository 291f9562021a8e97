import pytest

import report
from run import parse_load_bench


def timings(korvane, numpy, floor):
    return {
        name: {"median": value, "low": value, "high": value}
        for name, value in (("korvane", korvane), ("numpy", numpy), ("floor", floor))
    }


def latency(records):
    return [
        {"dtype": dtype, "dimension": dimension, "tokens": n} | timings(*values)
        for dtype, dimension, n, values in records
    ]


GOOD = [
    ("F32", 256, 1, (1.0, 3.0, 1.0)),
    ("F32", 256, 32, (1.3, 3.9, 1.0)),  # both limits reached exactly
    ("F32", 256, 512, (5.0, 5.0, 1.0)),
    ("F32", 64, 1, (9.0, 1.0, 1.0)),  # other dimensions and lengths bear on no short-list target
    ("F32", 256, 128, (9.0, 1.0, 1.0)),
]


def test_latency_targets_met_at_their_limits():
    found = report.latency_verdicts(latency(GOOD))
    assert [v.met for v in found] == [True, True, True]


@pytest.mark.parametrize(
    "record, missed, named",
    [
        (("F32", 256, 8, (1.31, 9.0, 1.0)), 0, "n = 8"),
        (("F32", 256, 8, (1.0, 2.99, 1.0)), 1, "n = 8"),
        (("BF16", 384, 512, (1.01, 1.0, 0.1)), 2, "BF16, D = 384"),
    ],
)
def test_latency_target_missed_by_any_one_record(record, missed, named):
    found = report.latency_verdicts(latency(GOOD + [record]))
    assert [not v.met for v in found] == [index == missed for index in range(3)]
    assert named in found[missed].figure


@pytest.mark.parametrize("korvane, met", [(1.2, True), (1.21, False)])
def test_first_call_target(korvane, met):
    assert report.first_call_verdict(timings(korvane, 0, 1.0)).met is met


def test_memory_target_judged_by_the_worst_table():
    records = [
        {"dtype": "F32", "dimension": 64, "overhead_per_entry": 8.0},
        {"dtype": "F16", "dimension": 384, "overhead_per_entry": 16.5},
    ]
    verdict = report.memory_verdict(records)
    assert not verdict.met and "F16" in verdict.figure
    assert report.memory_verdict(records[:1]).met


def test_load_bench_output_parsed():
    text = (
        "model: 30000 x 384 F32, 46.1 MB, 21 repetitions\n"
        "floor (read whole + copy tensor):    31.50 ms median\n"
        "load_safetensors_file:               33.25 ms median\n"
        "ratio: 1.056 (target <= 1.2)\n"
    )
    assert parse_load_bench(text) == pytest.approx({"floor": 0.0315, "korvane": 0.03325})
    with pytest.raises(ValueError):
        parse_load_bench("floor (read whole + copy tensor):    31.50 ms median\n")


def test_results_mark_every_missed_target():
    first_call = {
        "repetitions": 3,
        "rows": 30000,
        "dimension": 384,
        "tokens": 8,
        "file_bytes": 46_080_104,
    }
    first_call |= timings(2.0, 0, 1.0)
    memory = {
        "records": [
            {
                "dtype": "F32",
                "dimension": 64,
                "growth": 16e6,
                "table_bytes": 7.68e6,
                "row_bytes": 7.68e6,
                "overhead_per_entry": 8.0,
                "allocated_overhead_per_entry": 8.0,
            }
        ]
    }
    # Far slower than numpy: the scattered lists are reported, not judged by the targets.
    scattered = {
        "repetitions": 3,
        "rows": 30000,
        "pool": 1500,
        "records": latency([("F32", 1024, 512, (7.0, 2.0, 1.0))]),
    }
    text = report.markdown(
        "test",
        {"repetitions": 3, "rows": 30000, "records": latency(GOOD)},
        scattered,
        first_call,
        memory,
    )
    assert text.count("**missed**") == 1
    assert "| first call <= 1.2 x its floor | **missed** | 2.00 x |" in text
    section = text[text.index("## Per-call latency, scattered lists") : text.index("## First call")]
    assert "1,500 distinct token lists" in section and "**F32, D = 1024**" in section
    assert "| 512 | 7000000.00 | 2000000.00 | 1000000.00 | 3.50 | 7.00 |" in section
    assert "D = 256" not in section
