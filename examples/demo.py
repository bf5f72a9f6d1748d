"""A short tour: make a workbook, write values of several kinds, read them back."""

import datetime as dt
import os
import sys
import tempfile

import velmo


def main():
    wb = velmo.Workbook()
    ws = wb.active
    print("sheets:", wb.sheetnames)

    ws["A1"] = "Item"
    ws["B1"] = "Amount"
    ws["C1"] = "When"
    ws.append(["apples", 3, dt.date(2024, 5, 1)])
    ws.append({"A": "pears", "B": 2.5, "C": dt.datetime(2024, 5, 2, 14, 30)})
    ws.append(["total", "=SUM(B2:B3)", dt.timedelta(hours=1, minutes=15)])
    ws.set_cell_fill("A1", velmo.PatternFill("solid", start_color="FFFFFF00"))
    ws.set_cell_comment("B4", "computed when the file is opened", "demo")

    for row in ws.iter_rows(values_only=True):
        print(row)
    print("used range: rows", ws.min_row, "to", ws.max_row, "columns", ws.min_column, "to", ws.max_column)
    print("A1 fill:", ws["A1"].fill.fg_color.rgb, "B4 comment:", ws["B4"].comment.text)
    print("column 28 is", velmo.get_column_letter(28))

    if hasattr(wb, "save"):
        path = os.path.join(tempfile.mkdtemp(), "demo.xlsx")
        wb.save(path)
        again = velmo.load_workbook(path)
        print("saved and reloaded:", again.active.values)
    else:
        print("(saving is not available in this build)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
