"""Source lint of the extensions: interpreter-specific API stays in one header.

Private interpreter API (`_Py...`) and the calls that newer interpreters deprecate or
dropped change from release to release; kept behind src/module/python_compat.hpp, a new
interpreter needs changes in that one file only.
"""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"
COMPAT = SRC / "module" / "python_compat.hpp"
SOURCES = sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp", ".h", ".cc"))

# Each pattern, and why it may appear only in the compatibility header.
RESTRICTED = {
    r"\b_Py\w*": "private interpreter API",
    r"\bPyErr_(Fetch|Restore|NormalizeException)\b": "deprecated from 3.12 (PyErr_GetRaisedException)",
    r"\bPyWeakref_GetObject\b": "deprecated from 3.13 (PyWeakref_GetRef)",
    r"\bPy_OptimizeFlag\b": "deprecated from 3.12",
}


def code_of(path):
    """The source without comments and string literals, which may name anything."""
    text = path.read_text(encoding="utf-8")
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    return re.sub(r'"(\\.|[^"\\\n])*"', '""', text)


def test_the_sources_are_found():
    assert COMPAT in SOURCES
    assert any(p.parts[-2] == "controller" for p in SOURCES)
    assert any(p.parts[-3:-1] == ("mew", "python") for p in SOURCES)


@pytest.mark.parametrize("pattern", sorted(RESTRICTED), ids=sorted(RESTRICTED.values()))
def test_interpreter_specific_api_only_in_the_compatibility_header(pattern):
    found = [
        "%s:%d: %s" % (path.relative_to(SRC), code[: m.start()].count("\n") + 1, m.group(0))
        for path in SOURCES
        if path != COMPAT
        for code in [code_of(path)]
        for m in re.finditer(pattern, code)
    ]
    assert not found, "%s outside %s:\n%s" % (
        RESTRICTED[pattern],
        COMPAT.relative_to(SRC),
        "\n".join(found),
    )


def test_the_lint_sees_code_and_ignores_comments_and_strings(tmp_path):
    samples = {
        r"\b_Py\w*": "x = _PyObject_GetMethod(a, b, &c);",
        r"\bPyErr_(Fetch|Restore|NormalizeException)\b": "PyErr_Fetch(&t, &v, &tb);",
        r"\bPyWeakref_GetObject\b": "Ref r = PyWeakref_GetObject(ref);",
        r"\bPy_OptimizeFlag\b": "return Py_OptimizeFlag == 0;",
    }
    assert samples.keys() == RESTRICTED.keys()
    for pattern, sample in samples.items():
        code, quoted = tmp_path / "code.cpp", tmp_path / "quoted.cpp"
        code.write_text("int f() {\n  %s\n}\n" % sample)
        quoted.write_text('// %s\n/* %s */\nconst char* s = "%s";\n' % (sample, sample, sample))
        assert re.search(pattern, code_of(code))
        assert not re.search(pattern, code_of(quoted))
