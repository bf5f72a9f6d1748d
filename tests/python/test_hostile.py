"""A process killed while it saves a large workbook over an existing file: the file is always the
old one or the complete new one, and loads. A killed process cannot clean up, so a temporary file
may remain beside it; those are counted and reported, then removed between rounds."""

import errno
import os
import pathlib
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from python_calamine import CalamineWorkbook

import velmo

ROWS = 150_000

# Builds the large workbook, says so, waits for the go, then saves it over the destination.
CHILD = textwrap.dedent(
    """
    import sys
    import velmo
    dest, rows = sys.argv[1], int(sys.argv[2])
    wb = velmo.Workbook()
    ws = wb.active
    for r in range(1, rows + 1):
        ws.append([r, f"text {r} " * 3, r * 0.5, r % 2 == 0])
    print("ready", flush=True)
    sys.stdin.readline()
    wb.save(dest)
    print("saved", flush=True)
    """
)


def start_child(dest):
    return subprocess.Popen(
        [sys.executable, "-c", CHILD, str(dest), str(ROWS)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )


def save_in_child(dest):
    """Saves the large workbook to completion; returns how long the save itself took."""
    child = start_child(dest)
    assert child.stdout.readline().strip() == "ready"
    began = time.monotonic()
    child.stdin.write("go\n")
    child.stdin.flush()
    assert child.stdout.readline().strip() == "saved"
    took = time.monotonic() - began
    assert child.wait(timeout=60) == 0
    return took


def temporaries(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir() if p.name.startswith(".tmp"))


def is_old(path):
    wb = velmo.load_workbook(str(path))
    return wb.sheetnames == ["Sheet"] and wb["Sheet"]["A1"].value == "old"


def is_complete_new(path):
    wb = velmo.load_workbook(str(path))
    if wb.sheetnames != ["Sheet"]:
        return False
    ws = wb["Sheet"]
    if ws.max_row != ROWS or ws.cell(row=ROWS, column=1).value != ROWS:
        return False
    rows = CalamineWorkbook.from_path(str(path)).get_sheet_by_name("Sheet").to_python()
    return len(rows) == ROWS and rows[-1][0] == ROWS


def test_a_save_killed_at_any_moment_leaves_the_old_or_the_complete_new_file(tmp_path):
    dest = tmp_path / "book.xlsx"
    reference = tmp_path / "reference" / "book.xlsx"
    reference.parent.mkdir()
    save_time = save_in_child(reference)
    new_bytes = reference.read_bytes()

    def write_old():
        wb = velmo.Workbook()
        wb.active["A1"] = "old"
        wb.save(str(dest))
        return dest.read_bytes()

    old_bytes = write_old()
    rng = random.Random(20240601)
    outcomes = {"old": 0, "new": 0}
    leftovers = []
    rounds = 12
    for round_no in range(rounds):
        # Each round starts from the old file, so that both outcomes stay possible.
        if dest.read_bytes() != old_bytes:
            old_bytes = write_old()
        child = start_child(dest)
        assert child.stdout.readline().strip() == "ready"
        child.stdin.write("go\n")
        child.stdin.flush()
        time.sleep(rng.uniform(0, save_time * 1.3))
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=60)

        data = dest.read_bytes()
        assert data in (old_bytes, new_bytes), f"round {round_no}: the destination is neither file"
        if data == old_bytes:
            assert is_old(dest)
            outcomes["old"] += 1
        else:
            assert is_complete_new(dest)
            outcomes["new"] += 1
        left = temporaries(tmp_path)
        leftovers.extend(left)
        for name in left:
            os.unlink(tmp_path / name)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["book.xlsx", "reference"]

    print(f"\nkilled saves: {outcomes['old']} left the old file, {outcomes['new']} the new one; "
          f"{len(leftovers)} temporary file(s) left by killed processes; save takes {save_time:.2f}s")
    assert outcomes["old"] + outcomes["new"] == rounds


def test_a_failed_save_of_a_large_workbook_leaves_no_temporary(tmp_path):
    """The same large save failing for want of space (file size limit in the child): the old file
    stays and nothing else is left."""
    dest = tmp_path / "book.xlsx"
    wb = velmo.Workbook()
    wb.active["A1"] = "old"
    wb.save(str(dest))
    old_bytes = dest.read_bytes()
    script = textwrap.dedent(
        """
        import resource, signal, sys
        import velmo
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        wb = velmo.Workbook()
        ws = wb.active
        for r in range(1, 40001):
            ws.append([r, f"text {r} " * 3])
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))
        try:
            wb.save(sys.argv[1])
        except OSError as e:
            print(type(e).__name__, e)
            sys.exit(0)
        sys.exit(3)
        """
    )
    out = subprocess.run([sys.executable, "-c", script, str(dest)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("OSError ")
    assert f"(os error {errno.EFBIG})" in out.stdout
    assert dest.read_bytes() == old_bytes
    assert [p.name for p in tmp_path.iterdir()] == ["book.xlsx"]
