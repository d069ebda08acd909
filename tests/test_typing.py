"""The type stubs of zol_kov and zol_mew.

mypy checks the examples and the samples in typing_samples/ against the stubs that the
installed package ships (PEP 561 stub-only packages zol_kov-stubs and zol_mew-stubs next to
the extension modules); against a development build, which has no installed stubs, it reads
them from stubs/. stubtest and a comparison with the binding's signatures keep the stubs
in step with the modules.
"""

import ast
import importlib.util
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Dict, List, NamedTuple, Optional, Tuple

import pytest

import zol_mew

ROOT = Path(__file__).resolve().parents[1]
STUBS = ROOT / "stubs"
SAMPLES = ROOT / "tests" / "typing_samples"
# The examples, the samples, and the pure-Python modules that the package installs.
CHECKED = (
    sorted((ROOT / "examples").glob("*.py"))
    + sorted(SAMPLES.glob("*.py"))
    + sorted((ROOT / "src" / "python").rglob("*.py"))
)
GOOD = [path for path in CHECKED if path.name != "mistakes.py"]
MISTAKES = SAMPLES / "mistakes.py"


def _module_dir(name: str) -> Path:
    # Located without importing: importing zol_kov would create log/ here.
    spec = importlib.util.find_spec(name)
    assert spec is not None and spec.origin, "%s is not importable" % name
    return Path(spec.origin).resolve().parent


_SITE = {Path(sysconfig.get_paths()[key]).resolve() for key in ("purelib", "platlib")}
INSTALLED = _module_dir("zol_kov") in _SITE


def _env() -> Dict[str, str]:
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if not INSTALLED:
        env["MYPYPATH"] = str(STUBS)
    # The checks run from an empty directory: find the modules where this process does.
    found = [str(_module_dir("zol_kov")), str(_module_dir("zol_mew"))]
    env["PYTHONPATH"] = os.pathsep.join(found + [env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    return env


class Message(NamedTuple):
    path: Path
    line: int
    severity: str
    text: str
    code: Optional[str]


_LINE = re.compile(r"^(?P<path>.+?):(?P<line>\d+): (?P<severity>error|note): (?P<text>.*)$")
_CODE = re.compile(r"\s+\[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_messages(tmp_path_factory: pytest.TempPathFactory) -> List[Message]:
    """One mypy run over every checked file (it takes a while), from an empty directory."""
    work = tmp_path_factory.mktemp("mypy")
    command = [sys.executable, "-m", "mypy", "--config-file", str(SAMPLES / "mypy.ini")]
    command += ["--cache-dir", str(work / "cache"), "--no-pretty", "--no-error-summary"]
    command += [str(path) for path in CHECKED]
    run = subprocess.run(
        command, cwd=str(work), env=_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    output = run.stdout.decode()
    assert run.returncode in (0, 1), output + run.stderr.decode()
    messages = []
    for raw in output.splitlines():
        match = _LINE.match(raw)
        assert match, "unexpected mypy output: %r" % raw
        text = match.group("text")
        code = _CODE.search(text)
        messages.append(
            Message(
                Path(match.group("path")).resolve(),
                int(match.group("line")),
                match.group("severity"),
                _CODE.sub("", text),
                code.group("code") if code else None,
            )
        )
    return messages


def _markers(path: Path, tag: str) -> Dict[int, str]:
    marked = {}
    for number, line in enumerate(path.read_text(encoding="utf8").splitlines(), 1):
        found = re.search(r"#\s*%s:\s*(.+?)\s*$" % tag, line)
        if found:
            marked[number] = found.group(1)
    return marked


@pytest.mark.parametrize("path", GOOD, ids=lambda p: str(p.relative_to(ROOT)))
def test_examples_and_samples_pass_strict_checking(
    mypy_messages: List[Message], path: Path
) -> None:
    errors = [m for m in mypy_messages if m.path == path and m.severity == "error"]
    assert errors == []


@pytest.mark.parametrize("path", GOOD, ids=lambda p: str(p.relative_to(ROOT)))
def test_revealed_types_come_from_the_stubs(mypy_messages: List[Message], path: Path) -> None:
    revealed = {
        m.line: m.text[len('Revealed type is "') : -1].replace("builtins.", "")
        for m in mypy_messages
        if m.path == path and m.text.startswith("Revealed type is ")
    }
    assert revealed == _markers(path, "N")


def test_mistakes_are_rejected(mypy_messages: List[Message]) -> None:
    marked = _markers(MISTAKES, "E")
    expected = {line: codes.strip("[]").split("|") for line, codes in marked.items()}
    assert len(expected) >= 10
    errors = [m for m in mypy_messages if m.path == MISTAKES and m.severity == "error"]
    assert sorted(m.line for m in errors) == sorted(expected)
    for error in errors:
        assert error.code in expected[error.line], error


@pytest.mark.skipif(not INSTALLED, reason="zol_kov comes from a development build")
@pytest.mark.parametrize("module", ["zol_kov", "zol_mew"])
def test_installed_stub_packages_are_the_stubs(module: str) -> None:
    # Stub-only packages beside the extension modules: mypy finds them in site-packages
    # (the checks above run without MYPYPATH when the package is installed).
    installed = _module_dir(module) / (module + "-stubs") / "__init__.pyi"
    assert installed.is_file()
    assert installed.read_text(encoding="utf8") == (STUBS / (module + ".pyi")).read_text(
        encoding="utf8"
    )


@pytest.mark.parametrize("module", ["zol_kov", "zol_mew"])
def test_every_public_class_and_method_in_the_stubs_has_a_docstring(module: str) -> None:
    tree = ast.parse((STUBS / (module + ".pyi")).read_text(encoding="utf8"))
    missing = [
        "%s.%s" % (node.name, item.name)
        for node in tree.body
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_")
        for item in [node] + node.body
        if isinstance(item, (ast.ClassDef, ast.FunctionDef))
        and not any(getattr(d, "attr", "") == "setter" for d in item.decorator_list)
        and ast.get_docstring(item) is None
    ]
    assert missing == []


def test_stubtest_agrees_with_the_modules(tmp_path: Path) -> None:
    # Names, parameters and defaults against the modules themselves; zol_kov's operations
    # expose full signatures, pybind11's only names (see the next test).
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zol_kov", "zol_mew", "--concise"]
        + ["--allowlist", str(SAMPLES / "stubtest_allowlist.txt")],
        cwd=str(tmp_path),
        env=_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
    )
    assert run.returncode == 0, run.stdout.decode()


# ---- pybind11 signatures (zol_mew) against the stub

Param = Tuple[str, str, Optional[str]]  # name, "pos" or "kw", default text


def _split_top_level(text: str) -> List[str]:
    parts, depth, current, quote = [], 0, "", ""
    for char in text:
        if quote:
            quote = "" if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
            continue
        current += char
    if current.strip():
        parts.append(current.strip())
    return parts


def _runtime_params(function: object) -> List[Param]:
    # pybind11 writes the signature as the docstring's first line:
    # name(self: zol_mew.X, a: int, b: float = 0.5, *, c: bool = False) -> None
    first = (getattr(function, "__doc__", None) or "").lstrip().splitlines()[0]
    inside = first[first.index("(") + 1 : first.rindex(")")]
    params, kind = [], "pos"
    for part in _split_top_level(inside)[1:]:  # without self
        if part == "*":
            kind = "kw"
            continue
        name_and_type, _, default = part.partition(" = ")
        params.append((name_and_type.split(":")[0].strip(), kind, default or None))
    return params


STUB_SOURCE = (STUBS / "zol_mew.pyi").read_text(encoding="utf8")


def _text(node: Optional[ast.expr]) -> Optional[str]:
    return None if node is None else ast.get_source_segment(STUB_SOURCE, node)


def _stub_params(function: ast.FunctionDef) -> List[Param]:
    args = function.args
    positional = args.args[1:]  # without self
    defaults: List[Optional[ast.expr]] = [None] * (len(positional) - len(args.defaults))
    defaults += list(args.defaults)
    params: List[Param] = []
    for arg, default in zip(positional, defaults):
        params.append((arg.arg, "pos", _text(default)))
    for arg, kw_default in zip(args.kwonlyargs, args.kw_defaults):
        params.append((arg.arg, "kw", _text(kw_default)))
    return params


def _stub_methods(class_name: str) -> Dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB_SOURCE)
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == class_name:
            return {
                item.name: item
                for item in node.body
                if isinstance(item, ast.FunctionDef) and not item.decorator_list
            }
    raise AssertionError("no class %s in the stub" % class_name)


def _same_default(runtime: Optional[str], stub: Optional[str]) -> bool:
    if runtime is None or stub is None:
        return runtime == stub
    return bool(ast.literal_eval(runtime) == ast.literal_eval(stub))


@pytest.mark.parametrize("class_name", ["MewMaster", "Simulator"])
def test_binding_signatures_match_the_stub(class_name: str) -> None:
    runtime_class = getattr(zol_mew, class_name)
    stub = _stub_methods(class_name)
    runtime_methods = [
        name
        for name, member in vars(runtime_class).items()
        if callable(member) and (not name.startswith("_") or name == "__init__")
    ]
    assert sorted(runtime_methods) == sorted(n for n in stub if n not in ("__enter__", "__exit__"))
    for name in runtime_methods:
        runtime = _runtime_params(getattr(runtime_class, name))
        expected = _stub_params(stub[name])
        assert [p[:2] for p in runtime] == [p[:2] for p in expected], name
        for (param, _, runtime_default), (_, _, stub_default) in zip(runtime, expected):
            assert _same_default(runtime_default, stub_default), (name, param)
