"""Load a workbook, change one cell and save it under another name.

Usage: python bench/edit_save.py velmo INPUT.xlsx OUTPUT.xlsx
"""

import os
import sys

from common import Measure, deflate_floor_seconds


def main():
    tool, path, out = sys.argv[1], sys.argv[2], sys.argv[3]
    if tool != "velmo":
        raise SystemExit(f"edit_save: no runner for {tool}")
    import velmo

    m = Measure()
    with m:
        wb = velmo.load_workbook(path)
        m.mark("load")
        ws = wb.active
        ws["B2"] = 12345.5
        m.mark("edit")
        wb.save(out)
    save_seconds = m.seconds - m.extra["edit_seconds"]
    floor_seconds = deflate_floor_seconds(out)
    cells = (ws.max_row - ws.min_row + 1) * (ws.max_column - ws.min_column + 1)
    m.report(cells, file_bytes=os.path.getsize(out), input_bytes=os.path.getsize(path), save_seconds=save_seconds,
             floor_seconds=floor_seconds)


if __name__ == "__main__":
    main()
