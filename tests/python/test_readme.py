"""The README's example, run as written in an empty folder: it prints what its comments say."""

import pathlib
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def use_example():
    """The indented block under "## Use", and the lines its print comments promise, in order: the
    comment on a line that prints, and the comment-only lines right after it."""
    lines = README.read_text().split("## Use", 1)[1].splitlines()[1:]
    code, expected, printing = [], [], False
    for line in lines:
        if line and not line.startswith("    "):
            break
        line = line[4:]
        code.append(line)
        body, _, comment = line.partition("# ")
        if "print(" in body and comment:
            expected.append(comment.strip())
            printing = True
        elif printing and not body.strip() and comment:
            expected.append(comment.strip())
        else:
            printing = False
    return "\n".join(code), expected


def test_the_use_example_runs_in_an_empty_folder_and_prints_its_comments(tmp_path):
    code, expected = use_example()
    assert len(expected) == 5
    script = tmp_path / "orders.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == expected
