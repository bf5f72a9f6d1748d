"""Conditional formatting: the rule classes' arguments, ConditionalFormatting.add's refusals, and the
blocks, priorities and formats a save writes."""

import zipfile
from xml.etree import ElementTree

import pytest

import velmo

M = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"


def save(wb, tmp_path):
    path = tmp_path / "cf.xlsx"
    wb.save(str(path))
    return path


def part(path, name):
    with zipfile.ZipFile(path) as z:
        return ElementTree.fromstring(z.read(name))


def blocks(path, n=1):
    """[(sqref, [rule attributes with the formulas under "formulas"])] of worksheet part n."""
    out = []
    for block in part(path, f"xl/worksheets/sheet{n}.xml").iter(M + "conditionalFormatting"):
        rules = []
        for rule in block.findall(M + "cfRule"):
            attrs = dict(rule.attrib)
            attrs["formulas"] = [f.text for f in rule.findall(M + "formula")]
            rules.append(attrs)
        out.append((block.get("sqref"), rules))
    return out


def dxfs(path):
    return part(path, "xl/styles.xml").find(M + "dxfs")


@pytest.fixture
def red_bold_font(styled_path):
    return velmo.load_workbook(styled_path)["Styled"]["A1"].font


# ---- rule constructors ----

def test_rule_signatures():
    assert velmo.FormulaRule.__text_signature__ == "(formula=None, stopIfTrue=False, font=None, fill=None)"
    assert velmo.CellIsRule.__text_signature__ == (
        "(operator=None, formula=None, stopIfTrue=False, font=None, fill=None)")
    assert velmo.ConditionalFormatting.add.__text_signature__ == "($self, sqref, rule)"


def test_formula_must_be_a_sequence_of_str():
    velmo.FormulaRule(("A1>0", "B1"))
    velmo.CellIsRule("between", ["1", "5"])
    with pytest.raises(TypeError) as e:
        velmo.FormulaRule("A1>0")
    assert e.value.args == ("argument 'formula': Can't extract `str` to `Vec`",)
    for bad in (5, ["A1", 2], {"A1": 1}, iter(["A1"])):
        with pytest.raises(TypeError, match="argument 'formula'"):
            velmo.FormulaRule(formula=bad)


@pytest.mark.parametrize("make", [
    lambda: velmo.FormulaRule(stopIfTrue=None),
    lambda: velmo.FormulaRule(stopIfTrue=1),
    lambda: velmo.CellIsRule(operator=1),
    lambda: velmo.FormulaRule(font="bold"),
    lambda: velmo.FormulaRule(fill="solid"),
    lambda: velmo.FormulaRule(border=None),
    lambda: velmo.CellIsRule("equal", ["1"], False, None, None, None),
])
def test_constructor_arguments_are_checked(make):
    with pytest.raises(TypeError):
        make()


def test_a_fill_snapshot_is_not_a_pattern_fill(styled_path, red_bold_font):
    cell_fill = velmo.load_workbook(styled_path)["Styled"]["B1"].fill
    with pytest.raises(TypeError, match="argument 'fill'"):
        velmo.FormulaRule(fill=cell_fill)
    with pytest.raises(TypeError, match="argument 'font'"):
        velmo.FormulaRule(font=cell_fill)
    velmo.FormulaRule(font=red_bold_font, fill=velmo.PatternFill("solid"))


# ---- add: refusals ----

def test_add_refusals(tmp_path):
    wb = velmo.Workbook()
    cf = wb.active.conditional_formatting
    with pytest.raises(TypeError) as e:
        cf.add("A1", "A1>0")
    assert e.value.args == ("rule must be a FormulaRule or CellIsRule",)
    with pytest.raises(TypeError, match="argument 'sqref'"):
        cf.add(None, velmo.FormulaRule())
    with pytest.raises(TypeError):
        cf.add("A1")
    for sqref in ("", "   ", "A1:", "A1 B", "A1,B2"):
        with pytest.raises(ValueError) as e:
            cf.add(sqref, velmo.FormulaRule())
        assert e.value.args == (f'conditional formatting sqref "{sqref}" is not a valid A1 range',)
    with pytest.raises(ValueError) as e:
        cf.add("\tA1:", velmo.FormulaRule())
    assert e.value.args == ('conditional formatting sqref "\\tA1:" is not a valid A1 range',)
    assert blocks(save(wb, tmp_path)) == []  # a refused call adds nothing


# ---- add: blocks, priorities and what is written ----

def test_rules_written_with_their_type_operator_formulas_and_stop_flag(tmp_path):
    wb = velmo.Workbook()
    cf = wb.active.conditional_formatting
    cf.add("A1:B2", velmo.FormulaRule())
    cf.add("A1:B2", velmo.CellIsRule())
    cf.add(sqref="C1", rule=velmo.CellIsRule("greaterThan", ["10"], True))
    cf.add("D1", velmo.FormulaRule(formula=["ISBLANK(D1)", "x<1"], stopIfTrue=True))
    got = blocks(save(wb, tmp_path))
    assert [sqref for sqref, _ in got] == ["A1:B2", "C1", "D1"]
    (_, first), (_, second), (_, third) = got
    assert first[0]["type"] == "expression" and "operator" not in first[0] and first[0]["formulas"] == []
    assert first[1]["type"] == "cellIs" and first[1]["operator"] == ""  # present though empty
    assert second[0]["operator"] == "greaterThan" and second[0]["formulas"] == ["10"]
    assert second[0]["stopIfTrue"] == "1" and "stopIfTrue" not in first[0]
    assert third[0]["formulas"] == ["ISBLANK(D1)", "x<1"]


def test_priorities_run_over_the_sheet_and_blocks_group_by_trimmed_text(tmp_path, make_xlsx):
    wb = velmo.load_workbook(make_xlsx(lambda book: (book.add_worksheet("One"), book.add_worksheet("Two"))))
    rule = velmo.FormulaRule(formula=["TRUE"])
    one = wb["One"].conditional_formatting
    one.add("A1:B2", rule)
    one.add(" A1:B2\n", rule)  # the same rule object again: each addition is a copy
    one.add("A1:B2 D4", rule)
    wb["Two"].conditional_formatting.add("C3", rule)
    path = save(wb, tmp_path)
    assert [(s, [r["priority"] for r in rules]) for s, rules in blocks(path, 1)] == [
        ("A1:B2", ["1", "2"]), ("A1:B2 D4", ["3"])]
    assert [(s, [r["priority"] for r in rules]) for s, rules in blocks(path, 2)] == [("C3", ["1"])]


def test_a_loaded_sheets_priorities_are_continued(tmp_path, make_xlsx):
    def build(book):
        sheet = book.add_worksheet("Rules")
        for i in range(7):
            sheet.conditional_format(f"A{i + 1}", {"type": "cell", "criteria": ">", "value": i})

    wb = velmo.load_workbook(make_xlsx(build))
    wb["Rules"].conditional_formatting.add("B1", velmo.FormulaRule())
    got = blocks(save(wb, tmp_path))
    assert got[-1] == ("B1", [{"type": "expression", "priority": "8", "dxfId": got[-1][1][0]["dxfId"],
                               "formulas": []}])
    assert sorted(int(rules[0]["priority"]) for _, rules in got) == list(range(1, 9))


def test_formats_become_differential_formats(tmp_path, red_bold_font):
    wb = velmo.Workbook()
    cf = wb.active.conditional_formatting
    cf.add("A1", velmo.FormulaRule(font=red_bold_font, fill=velmo.PatternFill("solid", fgColor="FF00FF00")))
    cf.add("A2", velmo.CellIsRule("equal", ["1"]))
    path = save(wb, tmp_path)
    rules = [rules[0] for _, rules in blocks(path)]
    formats = dxfs(path).findall(M + "dxf")
    styled = formats[int(rules[0]["dxfId"])]
    assert styled.find(M + "font/" + M + "b") is not None
    assert styled.find(M + "font/" + M + "color").get("rgb") == "FFFF0000"
    assert styled.find(M + "fill/" + M + "patternFill/" + M + "fgColor").get("rgb") == "FF00FF00"
    empty = formats[int(rules[1]["dxfId"])]  # a rule always carries a format, even an empty one
    assert empty.find(M + "font") is None and empty.find(M + "fill") is None


def test_rules_survive_a_reload_and_another_save(tmp_path):
    wb = velmo.Workbook()
    wb.active.conditional_formatting.add("A1:A9", velmo.CellIsRule("lessThan", ["0"],
                                                                  fill=velmo.PatternFill("solid", "FFFF0000")))
    first = save(wb, tmp_path)
    again = velmo.load_workbook(str(first))
    again.active.conditional_formatting.add("B1", velmo.FormulaRule(["B1>0"]))
    second = tmp_path / "again.xlsx"
    again.save(str(second))
    got = blocks(second)
    assert [(s, [(r["type"], r["priority"]) for r in rules]) for s, rules in got] == [
        ("A1:A9", [("cellIs", "1")]), ("B1", [("expression", "2")])]
    assert got[0][1][0]["operator"] == "lessThan"
