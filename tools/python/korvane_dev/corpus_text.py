"""English sentences for the corpus benchmark, taken from the standard library that runs the
benchmark (its docstrings and other triple-quoted strings, its comments and the reference text
of pydoc's topics), so that no download is needed. The selection is deterministic: files in
sorted order, texts in file order, sentences in text order, duplicates dropped. Sentences of 11 to 45
words average about 23 tokens; the library holds about 11,000 of them, and a larger corpus repeats
them in the same order."""

import inspect
import itertools
import re
import sysconfig
from pathlib import Path

# A sentence ends at ., ! or ? followed by white space and a capital letter, or at the text's end.
SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=[A-Z])")
WORD = re.compile(r"[A-Za-z]+(?:'[a-z]+)?")
# Code, markup, doctests and identifiers; prose has none of these.
CODE_MARKS = re.compile(r">>>|[{}\[\]<>=|\\@#$]|::|\w\(|\w_\w|\w\.[a-z]\w")
# A heading underlined with a rule of -, = or ~ (numpydoc's sections, reStructuredText).
HEADING = re.compile(r"^[^\n]*\n[ \t]*[-=~]{3,}[ \t]*$", re.MULTILINE)
TRIPLE_QUOTED = re.compile(r'"""(.*?)"""|\'\'\'(.*?)\'\'\'', re.DOTALL)
MIN_WORDS = 11
MAX_WORDS = 45


def is_prose(sentence):
    """Whether a candidate reads as an English sentence rather than code or a fragment."""
    if not sentence[0].isupper() or sentence[-1] not in ".!?" or CODE_MARKS.search(sentence):
        return False
    words = WORD.findall(sentence)
    if not MIN_WORDS <= len(words) <= MAX_WORDS:
        return False
    # Headings and lists of names are mostly capitalised.
    return sum(word.islower() for word in words) >= 0.6 * len(words)


def sentences_of(text):
    """The prose sentences of a text whose lines may wrap; paragraphs end at blank lines and
    indented paragraphs (code, tables, parameter lists) and headings are skipped."""
    for paragraph in re.split(r"\n\s*\n", HEADING.sub("\n", text)):
        if paragraph.startswith((" ", "\t")):
            continue
        for sentence in SENTENCE_END.split(" ".join(paragraph.split())):
            if sentence and is_prose(sentence):
                yield sentence


def comment_blocks(source):
    """The runs of consecutive comment lines of Python source, each joined into one text."""
    block = []
    for line in source.splitlines():
        stripped = line.strip()
        if stripped.startswith("#"):
            block.append(stripped.lstrip("#").strip())
        elif block:
            yield " ".join(block)
            block = []
    if block:
        yield " ".join(block)


def texts_of(source):
    for match in TRIPLE_QUOTED.finditer(source):
        yield inspect.cleandoc(match.group(1) or match.group(2) or "")
    yield from comment_blocks(source)


def library_texts(root=None):
    root = Path(root or sysconfig.get_paths()["stdlib"])
    for path in sorted(root.rglob("*.py")):
        if "site-packages" not in path.parts:
            yield from texts_of(path.read_text(encoding="utf-8", errors="replace"))
    if root == Path(sysconfig.get_paths()["stdlib"]):
        from pydoc_data import topics

        yield from (topics.topics[name] for name in sorted(topics.topics))


def distinct_sentences(texts):
    return list(dict.fromkeys(sentence for text in texts for sentence in sentences_of(text)))


def corpus(count, root=None):
    """`count` sentences: the distinct prose sentences of the standard library, in order, repeated
    as often as needed. Raises ValueError when there are none."""
    sentences = distinct_sentences(library_texts(root))
    if not sentences:
        raise ValueError(f"no prose sentences found in {root}")
    return list(itertools.islice(itertools.cycle(sentences), count))
