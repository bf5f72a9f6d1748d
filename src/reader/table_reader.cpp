#include "reader/table_reader.hpp"

#include <optional>
#include <string>

#include "reader/alternate_content.hpp"
#include "xml/hex_escapes.hpp"
#include "xml/number_parse.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

namespace {

// The attribute look-ups of one tag, sharing a scratch buffer; the first error sticks.
class Attrs {
public:
    explicit Attrs(const xml::Event& ev) : ev_(ev) {}

    std::optional<std::string_view> get(std::string_view name) {
        if (error_) return std::nullopt;
        auto v = xml::attr_value(ev_, name, scratch_);
        if (!v) {
            error_ = std::move(v.error());
            return std::nullopt;
        }
        return *v;
    }
    std::optional<std::string> text(std::string_view name) {
        auto v = get(name);
        return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
    }
    bool flag(std::string_view name) {
        auto v = get(name);
        return v && xml::parse_xml_bool(*v);
    }
    const std::optional<VelmoError>& error() const { return error_; }

private:
    const xml::Event& ev_;
    std::string scratch_;
    std::optional<VelmoError> error_;
};

}  // namespace

Result<Table> parse_table_xml(std::string_view doc) {
    Table table;
    // A part cut short keeps what was read, as the worksheet reader does.
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.allow_unclosed_at_eof = true});
    PartWalk walk(tok);
    xml::Event ev;
    while (walk.next(ev)) {
        if (!ev.is_tag()) continue;
        Attrs a(ev);
        if (ev.local_name == "table") {
            if (auto v = a.get("id")) table.id = xml::parse_u32(*v).value_or(0);
            if (auto v = a.text("name")) table.name = std::move(*v);
            if (auto v = a.text("displayName")) table.display_name = std::move(*v);
            if (auto v = a.text("ref")) table.ref_range = std::move(*v);
            if (auto v = a.get("headerRowCount")) table.header_row_count = xml::parse_u32(*v).value_or(1);
        } else if (ev.local_name == "tableColumn") {
            TableColumn column;
            if (auto v = a.get("id")) column.id = xml::parse_u32(*v).value_or(0);
            if (auto v = a.text("name")) {
                column.name = std::move(*v);
                xml::decode_hex_escapes(column.name);
            }
            table.columns.push_back(std::move(column));
        } else if (ev.local_name == "tableStyleInfo") {
            TableStyleInfo style;
            if (auto v = a.text("name")) style.name = std::move(*v);
            style.show_first_column = a.flag("showFirstColumn");
            style.show_last_column = a.flag("showLastColumn");
            style.show_row_stripes = a.flag("showRowStripes");
            style.show_column_stripes = a.flag("showColumnStripes");
            table.style_info = std::move(style);
        } else {
            continue;
        }
        if (a.error()) return fail(*a.error());
    }
    if (!tok.ok()) return fail(tok.error());
    return table;
}

}  // namespace velmo::reader
