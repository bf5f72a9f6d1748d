"""What a save takes from the file its workbook was loaded from (only entries that still hold what
was loaded, and only intact ones), and what it will replace (only a regular file)."""

import os
import stat
import subprocess
import sys
import zipfile

import pytest

import velmo
from package_check import check_package, raw_entries, rewrite_entries

ORPHAN = "extra/orphan.xml"  # reached by no relationship, so copied whatever the edits
DRAWING_TYPE = 'PartName="/xl/drawings/drawing1.xml"'


@pytest.fixture
def source(make_xlsx):
    def build(book):
        sheet = book.add_worksheet("Data")
        sheet.write_column("A1", [1, 2, 3])
        chart = book.add_chart({"type": "line"})
        chart.add_series({"values": "=Data!$A$1:$A$3"})
        sheet.insert_chart("C1", chart)

    path = make_xlsx(build)
    with zipfile.ZipFile(path, "a") as z:
        z.writestr(ORPHAN, "<orphan/>")
    return path


def contents(path):
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name) for name in z.namelist()}


def rezip(path, compression, level=None, drop=()):
    """The package written anew, entry by entry, with other compression and without `drop`."""
    entries = [(n, b) for n, b in contents(path).items() if n not in drop]
    with zipfile.ZipFile(path, "w", compression, compresslevel=level) as z:
        for name, data in entries:
            z.writestr(name, data)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.startswith(".tmp"))


@pytest.mark.parametrize("change, refused", [
    (lambda p: rewrite_entries(p, {"[Content_Types].xml": lambda b: b.replace(DRAWING_TYPE.encode(), b'PartName="/gone"')}),
     False),
    (lambda p: rezip(p, zipfile.ZIP_DEFLATED, drop=[ORPHAN]), True),
    (lambda p: rezip(p, zipfile.ZIP_DEFLATED, level=1), False),
    (lambda p: rezip(p, zipfile.ZIP_STORED), False),
], ids=["content types rewritten", "unreached entry removed", "re-zipped at another level", "re-zipped stored"])
@pytest.mark.parametrize("in_place", [False, True], ids=["elsewhere", "in place"])
def test_a_save_copies_only_what_the_source_still_holds_as_loaded(source, tmp_path, change, refused, in_place):
    wb = velmo.load_workbook(source)
    wb.active["A4"] = 4
    change(source)
    dest = source if in_place else tmp_path / "dest.xlsx"
    if not in_place:
        dest.write_bytes(b"precious bytes")
    before = read_bytes(dest)
    if refused:
        with pytest.raises(OSError, match=f"^io: {source} has changed since the workbook was loaded$"):
            wb.save(str(dest))
        assert read_bytes(dest) == before and leftovers(tmp_path) == []
        return
    wb.save(str(dest))
    check_package(dest)
    copy = contents(dest)
    assert DRAWING_TYPE.encode() in copy["[Content_Types].xml"] and copy[ORPHAN] == b"<orphan/>"
    assert copy["xl/charts/chart1.xml"] == contents(source)["xl/charts/chart1.xml"]
    assert list(velmo.load_workbook(str(dest)).active.iter_rows(values_only=True)) == [(1,), (2,), (3,), (4,)]
    velmo.load_workbook(str(dest)).save(str(tmp_path / "again.xlsx"))  # the copy is a source like any other


@pytest.mark.parametrize("change, how", [
    (lambda b: None, "is missing"),
    (lambda b: b.replace(b"docProps/app.xml", b"docProps/gone.xml"), "differs"),
], ids=["removed", "changed"])
@pytest.mark.parametrize("in_place", [False, True], ids=["elsewhere", "in place"])
def test_the_package_relationships_are_checked_like_every_copied_entry(source, tmp_path, change, how, in_place):
    wb = velmo.load_workbook(source)
    rewrite_entries(source, {"_rels/.rels": change})
    dest = source if in_place else tmp_path / "dest.xlsx"
    if not in_place:
        dest.write_bytes(b"precious bytes")
    before = read_bytes(dest)
    with pytest.raises(OSError) as exc:
        wb.save(str(dest))
    assert exc.value.args == (f"io: {source} has changed since the workbook was loaded: _rels/.rels {how}",)
    assert read_bytes(dest) == before and leftovers(tmp_path) == []


def damage(path, name):
    """Flips bytes in the middle of an entry's stored data; the directory is left as it was."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(name)
    with open(path, "r+b") as f:
        f.seek(info.header_offset + 26)
        skip = 30 + int.from_bytes(f.read(2), "little") + int.from_bytes(f.read(2), "little")
        at = info.header_offset + skip + info.compress_size // 2
        f.seek(at)
        chunk = f.read(8)
        f.seek(at)
        f.write(bytes(b ^ 0x5A for b in chunk))


@pytest.mark.parametrize("when", ["before the load", "after the load"])
@pytest.mark.parametrize("entry", ["xl/theme/theme1.xml", "xl/charts/chart1.xml", "[Content_Types].xml"])
def test_a_damaged_entry_refuses_the_save(source, tmp_path, when, entry):
    if when == "before the load":
        damage(source, entry)
        if entry == "[Content_Types].xml":
            # The load reads them, so no workbook loads that no save could write.
            with pytest.raises(OSError, match=r"^zip: \[Content_Types\]\.xml: "):
                velmo.load_workbook(source)
            return
    wb = velmo.load_workbook(source)
    if when == "after the load":
        damage(source, entry)
    dest = tmp_path / "dest.xlsx"
    dest.write_bytes(b"precious bytes")
    if entry == "[Content_Types].xml" and when == "after the load":
        # The save writes the content types it loaded, not the file's.
        wb.save(str(dest))
        check_package(dest)
        return
    with pytest.raises(OSError) as exc:
        wb.save(str(dest))
    assert exc.value.args[0].startswith(f"zip: {source}: {entry}: "), exc.value.args[0]
    assert dest.read_bytes() == b"precious bytes" and leftovers(tmp_path) == []


# Saves in a child whose address space has only this much room left after the load: far less than
# the entry made large below inflates to, far more than a save needs when it checks copies a piece at a time.
SAVE_IN_LITTLE_MEMORY = """
import resource, sys, velmo
wb = velmo.load_workbook(sys.argv[1])
wb.active["A1"] = 5
in_use = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (48 << 20), resource.RLIM_INFINITY))
try:
    wb.save(sys.argv[2])
except OSError as e:
    sys.exit(e.args[0])
"""


@pytest.mark.parametrize("damaged", [False, True], ids=["intact", "damaged"])
def test_a_large_copied_entry_is_checked_in_bounded_memory(source, tmp_path, damaged):
    rewrite_entries(source, {ORPHAN: lambda b: b + b" " * (96 << 20)})
    if damaged:
        damage(source, ORPHAN)
    dest = tmp_path / "dest.xlsx"
    run = subprocess.run([sys.executable, "-c", SAVE_IN_LITTLE_MEMORY, source, str(dest)], capture_output=True, text=True)
    if damaged:
        assert run.returncode == 1 and run.stderr.startswith(f"zip: {source}: {ORPHAN}: "), run.stderr
        assert not dest.exists() and leftovers(tmp_path) == []
        return
    assert run.returncode == 0, run.stderr
    check_package(dest)
    assert raw_entries(dest)[ORPHAN] == raw_entries(source)[ORPHAN]
    assert velmo.load_workbook(str(dest)).active["A1"].value == 5


def fifo(path):
    os.mkfifo(path)
    return stat.S_ISFIFO


def null_device(path):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    return stat.S_ISCHR


@pytest.mark.parametrize("make", [fifo, null_device], ids=["fifo", "device node"])
def test_a_destination_that_is_no_regular_file_is_left_alone(tmp_path, make):
    node = tmp_path / "node.xlsx"
    is_kind = make(node)
    with pytest.raises(ValueError) as exc:
        velmo.Workbook().save(str(node))
    assert exc.value.args == ("refusing to replace a destination that is not a regular file",)
    assert is_kind(os.lstat(node).st_mode) and sorted(p.name for p in tmp_path.iterdir()) == ["node.xlsx"]
    # Nor is one read as a package: opening a FIFO would wait for a writer.
    with pytest.raises(ValueError, match="^invalid Zip archive: not a regular file$"):
        velmo.load_workbook(str(node))
