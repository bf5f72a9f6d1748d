"""Build a workbook row by row from Python values and save it.

Usage: python bench/write_save.py {velmo,xlsxwriter,xlsxwriter-cm} DATASET CELLS OUTPUT.xlsx
"""

import os
import sys

from common import DATE_FORMATS, Measure, deflate_floor_seconds, row_values, rows_for


def run_velmo(data, path, m):
    import velmo

    with m:
        wb = velmo.Workbook()
        ws = wb.active
        for row in data:
            ws.append(row)
        m.mark("build")
        wb.save(path)


def run_xlsxwriter(data, path, m, constant_memory, date_format):
    import xlsxwriter

    with m:
        book = xlsxwriter.Workbook(path, {"constant_memory": constant_memory, "default_date_format": date_format})
        sheet = book.add_worksheet()
        for r, row in enumerate(data):
            sheet.write_row(r, 0, row)
        m.mark("build")
        book.close()


def main():
    tool, dataset, cells, path = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    if tool == "velmo":
        import velmo  # noqa: F401
    else:
        import xlsxwriter  # noqa: F401
    # The rows exist before the clock starts: only building the workbook and saving it are timed.
    data = [row_values(r, dataset) for r in range(rows_for(cells))]
    m = Measure()
    more = {}
    if tool == "velmo":
        run_velmo(data, path, m)
        # The save alone, then the floor under it, one right after the other.
        more["save_seconds"] = m.seconds - m.extra["build_seconds"]
        more["floor_seconds"] = deflate_floor_seconds(path)
    else:
        run_xlsxwriter(data, path, m, constant_memory=(tool == "xlsxwriter-cm"), date_format=DATE_FORMATS[dataset])
    m.report(len(data) * len(data[0]), file_bytes=os.path.getsize(path), **more)


if __name__ == "__main__":
    main()
