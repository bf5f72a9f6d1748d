#include "reader/legacy_drawing.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <unordered_map>

#include "xml/loose_markup.hpp"
#include "xml/number_parse.hpp"
#include "xml/white_space.hpp"

namespace velmo::reader {

namespace {

using namespace std::literals;

using xml::EventKind;
using xml::LooseTag;

// HTML's line break, which VML text boxes leave open.
bool is_void(std::string_view local) {
    return local.size() == 2 && (local[0] == 'b' || local[0] == 'B') && (local[1] == 'r' || local[1] == 'R');
}

// The VML elements that are shapes: their types and ids matter to the rest of the drawing.
bool is_shape_element(std::string_view local) {
    if (local.size() < 3) return false;
    switch (local.front()) {
    case 's': return local == "shape"sv;
    case 'r': return local == "rect"sv || local == "roundrect"sv;
    case 'o': return local == "oval"sv;
    case 'l': return local == "line"sv;
    case 'p': return local == "polyline"sv;
    case 'c': return local == "curve"sv;
    case 'a': return local == "arc"sv;
    case 'i': return local == "image"sv;
    case 'g': return local == "group"sv;
    default: return false;
    }
}

constexpr std::string_view kShapeAttrs[] = {"type", "id"};

std::optional<uint32_t> parse_trimmed_u32(std::string_view text) { return xml::parse_u32(xml::trim_space(text)); }

// The top-level child of the root being read.
class Child {
public:
    Child(std::string_view doc, LegacyDrawing& out) : doc_(doc), out_(&out) {}

    void start(const LooseTag& t) {
        *this = Child(doc_, *out_);
        begin_ = t.begin;
        local_ = t.local_name;
        if (local_ == "shapetype"sv) shape_type_id_ = xml::loose_attr(t.attrs, "id").value_or(std::string_view{});
    }

    // A start or self-closing tag inside the child (the child's own first).
    void tag(const LooseTag& t, bool top) {
        if (is_shape_element(t.local_name)) {
            std::optional<std::string_view> attrs[std::size(kShapeAttrs)];  // type, id
            xml::loose_attrs(t.attrs, kShapeAttrs, attrs);
            if (top) {
                // Kept apart from the inner shapes', so that a note costs no list; its o:spid is
                // looked up only for a shape that is not a note.
                top_type_ = attrs[0];
                top_id_ = attrs[1];
                top_tag_attrs_ = t.attrs;
                if (attrs[0]) note_.type = *attrs[0];
                if (attrs[1]) note_.id = span_of(*attrs[1]);
                return;
            }
            if (attrs[0]) types_.push_back(*attrs[0]);
            if (attrs[1]) ids_.push_back(*attrs[1]);
            if (const auto spid = xml::loose_attr(t.attrs, "o:spid")) ids_.push_back(*spid);
            return;
        }
        if (t.local_name == "idmap"sv && local_ == "shapelayout"sv) {
            const std::string_view data = xml::loose_attr(t.attrs, "data").value_or(std::string_view{});
            if (const auto first = parse_trimmed_u32(data.substr(0, data.find(','))); first && *first > 0)
                first_id_block_ = *first;
            return;
        }
        if (t.local_name == "ClientData"sv) {
            in_client_data_ = t.kind == EventKind::Start;
            if (local_ == "shape"sv) is_note_ = xml::loose_attr(t.attrs, "ObjectType") == "Note"sv;
            return;
        }
        if (in_client_data_ && t.kind == EventKind::Start && !field_) {
            if (t.local_name == "Row"sv || t.local_name == "Column"sv || t.local_name == "Anchor"sv) {
                field_ = t.local_name;
                field_begin_ = t.end;
            }
        }
    }

    void end_tag(const LooseTag& t) {
        if (t.local_name == "ClientData"sv) {
            in_client_data_ = false;
            field_.reset();  // one left open holds nothing readable
        }
        if (!field_ || t.local_name != *field_) return;
        const TextSpan span{field_begin_ - begin_, t.begin - begin_};
        const std::string_view text = doc_.substr(field_begin_, t.begin - field_begin_);
        if (*field_ == "Row"sv && !row_) {
            row_ = parse_trimmed_u32(text);
            note_.row_text = span;
        } else if (*field_ == "Column"sv && !col_) {
            col_ = parse_trimmed_u32(text);
            note_.col_text = span;
        } else if (*field_ == "Anchor"sv && !note_.anchor_text) {
            note_.anchor_text = span;
            note_.anchor = parse_note_anchor(text);
        }
        field_.reset();
    }

    void finish(std::size_t end) {
        const std::string_view xml = doc_.substr(begin_, end - begin_);
        if (local_ == "shapelayout"sv) {
            if (out_->shape_layout.empty()) {
                out_->shape_layout = xml;
                out_->first_id_block = first_id_block_;
            }
        } else if (local_ == "shapetype"sv) {
            out_->shape_types.push_back({shape_type_id_, xml});
        } else if (is_note_) {
            // A note whose cell cannot be read is left out: no comment can claim it.
            if (!row_ || !col_) return;
            note_.xml = xml;
            note_.row = *row_;
            note_.col = *col_;
            out_->notes.push_back(std::move(note_));
        } else {
            if (top_type_) types_.push_back(*top_type_);
            for (const auto& id : {top_id_, xml::loose_attr(top_tag_attrs_, "o:spid")})
                if (id) ids_.push_back(*id);
            out_->shapes.push_back({xml, std::move(types_), std::move(ids_)});
        }
    }

private:
    TextSpan span_of(std::string_view value) const {
        const std::size_t at = static_cast<std::size_t>(value.data() - doc_.data()) - begin_;
        return {at, at + value.size()};
    }

    std::string_view doc_;
    LegacyDrawing* out_;
    std::size_t begin_ = 0;
    std::string_view local_;
    std::string_view shape_type_id_;
    uint32_t first_id_block_ = 1;
    bool in_client_data_ = false;
    bool is_note_ = false;
    std::optional<std::string_view> field_;  // Row, Column or Anchor, while its content is read
    std::size_t field_begin_ = 0;
    std::optional<uint32_t> row_, col_;
    DrawingNote note_;
    std::optional<std::string_view> top_type_, top_id_;
    std::string_view top_tag_attrs_;
    std::vector<std::string_view> types_, ids_;  // of the shapes inside
};

}  // namespace

std::optional<NoteAnchor> parse_note_anchor(std::string_view text) {
    NoteAnchor out{};
    for (size_t i = 0; i < out.size(); ++i) {
        const size_t comma = i + 1 < out.size() ? text.find(',') : text.size();
        if (comma == std::string_view::npos) return std::nullopt;
        const auto n = parse_trimmed_u32(text.substr(0, comma));
        if (!n) return std::nullopt;
        out[i] = *n;
        text.remove_prefix(std::min(text.size(), comma + 1));
    }
    return out;
}

std::optional<LegacyDrawing> parse_legacy_drawing(std::string_view vml) {
    xml::LooseMarkup markup(vml);
    LooseTag t;
    if (!markup.next(t) || t.kind != EventKind::Start) return std::nullopt;
    LegacyDrawing out;
    out.head = vml.substr(0, t.end);
    out.root_name = t.name;

    // Elements open below the root. An end tag closes the innermost element of its name and every
    // element left open inside it; one that closes nothing open is ignored. How many of each name
    // are open tells that without a search, which stray end tags below many open elements would
    // make quadratic.
    std::vector<std::string_view> open;
    std::unordered_map<std::string_view, size_t> open_count;
    Child child(vml, out);
    while (markup.next(t)) {
        if (t.kind == EventKind::End) {
            if (open.empty()) {
                if (t.name == out.root_name) break;
                continue;
            }
            const auto count = open_count.find(t.name);
            if (count == open_count.end() || count->second == 0) continue;
            child.end_tag(t);
            // Each element closed here was pushed once: the walk costs no more than the pushes.
            for (;;) {
                const std::string_view closed = open.back();
                open.pop_back();
                --open_count[closed];
                if (closed == t.name) break;
            }
            if (open.empty()) child.finish(t.end);
            continue;
        }
        const bool top = open.empty();
        if (top) child.start(t);
        child.tag(t, top);
        if (t.kind == EventKind::Empty || is_void(t.local_name)) {
            if (top) child.finish(t.end);
        } else {
            open.push_back(t.name);
            ++open_count[t.name];
        }
    }
    return out;
}

}  // namespace velmo::reader
