"""The corpus table of bench/results.md: the measurements of corpus.py as markdown, checked
against the corpus-scale targets."""

from report import Verdict, table, verdict_table

EMBED_ALL = "embed_ids, all threads"
ENCODE_ALL = "Model.encode, all threads"
LOAD_FILE = "Model.load(model.safetensors)"
LOAD_PEER = "safetensors.numpy.load_file"
NUMPY_SPEEDUP = 10.0  # embed_ids at all threads / numpy batched
EMBED_RATE = 650_000  # sentences/s, embed_ids at all threads
LOAD_LIMIT = 1.0  # Model.load / load_file, time
PEAK_LIMIT = 1.1  # peak resident growth while loading / the tensor's bytes


def numpy_name(figures):
    (name,) = [name for name in figures if name.startswith("numpy batched")]
    return name


def peer_names(figures):
    return [name for name in figures if name.startswith("model2vec encode")]


def verdicts(corpus):
    stage, whole, load = corpus["embedding_stage"], corpus["end_to_end"], corpus["load"]
    embed = stage[EMBED_ALL]["median"]
    speedup = embed / stage[numpy_name(stage)]["median"]
    best_peer = max(peer_names(whole), key=lambda name: whole[name]["median"])
    over_peer = whole[ENCODE_ALL]["median"] / whole[best_peer]["median"]
    load_ratio = load[LOAD_FILE]["seconds"] / load[LOAD_PEER]["seconds"]
    peak = load[LOAD_FILE]["peak_bytes"] / corpus["tensor_bytes"]
    return [
        Verdict(
            f"embedding stage, all threads: >= {NUMPY_SPEEDUP:g} x numpy batched",
            f"{speedup:.1f} x",
            speedup >= NUMPY_SPEEDUP,
        ),
        Verdict(
            f"embedding stage, all threads: >= {EMBED_RATE:,} sentences/s",
            f"{embed:,.0f} /s",
            embed >= EMBED_RATE,
        ),
        Verdict(
            "end to end: Model.encode >= model2vec's best",
            f"{over_peer:.2f} x ({best_peer.removeprefix('model2vec encode, ')})",
            over_peer >= 1.0,
        ),
        Verdict(
            "load: Model.load no slower than safetensors.numpy.load_file",
            f"{load_ratio:.2f} x its time",
            load_ratio <= LOAD_LIMIT,
        ),
        Verdict(
            f"load: peak memory <= {PEAK_LIMIT} x the tensor", f"{peak:.2f} x", peak <= PEAK_LIMIT
        ),
    ]


QUANTIZED = "Model.encode, quantized, all threads"
QUANTIZED_PLAIN = "Model.encode, plain table, all threads"
QUANTIZED_PEER_SPEEDUP = 10.0  # Model.encode on the quantized model / model2vec's best on it


def quantized_verdicts(quantized):
    """Model.encode on the vocabulary-quantized model: at least as fast as on the plain table of
    the same vocabulary, and QUANTIZED_PEER_SPEEDUP x model2vec's best encode of that model."""
    figures = quantized["end_to_end"]
    own = figures[QUANTIZED]["median"]
    over_plain = own / figures[QUANTIZED_PLAIN]["median"]
    best_peer = max(peer_names(figures), key=lambda name: figures[name]["median"])
    over_peer = own / figures[best_peer]["median"]
    return [
        Verdict(
            "vocabulary-quantized: Model.encode >= on the plain table",
            f"{over_plain:.2f} x",
            over_plain >= 1.0,
        ),
        Verdict(
            f"vocabulary-quantized: Model.encode >= {QUANTIZED_PEER_SPEEDUP:g} x model2vec's best",
            f"{over_peer:.1f} x ({best_peer.removeprefix('model2vec encode, quantized, ')})",
            over_peer >= QUANTIZED_PEER_SPEEDUP,
        ),
    ]


def quantized_markdown(corpus):
    quantized = corpus.get("vocabulary_quantized")
    if quantized is None:
        return ""
    return f"""
**Vocabulary-quantized model**: the same vocabulary and tokenizer as a model2vec
vocabulary-quantized model ({quantized["rows"]:,} shared rows, a token mapping and per-token
weights, written by model2vec's `save_pretrained`; bench/corpus.py), texts to rows as above.
korvane's rows agree with model2vec's `encode` of it within {quantized["agreement"]:.1e}.

{verdict_table(quantized_verdicts(quantized))}

{rate_table(quantized["end_to_end"], QUANTIZED, "/ Model.encode, quantized")}
"""


def rate_table(figures, reference, reference_label):
    rows = []
    for name, figure in figures.items():
        rate = figure["median"]
        if rate is None:
            rows.append([name, "n/a (noise exceeded the difference)", ""])
            continue
        spread = f" ({figure['low']:,.0f} to {figure['high']:,.0f})" if "low" in figure else ""
        rows.append([name, f"{rate:,.0f}{spread}", f"{rate / figures[reference]['median']:.2f}"])
    return table(["", "sentences/s (quartiles)", reference_label], rows)


def load_table(corpus):
    tensor = corpus["tensor_bytes"]
    rows = [
        [
            name,
            f"{figure['seconds'] * 1e3:.1f}",
            f"{figure['peak_bytes'] / 1e6:.1f}",
            f"{figure['peak_bytes'] / tensor:.2f}",
        ]
        for name, figure in corpus["load"].items()
    ]
    return table(["", "ms (median)", "peak RSS growth MB (largest)", "peak / tensor"], rows)


def markdown(corpus):
    stage, whole = corpus["embedding_stage"], corpus["end_to_end"]
    agreement = corpus["agreement"]
    return f"""## Corpus scale

{corpus["sentences"]:,} English sentences from the docstrings and comments of the standard library
({corpus["distinct_sentences"]:,} distinct ones repeated in order, {corpus["mean_tokens"]:.1f} tokens on
average; korvane_dev/corpus_text.py), embedded with the demo's model: all-MiniLM-L6-v2's
{corpus["rows"]:,} x {corpus["dimension"]} F32 token table and its tokenizer, saved by model2vec's
`save_pretrained`, that one directory read by both libraries. "All threads" is {corpus["threads"]}
here. Medians of {corpus["repetitions"]} runs over the whole corpus, the contenders of each table
taking turns. {", ".join(f"{name} {version}" for name, version in corpus["versions"].items())}.
korvane's rows agree with numpy's within {agreement["numpy batched"]:.1e} and with
model2vec's `encode` within {agreement["model2vec encode"]:.1e}.

{verdict_table(verdicts(corpus))}

**Embedding stage**: token IDs (tokenized beforehand, without special tokens) to unit-length
float32 rows. The `korvane_py` loop keeps its lists of floats; numpy batched gathers each batch's
rows and sums each sentence's span with `np.add.reduceat`. model2vec takes only texts, so its
figure is an estimate: its `encode` without multiprocessing less tokenizers' batch tokenizing of
the same texts. Each timed call follows an untimed one of the same contender. Every call returns
a new (N, D) float32 array (77 MB here) and pays for touching it first: a few milliseconds where
the process has just freed such memory, but up to several hundred on this virtual machine when
the kernel hands over pages that it had given back to the host (the contender before may have
freed 700 MB). The untimed call makes each timed one find memory as a program's next call does.

{rate_table(stage, numpy_name(stage), "/ numpy batched")}

**End to end**: texts to rows, tokenizing included. model2vec's `encode` with
`use_multiprocessing=True` starts a process per core, each with its own copy of the table. Here
too each timed call follows an untimed one of the same contender.

{rate_table(whole, ENCODE_ALL, "/ Model.encode")}

**Load**: one load in a fresh process each (page cache warm), the peak being the growth of the
resident set during the load alone. `Model.load(directory)` also reads the tokenizer.json; the
targets compare the table's file alone with `load_file`, which reads only that.

{load_table(corpus)}
{quantized_markdown(corpus)}"""
