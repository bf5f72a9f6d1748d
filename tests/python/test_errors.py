"""Library errors as Python exceptions, and the internal-failure class."""

import errno
import re

import pytest

import velmo
from package_check import rewrite_entries


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(OSError) as exc:
        velmo.load_workbook(str(tmp_path / "absent.xlsx"))
    assert len(exc.value.args) == 1
    message = exc.value.args[0]
    assert message.startswith("io: ")
    assert message.endswith(f" (os error {errno.ENOENT})")
    assert isinstance(exc.value, FileNotFoundError)


def test_directory_is_an_os_error(tmp_path):
    with pytest.raises(OSError) as exc:
        velmo.load_workbook(str(tmp_path))
    assert re.fullmatch(r"io: .* \(os error \d+\)", exc.value.args[0])


def test_not_a_zip_archive(tmp_path):
    # The package reader classes a file that is no archive as an invalid format.
    path = tmp_path / "plain.xlsx"
    path.write_text("this is not a package")
    with pytest.raises(ValueError) as exc:
        velmo.load_workbook(str(path))
    assert exc.value.args[0].startswith("invalid Zip archive: ")


def test_zip_without_workbook_part(tmp_path):
    import zipfile

    path = tmp_path / "empty.xlsx"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("hello.txt", "hi")
    with pytest.raises((ValueError, OSError)):
        velmo.load_workbook(str(path))


def test_model_refusals_are_value_errors_with_bare_messages():
    ws = velmo.Workbook().active
    with pytest.raises(ValueError) as exc:
        ws.iter_rows(min_row=0)
    assert not exc.value.args[0].startswith("invalid xlsx format")


def _utf16(text):
    return text.decode().replace('encoding="UTF-8"', 'encoding="UTF-16"').encode("utf-16")


@pytest.mark.parametrize("part, change", [
    ("xl/worksheets/sheet1.xml", _utf16),
    ("xl/worksheets/sheet1.xml", lambda b: b.decode().encode("utf-16-le")),  # no byte-order mark
    ("xl/sharedStrings.xml", _utf16),
    ("xl/styles.xml", _utf16),
    ("xl/worksheets/sheet1.xml", lambda b: bytes(range(256)) * 4),
    ("xl/worksheets/sheet1.xml", lambda b: b"a worksheet without any element"),
    ("xl/worksheets/sheet1.xml", lambda b: b'<?xml version="1.0"?><!-- nothing -->'),
    ("xl/worksheets/sheet1.xml", lambda b: b + b"<worksheet/>"),
    # Read at load too, so that no workbook loads that no save could write.
    ("[Content_Types].xml", _utf16),
    ("[Content_Types].xml", lambda b: b.decode().encode("utf-16-le")),
    ("[Content_Types].xml", lambda b: b + b"\0"),
    ("[Content_Types].xml", lambda b: b + b"junk"),
    ("[Content_Types].xml", lambda b: b'<?xml version="1.0"?><!-- nothing -->'),
], ids=["utf-16 sheet", "utf-16 sheet without mark", "utf-16 strings", "utf-16 styles", "junk", "words", "no root",
        "two roots", "utf-16 content types", "utf-16 content types without mark", "content types and a NUL",
        "content types and junk", "content types without root"])
def test_parts_that_are_no_utf8_document_fail_the_load_naming_the_part(make_xlsx, part, change):
    path = make_xlsx(lambda book: book.add_worksheet().write_row("A1", ["text", 2]))
    rewrite_entries(path, {part: change})
    with pytest.raises(OSError) as exc:
        velmo.load_workbook(path)
    assert exc.value.args[0].startswith(f"xml: {part}: "), exc.value.args[0]


def test_a_part_cut_short_inside_its_root_keeps_what_came_before(make_xlsx):
    path = make_xlsx(lambda book: book.add_worksheet().write_column("A1", [1, 2, 3]))
    rewrite_entries(path, {"xl/worksheets/sheet1.xml": lambda b: b[:b.index(b'<row r="3"')]})
    assert list(velmo.load_workbook(path).active.iter_rows(values_only=True)) == [(1,), (2,)]
