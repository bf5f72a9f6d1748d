#pragma once
// Reading a sheet's legacy drawing (VML): the note shapes that give each cell comment its box,
// and everything beside them that a save writes back with them (the shape layout, the shape
// types, form controls and other shapes). VML written by desktop applications is often not
// well-formed XML, so it is read loosely (xml/loose_markup.hpp): an element that cannot be read
// whole is left out, and reading never fails.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "model/note_boxes.hpp"

namespace velmo::reader {

// Offsets [begin, end) into a text.
struct TextSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// A shape whose client data is a note.
struct DrawingNote {
    std::string_view xml;                 // the element, from its start tag to its end tag
    uint32_t row = 0;                     // x:Row and x:Column: its cell, zero-based
    uint32_t col = 0;
    TextSpan row_text, col_text;          // their contents, in xml
    std::optional<TextSpan> anchor_text;  // x:Anchor's content
    std::optional<NoteAnchor> anchor;     // its eight numbers, when it reads as such
    std::optional<TextSpan> id;           // the value of the shape's id attribute
    std::string_view type;                // the value of its type attribute ("#_x0000_t202"), raw
};

// Any other element of the drawing: a form control, a picture, a group.
struct DrawingShape {
    std::string_view xml;
    std::vector<std::string_view> types;  // the type attributes of the shapes in it, raw
    std::vector<std::string_view> ids;    // their id and o:spid attributes, raw
};

struct DrawingShapeType {
    std::string_view id;  // raw
    std::string_view xml;
};

struct LegacyDrawing {
    std::string_view head;          // from the start of the part to the end of the root's start tag
    std::string_view root_name;     // for its end tag
    std::string_view shape_layout;  // the o:shapelayout element; empty when there is none
    uint32_t first_id_block = 1;    // the first number of its o:idmap data: shape ids start at 1024 times it
    std::vector<DrawingShapeType> shape_types;
    std::vector<DrawingShape> shapes;
    std::vector<DrawingNote> notes;  // those with a readable row and column, in document order
};

// Reads the children of the drawing's root; the result's views are into `vml`. None when the
// drawing has no root start tag to write its children under.
std::optional<LegacyDrawing> parse_legacy_drawing(std::string_view vml);

// The eight comma-separated numbers of an anchor text, white space around each allowed.
std::optional<NoteAnchor> parse_note_anchor(std::string_view text);

}  // namespace velmo::reader
