#include "reader/defined_names_reader.hpp"

#include <utility>

#include "model/coords.hpp"
#include "reader/namespaces.hpp"
#include "reader/xml/numbers.hpp"
#include "reader/xml/utf8.hpp"

namespace velmo::reader {

namespace {

constexpr std::string_view kDefinedName = "definedName";
constexpr std::string_view kPrintArea = "_xlnm.Print_Area";
constexpr std::string_view kPrintTitles = "_xlnm.Print_Titles";
constexpr std::string_view kReservedPrefix = "_xlnm.";

VelmoError utf8_failure(std::string_view bytes) {
    return VelmoError::invalid_format(xml::utf8_error_message(*xml::check_utf8(bytes)));
}

// The namespace bindings in force, kept in step with the tokenizer's open elements. Bindings only
// matter to the raw capture, so a tag whose attributes do not scan simply binds what it could.
struct Scopes {
    NamespaceScope ns;
    std::size_t depth = 0;

    void enter(const xml::Event& ev) {
        (void)ns.push(ev);
        ++depth;
    }
    void sync(std::size_t open) {
        while (depth > open) {
            ns.pop();
            --depth;
        }
    }
};

bool all_of(std::string_view s, bool (*pred)(char)) {
    if (s.empty()) return false;
    for (const char c : s)
        if (!pred(c)) return false;
    return true;
}
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

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

void escape_attr(std::string_view value, std::string& out) {
    for (const char c : value) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
}

// Writes a raw definedName element back from its events. The text is later appended inside the
// workbook part the writer regenerates, whose root binds only the main namespace (as default)
// and "r" (relationships); so a prefix bound to the main namespace is dropped from element names,
// and any other prefix bound outside the element gets its declaration carried on the element.
// Everything else is kept as it stood.
class RawCapture {
public:
    RawCapture(xml::Tokenizer& tok, Scopes& scopes) : tok_(tok), scopes_(scopes) {}

    // `root` is the definedName tag just read (and entered into the scopes).
    Result<std::string> run(const xml::Event& root) {
        const std::string_view src = tok_.source();
        open_tag(root);
        write_tag(root);
        root_name_end_ = 1 + element_name(root.name).size();
        std::size_t done = root.offset + root.raw.size();
        if (root.kind == xml::EventKind::Start) {
            std::size_t depth = 1;
            xml::Event ev;
            while (depth > 0) {
                if (!tok_.next(ev)) {
                    if (!tok_.ok()) return fail(tok_.error());
                    return fail(VelmoError::invalid_format("unterminated <definedName> element"));
                }
                // Comments and processing instructions are skipped by the tokenizer: they are
                // what lies between two events.
                out_.append(src.substr(done, ev.offset - done));
                done = ev.offset + ev.raw.size();
                switch (ev.kind) {
                case xml::EventKind::Start:
                case xml::EventKind::Empty:
                    scopes_.enter(ev);
                    open_tag(ev);
                    write_tag(ev);
                    if (ev.kind == xml::EventKind::Start) {
                        if (ev.local_name == kDefinedName) ++depth;
                    } else {
                        close_tag();
                    }
                    break;
                case xml::EventKind::End:
                    out_ += "</";
                    out_.append(element_name(ev.name));
                    out_ += '>';
                    close_tag();
                    if (ev.local_name == kDefinedName) --depth;
                    break;
                default:
                    out_.append(ev.raw);
                    break;
                }
                scopes_.sync(tok_.depth());
            }
        }
        if (!carried_.empty()) {
            std::string decls;
            for (const auto& [prefix, uri] : carried_) {
                decls += " xmlns:";
                decls += prefix;
                decls += "=\"";
                escape_attr(uri, decls);
                decls += '"';
            }
            out_.insert(root_name_end_, decls);
        }
        if (xml::check_utf8(out_)) return fail(utf8_failure(out_));
        return std::move(out_);
    }

private:
    struct Binding {
        std::string prefix;  // empty for the default namespace
        std::string uri;
    };

    // Records the declarations a tag of the element makes, then the prefixes it uses.
    void open_tag(const xml::Event& ev) {
        marks_.push_back(inner_.size());
        xml::AttrIter it(ev);
        xml::Attribute a;
        std::string scratch;
        std::vector<std::string_view> used;
        for (;;) {
            auto more = it.next(a);
            if (!more || !*more) break;
            if (a.name == "xmlns" || a.name.starts_with("xmlns:")) {
                auto uri = xml::decode(a.value, scratch, a.offset);
                inner_.push_back({std::string(a.name == "xmlns" ? std::string_view{} : a.name.substr(6)),
                                  uri ? std::string(*uri) : std::string(a.value)});
            } else if (const auto p = xml::prefix_of(a.name); !p.empty()) {
                used.push_back(p);
            }
        }
        for (const auto p : used) need(p);
        drops_.push_back(decide_drop(ev.name));
    }

    void close_tag() {
        if (marks_.empty()) return;
        inner_.resize(marks_.back());
        marks_.pop_back();
        drops_.pop_back();
    }

    void write_tag(const xml::Event& ev) {
        out_ += '<';
        out_.append(element_name(ev.name));
        out_.append(ev.raw.substr(1 + ev.name.size()));
    }

    // The element name as written out: for the innermost open tag's name, its drop decision.
    std::string_view element_name(std::string_view qname) const {
        if (!drops_.empty() && drops_.back()) return xml::local_name_of(qname);
        return qname;
    }

    // The binding of `prefix` at this point: whether it is declared inside the element, and its URI.
    std::pair<bool, std::optional<std::string_view>> resolve(std::string_view prefix) const {
        for (auto it = inner_.rbegin(); it != inner_.rend(); ++it)
            if (it->prefix == prefix) return {true, std::string_view(it->uri)};
        if (prefix.empty()) return {false, std::nullopt};
        return {false, scopes_.ns.uri_of(prefix)};
    }

    bool decide_drop(std::string_view qname) {
        const auto p = xml::prefix_of(qname);
        if (p.empty() || p == "xml") return false;
        const auto [inside, uri] = resolve(p);
        if (inside || !uri) return false;
        // An unprefixed name lands in the default namespace in force: the writer's main one,
        // unless the element itself declares another.
        const auto [def_inside, def_uri] = resolve({});
        const bool default_is_main = !def_inside || is_spreadsheet_main_ns(*def_uri);
        if (is_spreadsheet_main_ns(*uri) && default_is_main) return true;
        need(p);
        return false;
    }

    // Makes sure a prefix used in the element stays bound once the element is moved.
    void need(std::string_view prefix) {
        if (prefix == "xml" || prefix == "xmlns") return;
        const auto [inside, uri] = resolve(prefix);
        if (inside || !uri) return;
        if (prefix == "r" && *uri == kRelationshipsNs) return;  // the writer's root binds it
        for (const auto& c : carried_)
            if (c.first == prefix) return;
        carried_.emplace_back(std::string(prefix), std::string(*uri));
    }

    xml::Tokenizer& tok_;
    Scopes& scopes_;
    std::string out_;
    std::size_t root_name_end_ = 0;
    std::vector<Binding> inner_;
    std::vector<std::size_t> marks_;
    std::vector<bool> drops_;
    std::vector<std::pair<std::string, std::string>> carried_;
};

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
    Scopes scopes;
    WorkbookDefinedNames out;
    std::string scratch;
    xml::Event ev;

    auto capture = [&](const xml::Event& tag) -> Result<void> {
        auto raw = RawCapture(tok, scopes).run(tag);
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

    while (tok.next(ev)) {
        if (ev.is_tag()) {
            scopes.enter(ev);
            if (ev.local_name == kDefinedName) {
                if (auto r = handle(ev); !r) return fail(r.error());
            }
        }
        scopes.sync(tok.depth());
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
