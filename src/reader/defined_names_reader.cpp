#include "reader/defined_names_reader.hpp"

#include <utility>

#include "model/coords.hpp"
#include "reader/alternate_content.hpp"
#include "reader/raw_element.hpp"
#include "xml/number_parse.hpp"
#include "xml/utf8.hpp"

namespace velmo::reader {

namespace {

constexpr std::string_view kDefinedName = "definedName";
constexpr std::string_view kPrintArea = "_xlnm.Print_Area";
constexpr std::string_view kPrintTitles = "_xlnm.Print_Titles";
constexpr std::string_view kReservedPrefix = "_xlnm.";

VelmoError utf8_failure(std::string_view bytes) {
    return VelmoError::invalid_format(xml::utf8_error_message(*xml::check_utf8(bytes)));
}

bool all_of(std::string_view s, bool (*pred)(char)) {
    if (s.empty()) return false;
    for (const char c : s)
        if (!pred(c)) return false;
    return true;
}
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The flags of a name whose default is off. Some producers write every one of them on every name
// (function="false" vbProcedure="false"); stated off, they say nothing the model lacks.
bool is_default_off_flag(std::string_view name) {
    return name == "function" || name == "vbProcedure" || name == "xlm" || name == "publishToServer" ||
           name == "workbookParameter";
}

std::optional<PrintTitles> parse_print_titles(std::uint64_t sheet, std::string_view text) {
    PrintTitles titles{sheet, std::nullopt, std::nullopt};
    for (const std::string& whole : defined_names::split_top_level_csv(coords::trim_ws(text))) {
        std::string_view piece = coords::trim_ws(whole);
        if (piece.empty()) continue;
        if (const auto bang = piece.rfind('!'); bang != std::string_view::npos)
            piece = coords::trim_ws(piece.substr(bang + 1));
        const auto colon = piece.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view left = piece.substr(0, colon);
        std::string_view right = piece.substr(colon + 1);
        if (left.starts_with('$')) left.remove_prefix(1);
        if (right.starts_with('$')) right.remove_prefix(1);
        // Built from the sides without their "$", so a half-absolute span ("A:$B") cannot come
        // out as "$A:$$B", which no spreadsheet would read back.
        const std::string span = std::string(left) + ':' + std::string(right);
        if (all_of(left, is_ascii_digit) && all_of(right, is_ascii_digit))
            titles.rows = coords::make_absolute_line_range(span);
        else if (all_of(left, is_ascii_letter) && all_of(right, is_ascii_letter))
            titles.cols = coords::make_absolute_line_range(span);
    }
    if (!titles.rows && !titles.cols) return std::nullopt;
    return titles;
}

// The modelled route: a workbook- or sheet-scope name.
Result<DefinedName> read_modelled(xml::Tokenizer& tok, const xml::Event& tag, std::string name) {
    DefinedName dn;
    dn.name = std::move(name);
    std::string scratch;
    auto comment = xml::attr_value(tag, "comment", scratch);
    if (!comment) return fail(comment.error());
    if (*comment) dn.comment = std::string(**comment);
    auto hidden = xml::attr_value(tag, "hidden", scratch);
    if (!hidden) return fail(hidden.error());
    dn.hidden = *hidden && xml::parse_xml_bool(**hidden);
    if (tag.kind == xml::EventKind::Start) {
        auto value = read_defined_name_text(tok);
        if (!value) return fail(value.error());
        dn.value = std::move(*value);
    }
    return dn;
}

}  // namespace

std::optional<std::uint64_t> parse_sheet_index(std::string_view text) { return xml::parse_u64(text); }

Result<std::string> read_defined_name_text(xml::Tokenizer& tok) {
    std::string text;
    std::string scratch;
    xml::Event ev;
    for (;;) {
        if (!tok.next(ev)) {
            if (!tok.ok()) return fail(tok.error());
            return fail(VelmoError::invalid_format("unterminated <definedName> text"));
        }
        switch (ev.kind) {
        case xml::EventKind::Text: {
            auto decoded = xml::decode(ev.raw, scratch, ev.offset);
            if (!decoded) return fail(decoded.error());
            text.append(*decoded);
            break;
        }
        case xml::EventKind::CData:
            if (xml::check_utf8(ev.text)) return fail(utf8_failure(ev.text));
            xml::append_normalized_line_ends(text, ev.text);
            break;
        case xml::EventKind::End:
            if (ev.local_name == kDefinedName) return text;
            break;
        default:
            break;
        }
    }
}

Result<DefinedNameScope> classify_defined_name_scope(const xml::Event& tag, std::uint64_t sheet_count) {
    bool has_name = false;
    bool has_sheet = false;
    std::optional<std::uint64_t> sheet;
    std::string scratch;
    xml::AttrIter it(tag);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(more.error());
        if (!*more) break;
        if (a.name == "name") {
            auto value = xml::decode(a.value, scratch, a.offset);
            if (!value) return fail(value.error());
            if (value->starts_with(kReservedPrefix)) return DefinedNameScope::raw();
            has_name = true;
        } else if (a.name == "localSheetId") {
            auto value = xml::decode(a.value, scratch, a.offset);
            if (!value) return fail(value.error());
            has_sheet = true;
            sheet = parse_sheet_index(*value);
        } else if (is_default_off_flag(a.name)) {
            auto value = xml::decode(a.value, scratch, a.offset);
            if (!value) return fail(value.error());
            if (*value != "false" && *value != "0") return DefinedNameScope::raw();
        } else if (a.name != "comment" && a.name != "hidden") {
            return DefinedNameScope::raw();
        }
    }
    if (!has_name) return DefinedNameScope::raw();
    if (!has_sheet) return DefinedNameScope::workbook();
    if (sheet && *sheet < sheet_count) return DefinedNameScope::in_sheet(*sheet);
    return DefinedNameScope::raw();
}

Result<WorkbookDefinedNames> parse_workbook_defined_names(std::string_view doc, std::uint64_t sheet_count) {
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true});
    PartWalk walk(tok);
    WorkbookDefinedNames out;
    std::string scratch;
    xml::Event ev;

    auto capture = [&](const xml::Event& tag) -> Result<void> {
        auto raw = capture_raw_element(tok, walk.ns(), tag);
        if (!raw) return fail(raw.error());
        out.raw.push_back(std::move(*raw));
        return {};
    };

    auto handle = [&](const xml::Event& tag) -> Result<void> {
        auto name_attr = xml::attr_string(tag, "name");
        if (!name_attr) return fail(name_attr.error());
        auto sheet_attr = xml::attr_value(tag, "localSheetId", scratch);
        if (!sheet_attr) return fail(sheet_attr.error());
        // (A plain index and flag rather than an optional: g++ 12 misreads the latter here.)
        std::uint64_t sheet = 0;
        bool usable_sheet = false;
        if (*sheet_attr) {
            if (const auto index = parse_sheet_index(**sheet_attr)) {
                sheet = *index;
                usable_sheet = true;
            }
        }

        const bool print_name = *name_attr && (**name_attr == kPrintArea || **name_attr == kPrintTitles);
        if (print_name && usable_sheet) {
            // A self-closing print setting holds nothing to apply.
            if (tag.kind == xml::EventKind::Empty) return {};
            if (sheet >= sheet_count) return capture(tag);
            auto text = read_defined_name_text(tok);
            if (!text) return fail(text.error());
            if (**name_attr == kPrintArea) {
                const std::string area = defined_names::strip_sheet_prefix_multi(coords::trim_ws(*text));
                if (!area.empty()) out.print.areas.push_back({sheet, defined_names::make_absolute_area_range(area)});
            } else if (auto titles = parse_print_titles(sheet, *text)) {
                out.print.titles.push_back(std::move(*titles));
            }
            return {};
        }

        auto scope = classify_defined_name_scope(tag, sheet_count);
        if (!scope) return fail(scope.error());
        if (scope->kind == DefinedNameScope::Kind::Raw) return capture(tag);
        auto name = read_modelled(tok, tag, std::move(**name_attr));
        if (!name) return fail(name.error());
        if (scope->kind == DefinedNameScope::Kind::Workbook)
            out.workbook_names.insert(std::move(*name));
        else
            out.sheet_names.push_back({scope->sheet, std::move(*name)});
        return {};
    };

    while (walk.next(ev)) {
        if (ev.is_tag() && ev.local_name == kDefinedName)
            if (auto r = handle(ev); !r) return fail(r.error());
    }
    if (!tok.ok()) return fail(tok.error());
    return out;
}

void apply_defined_names(Workbook& wb, WorkbookDefinedNames names) {
    auto& sheets = wb.sheets;
    for (auto& area : names.print.areas) {
        if (area.sheet >= sheets.size()) continue;
        sheets[area.sheet].print_area_text = coords::normalize_print_setting(std::move(area.area));
    }
    for (auto& titles : names.print.titles) {
        if (titles.sheet >= sheets.size()) continue;
        Worksheet& ws = sheets[titles.sheet];
        ws.print_title_rows = titles.rows ? coords::normalize_print_setting(std::move(titles.rows)) : std::nullopt;
        ws.print_title_cols = titles.cols ? coords::normalize_print_setting(std::move(titles.cols)) : std::nullopt;
    }
    for (auto& entry : names.sheet_names) {
        if (entry.sheet >= sheets.size()) continue;
        sheets[entry.sheet].defined_names.insert(std::move(entry.name));
    }
    wb.defined_names = std::move(names.workbook_names);
    wb.raw_defined_names = std::move(names.raw);
}

}  // namespace velmo::reader
