"""A short tour: make a workbook with values of every kind, a comment, a hyperlink, a table and a
defined name; save it, load it again and print what came back."""

import datetime as dt
import os
import sys
import tempfile

import velmo


def build(path):
    wb = velmo.Workbook()
    ws = wb.active

    ws.append(["Item", "Amount", "When", "Time", "Duration", "Paid", "Note"])
    ws.append(["apples", 3, dt.date(2024, 5, 1), dt.time(9, 30), dt.timedelta(hours=1, minutes=15), True, None])
    ws.append({"A": "pears", "B": 2.5, "C": dt.datetime(2024, 5, 2, 14, 30), "F": False, "G": "late"})
    ws.append(["total", "=SUM(B2:B3)"])

    ws.set_cell_fill("A1", velmo.PatternFill("solid", start_color="FFFFFF00"))
    ws.set_cell_comment("B4", "computed when the file is opened", "demo")
    ws.set_cell_hyperlink("G2", "https://example.com/orders/2")

    table = velmo.Table("Orders", "A1:G3")
    table.tableStyleInfo = velmo.TableStyleInfo("TableStyleMedium2", showRowStripes=True)
    ws.add_table(table)
    wb.defined_names.add(velmo.DefinedName("Total", "'Sheet'!$B$4"))

    ws.freeze_panes = "A2"
    ws.column_width(1, 14)
    wb.save(path)


def show(path):
    wb = velmo.load_workbook(path)
    ws = wb.active
    print("sheets:", wb.sheetnames)
    for row in ws.iter_rows(values_only=True):
        print("  ", row)
    print("used range: rows", ws.min_row, "to", ws.max_row, "columns", ws.min_column, "to", ws.max_column)
    print("A1 fill:", ws["A1"].fill.fg_color.rgb)
    print("B4 comment:", repr(ws["B4"].comment.text), "by", repr(ws["B4"].comment.author))
    print("G2 link:", ws["G2"].hyperlink.target)
    for name in ws.tables:
        t = ws.tables[name]
        print("table:", t.displayName, t.ref, [c.name for c in t.tableColumns])
    print("defined name Total =", wb.defined_names["Total"].value)
    print("frozen at:", ws.freeze_panes)


def main():
    path = os.path.join(tempfile.mkdtemp(), "demo.xlsx")
    build(path)
    print("saved", path, os.path.getsize(path), "bytes")
    show(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
