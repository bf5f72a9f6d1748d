"""Library errors as Python exceptions, and the internal-failure class."""

import errno
import re

import pytest

import velmo


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
