#pragma once
// One stored cell: its value, its style and the rarely used extras.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "model/boxed.hpp"
#include "model/comments.hpp"
#include "model/hyperlink.hpp"
#include "model/styles.hpp"
#include "model/value.hpp"

namespace velmo {

// The one immutable empty style sheet shared by every cell made through the API.
const std::shared_ptr<const StyleSheet>& empty_stylesheet();

// The block an array formula fills: from its own cell, this many rows down and columns right.
struct ArraySpan {
    uint32_t rows = 1;
    uint32_t cols = 1;
    bool operator==(const ArraySpan&) const = default;
};

// What a loaded cell holds beside its value that the model does not interpret, kept as the source
// wrote it so that a save gives it back. It belongs to the value: a new value drops it.
struct KeptValue {
    // A text with runs of its own formatting or a phonetic reading: the whole string item as the
    // source wrote it, an `si` element ready for the shared strings part. Cells reading one item
    // share it. The cell's value is the item's plain text.
    std::shared_ptr<const std::string> rich_text;
    std::string error;                   // a literal error value ("#N/A"); the cell's value is Empty
    std::optional<uint32_t> value_meta;  // `vm`: the value's entry in the workbook's metadata (a picture in the cell)
    std::optional<uint32_t> cell_meta;   // `cm`: the cell's entry there (a dynamic array formula)
};

// The rarely used parts of a cell, kept out of line so a plain cell stays small.
struct CellExtras {
    CellExtras() = default;
    CellExtras(const CellExtras&) = default;
    CellExtras& operator=(const CellExtras&) = default;
    // Out of line, so that the destructor of every Cell stays small enough to inline.
    ~CellExtras();

    // Boxed: a cell with rich text or an error value pays for none of these.
    Boxed<Font> font;  // own font override
    Boxed<Fill> fill;  // own fill override
    Boxed<Comment> comment;
    Boxed<Hyperlink> hyperlink;
    std::optional<ArraySpan> array;  // only on a Formula value; a new value drops it
    std::optional<KeptValue> kept;   // a new value drops it
    bool empty() const { return !font && !fill && !comment && !hyperlink && !array && !kept; }
};

// One stored cell. Its coordinate is the key it is stored under (kept once, in the map).
struct Cell {
    Value value;
    uint64_t style_index = 0;                 // index into stylesheet->cell_xfs
    std::shared_ptr<const StyleSheet> stylesheet = empty_stylesheet();  // never null
    std::unique_ptr<CellExtras> extras;       // null for nearly every cell

    Cell() = default;
    // A cell of that style sheet, without touching the shared empty one (the reader's hot path).
    explicit Cell(std::shared_ptr<const StyleSheet> sheet) : stylesheet(std::move(sheet)) {}
    Cell(Cell&&) noexcept = default;
    Cell& operator=(Cell&&) noexcept = default;
    Cell(const Cell& o)
        : value(o.value), style_index(o.style_index), stylesheet(o.stylesheet),
          extras(o.extras ? std::make_unique<CellExtras>(*o.extras) : nullptr) {}
    Cell& operator=(const Cell& o) {
        if (this != &o) *this = Cell(o);
        return *this;
    }

    const Font* font() const { return extras && extras->font ? &*extras->font : nullptr; }
    const Fill* fill() const { return extras && extras->fill ? &*extras->fill : nullptr; }
    const Comment* comment() const { return extras && extras->comment ? &*extras->comment : nullptr; }
    const Hyperlink* hyperlink() const { return extras && extras->hyperlink ? &*extras->hyperlink : nullptr; }
    const ArraySpan* array() const { return extras && extras->array ? &*extras->array : nullptr; }
    const KeptValue* kept() const { return extras && extras->kept ? &*extras->kept : nullptr; }
    CellExtras& extras_mut() {
        if (!extras) extras = std::make_unique<CellExtras>();
        return *extras;
    }
};

}  // namespace velmo
