"""The Python examples of the documentation run, and print what the pages say they print.

Every ```python block of the pages below runs on its own interpreter in an empty directory;
an ```output block right after it holds its exact standard output. Blocks written for a
real bus name "/dev/ttyUSB0": they get a simulator's port in its place.
"""

import re
import subprocess
import sys
from pathlib import Path
from typing import List, NamedTuple, Optional

import pytest

import zol_mew
from child_python import child_environment

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", ROOT / "docs" / "reference.md", ROOT / "docs" / "troubleshooting.md"]
REAL_PORT = '"/dev/ttyUSB0"'
TIMEOUT = 60.0

_BLOCK = re.compile(r"^```(\w+)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)


class Example(NamedTuple):
    page: str
    line: int
    code: str
    output: Optional[str]


def _examples() -> List[Example]:
    found = []
    for page in PAGES:
        text = page.read_text(encoding="utf8")
        blocks = list(_BLOCK.finditer(text))
        for index, block in enumerate(blocks):
            if block.group(1) != "python":
                continue
            following = blocks[index + 1] if index + 1 < len(blocks) else None
            output = None
            if (
                following is not None
                and following.group(1) == "output"
                and text[block.end() : following.start()].strip() == ""
            ):
                output = following.group(2)
            line = text.count("\n", 0, block.start()) + 1
            found.append(Example(page.name, line, block.group(2), output))
    return found


EXAMPLES = _examples()


def test_the_pages_have_examples_with_outputs() -> None:
    pages = {example.page for example in EXAMPLES}
    assert pages == {page.name for page in PAGES}
    assert sum(example.output is not None for example in EXAMPLES) >= 4


@pytest.mark.parametrize(
    "example", EXAMPLES, ids=["%s:%d" % (e.page, e.line) for e in EXAMPLES]
)
def test_documented_example_runs(example: Example, tmp_path: Path) -> None:
    with zol_mew.Simulator((1, 2), time_scale=50.0) as sim:
        code = example.code.replace(REAL_PORT, repr(sim.port))
        run = subprocess.run(
            [sys.executable, "-c", code],
            cwd=str(tmp_path),
            env=child_environment(),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
            timeout=TIMEOUT,
        )
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stderr == ""
    if example.output is not None:
        assert run.stdout == example.output
