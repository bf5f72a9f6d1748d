"""The README's example, run as written in an empty folder: it prints what its comments say."""

import pathlib
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def use_example():
    """The indented block under "## Use", and the lines its print comments promise, in order: the
    comment on a line that prints, and the comment-only lines after it."""
    code, expected = [], []
    for line in README.read_text().split("## Use", 1)[1].splitlines()[1:]:
        if line and not line.startswith("    "):
            break
        code.append(line[4:])
        body, _, comment = line[4:].partition("# ")
        if comment and ("print(" in body or not body.strip()):
            expected.append(comment.strip())
    return "\n".join(code), expected


def test_the_use_example_runs_in_an_empty_folder_and_prints_its_comments(tmp_path):
    code, expected = use_example()
    assert len(expected) == 5
    script = tmp_path / "orders.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == expected
