"""Load a workbook and bring every value of its first sheet into Python lists.

Usage: python bench/load_values.py {velmo,calamine} INPUT.xlsx
"""

import sys

from common import Measure


def run_velmo(path, m):
    import velmo

    with m:
        wb = velmo.load_workbook(path)
        m.mark("load")
        rows = list(wb.active.iter_rows(values_only=True))
    return rows


def run_calamine(path, m):
    from python_calamine import CalamineWorkbook

    with m:
        wb = CalamineWorkbook.from_path(path)
        rows = wb.get_sheet_by_index(0).to_python()
    return rows


def main():
    tool, path = sys.argv[1], sys.argv[2]
    runner = {"velmo": run_velmo, "calamine": run_calamine}[tool]
    # Import before measuring, so the baseline holds the interpreter with the library loaded.
    if tool == "velmo":
        import velmo  # noqa: F401
    else:
        import python_calamine  # noqa: F401
    m = Measure()
    rows = runner(path, m)
    cells = sum(len(r) for r in rows)
    m.report(cells)


if __name__ == "__main__":
    main()
