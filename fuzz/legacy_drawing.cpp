// A legacy drawing read loosely, then written again for a sheet whose comments were loaded on its
// notes' cells and then moved: whatever the input, the drawing written reads back with one note
// per comment, on its cell.

#include <cstdint>
#include <memory>

#include "fuzz_support.hpp"
#include "model/workbook.hpp"
#include "writer/cell_order.hpp"
#include "writer/legacy_drawing_part.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo;
    auto kept = std::make_unique<writer::KeptDrawing>();
    kept->text.assign(reinterpret_cast<const char*>(data), size);
    kept->drawing = reader::parse_legacy_drawing(kept->text);
    if (!kept->drawing) return 0;
    const std::string_view text = kept->text;
    const auto inside = [&](std::string_view part) {
        return part.empty() || (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
    };
    FUZZ_CHECK(inside(kept->drawing->head) && inside(kept->drawing->shape_layout));
    for (const auto& s : kept->drawing->shapes) FUZZ_CHECK(inside(s.xml));
    for (const auto& n : kept->drawing->notes) {
        FUZZ_CHECK(inside(n.xml));
        for (const auto& span : {n.row_text, n.col_text, n.anchor_text.value_or(reader::TextSpan{}), n.id.value_or(reader::TextSpan{})})
            FUZZ_CHECK(span.begin <= span.end && span.end <= n.xml.size());
    }

    Worksheet ws("S");
    ws.legacy_drawing = SourceDrawing{.part = "xl/drawings/vmlDrawing1.vml"};
    for (const auto& n : kept->drawing->notes) {
        if (n.row >= 1048575 || n.col >= 16383) continue;
        ws.set_cell_comment(coords::rc_to_a1(n.row + 1, n.col + 1), Comment{"n", "a", coords::CellPos{n.col + 1, n.row + 1}});
    }
    ws.set_cell_comment("A1", Comment{"new", "b"});
    if (!ws.insert_rows(1, 1) || !ws.insert_cols(1, 1)) return 0;
    auto order = writer::order_sheet_cells(ws);
    if (!order) return 0;
    const std::string out = writer::write_vml_drawing(*order, kept.get(), ws.legacy_drawing->edits);
    const auto again = reader::parse_legacy_drawing(out);
    FUZZ_CHECK(again);
    size_t comments = 0;
    for (const auto& oc : *order) {
        if (!oc.cell->comment()) continue;
        ++comments;
        bool found = false;
        for (const auto& n : again->notes) found = found || (n.row == oc.row() - 1 && n.col == oc.col() - 1);
        FUZZ_CHECK(found);
    }
    FUZZ_CHECK(again->notes.size() == comments);
    return 0;
}
