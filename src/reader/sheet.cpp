#include "reader/sheet.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <unordered_map>
#include <utility>

#include "model/coords.hpp"
#include "model/formula_refs.hpp"
#include "model/temporal.hpp"
#include "reader/alternate_content.hpp"
#include "reader/carried_elements.hpp"
#include "reader/cell_key.hpp"
#include "reader/cf_reader.hpp"
#include "reader/ignorable.hpp"
#include "reader/namespaces.hpp"
#include "xml/hex_escapes.hpp"
#include "xml/number_parse.hpp"
#include "xml/tokenizer.hpp"
#include "xml/white_space.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::reader {

namespace {

// The grid's last row and column; a col span reaching past it is cut there.
using coords::kMaxCol;
using coords::kMaxRow;

// Row heights and column widths outside the grid, or not a finite, non-negative size, cannot be
// written back into any worksheet part: kept, they would make every save of the workbook fail.
bool usable_size(double size) { return std::isfinite(size) && size >= 0; }
// The shortest cell element, <c r="A1"/>, bounds how many cells a part can hold.
constexpr size_t kMinCellBytes = 11;
// Days from 1899-12-30 to 1904-01-01: a 1904-system serial plus this is a 1900-system serial.
constexpr double k1904Offset = 1462.0;

// Column widths (or formats) as disjoint spans, a later span overriding what it covers. Kept as
// spans while the part is read so that a file repeating a whole-grid col element costs a few map
// operations per element rather than one per column (16384 for each such element otherwise).
template <class V>
class ColumnSpans {
public:
    void assign(uint32_t lo, uint32_t hi, V width) {
        split_at(lo);
        split_at(hi + 1);
        spans_.erase(spans_.lower_bound(lo), spans_.upper_bound(hi));
        spans_.emplace(lo, Span{hi, width});
    }
    void expand_into(std::unordered_map<uint32_t, V>& widths) const {
        for (const auto& [lo, span] : spans_)
            for (uint64_t c = lo; c <= span.hi; ++c) widths[static_cast<uint32_t>(c)] = span.width;
    }

private:
    struct Span {
        uint32_t hi;
        V width;
    };
    // Cuts the span holding `at`, if it starts before it, into two that meet there.
    void split_at(uint64_t at) {
        auto it = spans_.upper_bound(static_cast<uint32_t>(std::min<uint64_t>(at, UINT32_MAX)));
        if (it == spans_.begin()) return;
        --it;
        if (it->first < at && it->second.hi >= at) {
            const Span right = it->second;
            it->second.hi = static_cast<uint32_t>(at - 1);
            spans_.emplace(static_cast<uint32_t>(at), right);
        }
    }
    std::map<uint32_t, Span> spans_;  // by first column
};

// Whether `doc` holds `word` at `at`: a comparison the cell path makes twice a cell, written so
// that it stays inline whatever else the reader holds.
inline bool holds_at(std::string_view doc, size_t at, std::string_view word) {
    return at <= doc.size() && doc.size() - at >= word.size() && std::memcmp(doc.data() + at, word.data(), word.size()) == 0;
}

// A child of the root that the model reads or the writer writes itself.
bool read_in_sheet(std::string_view local_name) { return !is_carried(sheet_child_of(local_name)); }

// How a cell's `t` attribute asks its `v` text to be read.
enum class CellType : uint8_t { Number, Bool, Shared, Str, IsoDate, InlineStr, Error };

CellType cell_type_of(std::string_view t) {
    if (t.size() == 1) {
        switch (t[0]) {
        case 'b': return CellType::Bool;
        case 's': return CellType::Shared;
        case 'd': return CellType::IsoDate;
        case 'e': return CellType::Error;
        default: return CellType::Number;
        }
    }
    if (t == "str") return CellType::Str;
    if (t == "inlineStr") return CellType::InlineStr;
    return CellType::Number;  // "n" and anything unknown
}

bool digits(std::string_view s, size_t at, size_t n, int& out) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

// An ISO 8601 text of a t="d" cell: "YYYY-MM-DD" gives a Date, with "Thh:mm[:ss[.fff]]" a
// DateTime, a time alone a Time; an optional trailing "Z". Fractions round to the millisecond,
// ties to even. None when the text is anything else or out of range.
std::optional<Value> parse_iso_temporal(std::string_view s) {
    using namespace std::chrono;
    if (!s.empty() && s.back() == 'Z') s.remove_suffix(1);
    size_t i = 0;
    std::optional<year_month_day> date;
    int y = 0, mo = 0, d = 0;
    if (digits(s, 0, 4, y) && s.size() >= 10 && s[4] == '-' && digits(s, 5, 2, mo) && s[7] == '-' &&
        digits(s, 8, 2, d)) {
        const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
        if (!ymd.ok() || y < 1) return std::nullopt;
        date = ymd;
        i = 10;
        if (i == s.size()) return Value{*date};
        if (s[i] != 'T' && s[i] != ' ') return std::nullopt;
        ++i;
    } else if (!s.empty() && s[0] == 'T') {
        i = 1;
    }
    int h = 0, mi = 0, sec = 0;
    if (!digits(s, i, 2, h) || i + 2 >= s.size() || s[i + 2] != ':' || !digits(s, i + 3, 2, mi)) return std::nullopt;
    i += 5;
    int64_t frac_ms = 0;
    if (i < s.size() && s[i] == ':') {
        if (!digits(s, i + 1, 2, sec)) return std::nullopt;
        i += 3;
        if (i < s.size() && s[i] == '.') {
            ++i;
            const size_t begin = i;
            int64_t nanos = 0;
            bool sticky = false;  // a non-zero digit past the nanoseconds
            for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
                if (i - begin < 9) nanos = nanos * 10 + (s[i] - '0');
                else if (s[i] != '0') sticky = true;
            }
            if (i == begin) return std::nullopt;
            for (size_t k = i - begin; k < 9; ++k) nanos *= 10;
            frac_ms = nanos / 1'000'000;
            const int64_t rest = nanos % 1'000'000;
            if (rest > 500'000 || (rest == 500'000 && (sticky || frac_ms % 2 == 1))) ++frac_ms;
        }
    }
    if (i != s.size() || h > 23 || mi > 59 || sec > 59) return std::nullopt;
    const int64_t ms = ((static_cast<int64_t>(h) * 60 + mi) * 60 + sec) * 1000 + frac_ms;
    if (!date) {
        const int64_t of_day = ms % temporal::kMillisPerDay;  // 23:59:59.9999 rounds to midnight
        return Value{TimeOfDay{static_cast<uint32_t>(of_day / 1000), static_cast<uint32_t>(of_day % 1000) * 1'000'000u}};
    }
    const sys_days day0{*date};
    const int64_t days_on = ms / temporal::kMillisPerDay;  // 1 when the rounding reached midnight
    const int64_t of_day = ms % temporal::kMillisPerDay;
    const year_month_day when{day0 + days{days_on}};
    if (int{when.year()} > 9999) return std::nullopt;
    return Value{DateTime{when, TimeOfDay{static_cast<uint32_t>(of_day / 1000),
                                          static_cast<uint32_t>(of_day % 1000) * 1'000'000u}}};
}

// `<f t="shared" si="N"/>` at `at`, the way the dependents of a shared formula are written: the
// group N, with `at` moved past the tag. None for anything else.
[[gnu::noinline]] std::optional<uint64_t> shared_dependent_at(std::string_view doc, size_t& at) {
    constexpr std::string_view kHead = "<f t=\"shared\" si=\"", kTail = "\"/>";
    if (doc.compare(at, kHead.size(), kHead) != 0) return std::nullopt;
    const size_t digits = at + kHead.size();
    const size_t end = doc.find('"', digits);
    if (end == std::string_view::npos || doc.compare(end, kTail.size(), kTail) != 0) return std::nullopt;
    const auto group = xml::parse_u64(doc.substr(digits, end - digits));
    if (group) at = end + kTail.size();
    return group;
}

class SheetReader {
public:
    SheetReader(std::string_view part, const SharedStrings& shared, const std::shared_ptr<const StyleSheet>& styles,
                const std::vector<std::optional<TemporalKind>>& kinds, bool date1904, SharedFormulaBudget* budget)
        : part_(part),
          tok_(part, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true}),
          shared_(shared),
          styles_(styles ? styles : empty_stylesheet()),
          kinds_(kinds),
          date1904_(date1904),
          own_budget_(SharedFormulaBudget::limit_for(part.size())),
          budget_(budget ? *budget : own_budget_) {}

    Result<ParsedSheet> run();

private:
    Result<void> on_start(bool empty);
    Result<void> on_end();
    Result<void> on_text();

    Result<void> open_cell();
    // The state of a cell just opened, what it held before forgotten.
    [[gnu::always_inline]] void begin_cell(uint64_t key_pos, uint64_t style, CellType type) {
        cell_open_ = true;
        key_.clear();
        key_pos_ = key_pos;
        style_ = style;
        type_ = type;
        value_ = std::monostate{};
        formula_text_.clear();
        in_inline_ = false;
        array_.reset();
        if (keeps_) {
            kept_ = {};
            keeps_ = false;
        }
    }
    // At a whole cell written the plain way, `<c r="B2" s="1" t="s"><v>text</v></c>` or `<c .../>`
    // (a canonical r, a style in digits, only r, s and t, ASCII values without references), or a
    // shared formula's dependent written `<c r="B3"><f t="shared" si="0"/><v>6</v></c>`: reads it
    // straight from the source and tells true; anything else is left to the events.
    Result<bool> read_plain_cell();
    // After an unprefixed <c> start tag: reads a rest of exactly "<v>text</v></c>", the shape of
    // nearly every cell, straight from the source; any other rest is left to the events.
    Result<void> read_plain_cell_rest();
    void close_cell();
    // Gives the cell being stored the array formula block read with it and what it keeps beside its
    // value (kept off the path of plain cells).
    [[gnu::noinline]] void attach_extras(Cell& cell);
    // A `vm` or `cm` attribute of the open cell.
    [[gnu::noinline]] Result<void> read_cell_meta(const xml::Attribute& a);
    // At the end of an inline string with runs or phonetic readings: keeps its item whole.
    [[gnu::noinline]] void keep_inline_item();
    // The open cell's position, when its reference names one.
    std::optional<coords::CellPos> cell_pos() const;
    // Reads the type, range and group of an `f` start tag of the open cell.
    Result<void> read_formula_attrs();
    // At the end of an `f`: its text, or a shared group's master moved here, becomes the value.
    Result<void> end_formula();
    // The open cell, a dependent of shared formula `group`, takes its master's text moved to it.
    // Fails once the dependents pass the workbook's budget.
    [[gnu::noinline]] Result<void> take_shared_formula(uint64_t group, coords::CellPos pos);
    void end_value(std::string_view text);
    // A number read as a cell's value: a date or time under a temporal style.
    void end_number(double number);
    // The value of a plain cell from its text as written.
    Result<void> end_plain_value(std::string_view raw, size_t offset);
    [[gnu::noinline]] void keep_error(std::string_view text) {
        if (xml::find_disallowed_char(text)) return;  // could not be written back
        kept_.error.assign(text);
        keeps_ = true;
    }
    [[gnu::noinline]] void keep_rich_item(uint64_t index) {
        kept_.rich_text = shared_.rich_item(index);
        if (kept_.rich_text) keeps_ = true;
    }
    // The value text of a plain cell, decoded (a view of the source when nothing needs decoding).
    Result<std::string_view> plain_value_text(std::string_view raw, size_t offset);
    Result<void> read_row();
    Result<void> read_col();
    // One attribute of a row (`custom_format` given) or a column into `format`; `style` receives the
    // style, `seen` marks the names read so far (the first of each counts).
    Result<void> read_line_format(const xml::Attribute& a, LineFormat& format, std::optional<uint32_t>& style,
                                  bool* custom_format, uint32_t& seen);
    Result<void> read_pane(const xml::Event& ev);
    // Keeps a child of the root that the model does not hold, reading the panes of sheet views.
    Result<void> carry_child(SheetChild kind);
    Result<void> read_panes(std::string_view views);
    Result<void> read_hyperlink();
    Result<void> read_auto_filter();
    void drop_replaced_auto_filters();
    Result<void> read_dimension();
    Result<void> read_conditional_formatting();
    Result<void> skip_subtree();

    std::string_view part_;
    xml::Tokenizer tok_;
    xml::Event ev_;
    const SharedStrings& shared_;
    std::shared_ptr<const StyleSheet> styles_;
    const std::vector<std::optional<TemporalKind>>& kinds_;
    bool date1904_;

    ParsedSheet out_;
    // Alternatives among the root's children are carried as they stand, unless they hold what the
    // model reads: carried, that would be written twice, and read from no branch.
    PartWalk walk_{tok_, {.whole_at = 2, .reads = read_in_sheet}};
    IgnorableLookup ignorable_;  // the root's ignorable namespaces
    bool root_read_ = false;
    PlainElements plain_items_;  // for inline strings kept whole
    std::string scratch_;
    ColumnSpans<double> column_spans_;
    ColumnSpans<LineFormat> column_formats_;
    SheetChild place_ = SheetChild::SheetPr;  // of the last child of the root the schema lists
    // Where the carried auto filter stands among the carried children, when the last one read
    // was kept; earlier ones are taken out once the part is read.
    std::optional<size_t> auto_filter_at_;
    bool auto_filters_replaced_ = false;
    bool zero_height_ = false;                // rows are hidden unless listed

    // The open cell.
    bool cell_open_ = false;
    std::string key_;       // the reference as written, when it is not in canonical form
    uint64_t key_pos_ = 0;  // the packed position of a canonical reference (0: none)
    uint64_t style_ = 0;
    CellType type_ = CellType::Number;
    Value value_;
    std::string formula_text_;

    // The open `f` element's attributes.
    enum class FormulaType : uint8_t { Normal, Shared, Array };
    FormulaType f_type_ = FormulaType::Normal;
    std::optional<uint64_t> f_group_;          // si of a shared formula
    std::optional<coords::RangePos> f_range_;  // ref, corners ordered
    std::optional<ArraySpan> array_;           // the open cell's array formula block
    // What the open cell keeps beside its value; `keeps_` tells whether any of it is set.
    KeptValue kept_;
    bool keeps_ = false;
    // The master of each shared formula group met so far: its text and cell.
    struct SharedMaster {
        std::string text;
        coords::CellPos pos;
    };
    std::unordered_map<uint64_t, SharedMaster> shared_masters_;
    SharedFormulaBudget own_budget_;  // when the caller gives none
    SharedFormulaBudget& budget_;     // what the dependents may still store
    std::string moved_;               // a dependent's text, built within the budget

    std::string value_text_;
    bool in_value_ = false;
    bool in_formula_ = false;
    bool in_inline_ = false;  // inside the `is` of an inline-string cell
    StringItemText inline_;
    size_t inline_start_ = 0;  // where the open `is` element starts in the part
    bool in_sheet_view_ = false;
    bool reserved_ = false;

    // Position of the last cell, for cells and rows written without a reference.
    uint32_t row_ = 0;  // 0: no row yet
    uint32_t col_ = 0;  // 0: no cell yet in this row
};

Result<ParsedSheet> SheetReader::run() {
    for (;;) {
        if (!in_value_ && !in_formula_ && !in_inline_ && walk_.at_content()) [[likely]] {
            auto plain = read_plain_cell();
            if (!plain) return fail(std::move(plain.error()));
            if (*plain) continue;
        }
        if (!tok_.next(ev_)) break;
        Result<void> r;
        switch (ev_.kind) {
        case xml::EventKind::Start: r = on_start(false); break;
        case xml::EventKind::Empty: r = on_start(true); break;
        case xml::EventKind::End: r = on_end(); break;
        case xml::EventKind::Text:
        case xml::EventKind::CData: r = on_text(); break;
        case xml::EventKind::Eof: break;
        }
        if (!r) return fail(std::move(r.error()));
    }
    if (!tok_.ok()) return fail(tok_.error());
    drop_replaced_auto_filters();
    column_spans_.expand_into(out_.worksheet.column_widths);
    column_formats_.expand_into(out_.worksheet.column_formats);
    out_.worksheet.loaded_freeze_panes = out_.worksheet.freeze_panes;
    // A cell still open at the end of the input is lost.
    return std::move(out_);
}

Result<void> SheetReader::on_start(bool empty) {
    if (in_inline_) {
        if (auto r = inline_.feed(ev_); !r) return r;
    }
    const std::string_view name = ev_.local_name;
    // The hot elements first, without a look at namespaces or alternatives while none is open.
    std::optional<PartWalk::Role> role;
    if (!walk_.at_content()) [[unlikely]] {
        role = walk_.see(ev_);
        if (*role == PartWalk::Role::PassedOver) return {};
    }
    if (name == "c") {
        if (auto r = open_cell(); !r) return r;
        if (empty) {
            close_cell();
            return {};
        }
        return read_plain_cell_rest();
    }
    if (name == "v") {
        if (!empty) {
            in_value_ = true;
            value_text_.clear();
        }
        return {};
    }
    if (name == "f") {
        if (!cell_open_) return {};
        if (auto r = read_formula_attrs(); !r) return r;
        formula_text_.clear();
        if (!empty) in_formula_ = true;
        else return end_formula();  // a shared group's dependent: <f t="shared" si="0"/>
        return {};
    }
    if (name == "row") return read_row();

    if (!role) role = walk_.see(ev_);
    if (*role == PartWalk::Role::PassedOver) return {};
    if (*role == PartWalk::Role::Whole) return carry_child(SheetChild::Other);
    // The depth the element counts at, as if the alternatives around it had never been written.
    const size_t at = walk_.level();
    if (at == 1 && !root_read_) {
        // The first root only: carried elements name the list's entries by position.
        root_read_ = true;
        out_.worksheet.ignorable = ignorable_namespaces(ev_, walk_.ns());
        ignorable_ = IgnorableLookup(out_.worksheet.ignorable);
    }
    if (at == 2) {
        const SheetChild kind = sheet_child_of(name);
        // An element out of its place that this reader acts on wherever it stands is read, not kept.
        const bool read_anywhere = kind == SheetChild::Other && (name == "is" || name == "t" || name == "col" ||
                                                                 name == "mergeCell" || name == "sheetView" ||
                                                                 name == "pane" || name == "hyperlink");
        if (is_carried(kind) && !read_anywhere) return carry_child(kind);
        if (kind != SheetChild::Other) place_ = kind;
    }
    Result<void> r;
    if (name == "is") {
        if (!empty && type_ == CellType::InlineStr && cell_open_) {
            in_inline_ = true;
            inline_.reset();
            inline_start_ = ev_.offset;
        }
    } else if (name == "col") {
        r = read_col();
    } else if (name == "mergeCell") {
        std::string scratch;
        auto ref = xml::attr_value(ev_, "ref", scratch);
        if (!ref) return fail(std::move(ref.error()));
        if (*ref) out_.worksheet.merged_ranges.emplace_back(**ref);
    } else if (name == "sheetView") {
        if (!empty) in_sheet_view_ = true;
    } else if (name == "pane") {
        if (in_sheet_view_) r = read_pane(ev_);
    } else if (name == "autoFilter") {
        // Only the worksheet's own filter: a custom view keeps a filter of its own.
        if (at == 2) r = read_auto_filter();
    } else if (name == "hyperlink") {
        r = read_hyperlink();
    } else if (name == "dimension") {
        r = read_dimension();
    } else if (name == "conditionalFormatting") {
        // A block inside an extension list has another shape (its range is a child element):
        // only the worksheet's own blocks are read.
        if (!empty) r = at == 2 ? read_conditional_formatting() : skip_subtree();
    }
    return r;
}

Result<void> SheetReader::on_end() {
    const std::string_view name = ev_.local_name;
    if (in_inline_) {
        if (name == "is") {
            in_inline_ = false;
            if (cell_open_ && inline_.marked_up()) keep_inline_item();
            if (cell_open_) value_ = inline_.take_text();
            return {};
        }
        if (auto r = inline_.feed(ev_); !r) return r;
    }
    if (name == "v") {
        in_value_ = false;
        if (cell_open_) end_value(value_text_);
        return {};
    }
    if (name == "c") {
        close_cell();
        return {};
    }
    if (name == "f") {
        in_formula_ = false;
        if (cell_open_) return end_formula();
        return {};
    }
    if (name == "row") return {};
    if (name == "sheetView") in_sheet_view_ = false;
    walk_.see(ev_);  // leaves what the element opened
    return {};
}

Result<void> SheetReader::on_text() {
    if (in_value_) return append_element_text(ev_, value_text_);
    if (in_formula_) return cell_open_ ? append_element_text(ev_, formula_text_) : Result<void>{};
    if (in_inline_) return inline_.feed(ev_);
    return {};
}

Result<void> SheetReader::open_cell() {
    // A new cell replaces one still open.
    begin_cell(0, 0, CellType::Number);

    // One pass over the attributes; the first of each name counts.
    bool seen_r = false, seen_s = false, seen_t = false;
    std::string_view r_text;
    xml::AttrIter it(ev_);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        if (a.name.size() != 1) {
            if (a.name.size() == 2 && a.name[1] == 'm')
                if (auto r = read_cell_meta(a); !r) return r;
            continue;
        }
        const char n = a.name[0];
        if ((n == 'r' && seen_r) || (n == 's' && seen_s) || (n == 't' && seen_t) || (n != 'r' && n != 's' && n != 't'))
            continue;
        auto v = xml::decode(a.value, scratch_, a.offset);
        if (!v) return fail(std::move(v.error()));
        if (n == 'r') {
            seen_r = true;
            key_.assign(*v);
            r_text = key_;
        } else if (n == 's') {
            seen_s = true;
            style_ = xml::parse_u64(*v).value_or(0);
        } else {
            seen_t = true;
            type_ = cell_type_of(*v);
        }
    }

    if (!r_text.empty()) {
        // Nearly every reference is canonical: its packed form is the key, and no text is kept.
        if (const auto packed = CellMap::canonical_key(r_text)) {
            key_pos_ = *packed;
            key_.clear();
            row_ = static_cast<uint32_t>(*packed >> 32);
            col_ = static_cast<uint32_t>(*packed);
        } else if (const auto pos = coords::parse_a1(r_text)) {
            row_ = pos->row;
            col_ = pos->col;
        }
        return {};
    }
    // No reference: the column after the row's previous cell.
    if (row_ == 0 || col_ == std::numeric_limits<uint32_t>::max()) return {};  // no position: dropped
    ++col_;
    key_pos_ = CellMap::pack(row_, col_);
    return {};
}

Result<bool> SheetReader::read_plain_cell() {
    const std::string_view doc = tok_.source();
    const size_t n = doc.size();
    size_t i = tok_.position();
    if (n - i < 4 || doc[i] != '<' || doc[i + 1] != 'c') return false;
    i += 2;
    std::string_view r, s, t;
    bool seen_r = false, seen_s = false, seen_t = false;
    for (;;) {
        if (i >= n) return false;
        if (doc[i] == '>' || doc[i] == '/') break;
        if (!xml::is_space(doc[i])) return false;  // "<col", "<cfRule", ...
        while (i < n && xml::is_space(doc[i])) ++i;
        if (i + 3 >= n) return false;
        if (doc[i] == '>' || doc[i] == '/') break;
        const char name = doc[i];
        bool* seen = name == 'r' ? &seen_r : name == 's' ? &seen_s : name == 't' ? &seen_t : nullptr;
        if (!seen || *seen || doc[i + 1] != '=' || (doc[i + 2] != '"' && doc[i + 2] != '\'')) return false;
        const char quote = doc[i + 2];
        const size_t begin = i + 3;
        const size_t end = doc.find(quote, begin);
        if (end == std::string_view::npos) return false;
        const std::string_view value = doc.substr(begin, end - begin);
        // A reference and a style are read below, and what reads as one is its own decoded form.
        if (name == 't')
            for (const char c : value)
                if (static_cast<unsigned char>(c) >= 0x80 || c == '&' || c == '<') return false;
        *seen = true;
        (name == 'r' ? r : name == 's' ? s : t) = value;
        i = end + 1;
    }
    const auto packed = CellMap::canonical_key(r);
    if (!packed) return false;
    const auto style = seen_s ? xml::parse_u64(s) : std::optional<uint64_t>(0);
    if (!style) return false;
    size_t after = 0;  // just past the element
    std::string_view text;
    bool has_value = false;
    std::optional<uint64_t> shared_group;  // the cell is a dependent of this shared formula
    if (doc[i] == '/') {
        if (i + 1 >= n || doc[i + 1] != '>') return false;
        after = i + 2;
    } else {
        constexpr std::string_view kOpen = "<v>", kClose = "</v></c>";
        size_t begin = i + 1;
        if (!holds_at(doc, begin, kOpen)) {
            shared_group = shared_dependent_at(doc, begin);
            if (!shared_group || !holds_at(doc, begin, kOpen)) return false;
        }
        const size_t lt = doc.find('<', begin + kOpen.size());
        if (lt == std::string_view::npos || !holds_at(doc, lt, kClose)) return false;
        text = doc.substr(begin + kOpen.size(), lt - begin - kOpen.size());
        has_value = true;
        after = lt + kClose.size();
        // The text's offset, for messages, is that of the events' text.
        i = begin + kOpen.size();
    }

    // What open_cell, the value's events and the cell's end would do.
    begin_cell(*packed, *style, seen_t ? cell_type_of(t) : CellType::Number);
    row_ = static_cast<uint32_t>(*packed >> 32);
    col_ = static_cast<uint32_t>(*packed);
    if (shared_group)  // then the cached value is dropped
        if (auto r = take_shared_formula(*shared_group, {col_, row_}); !r) return fail(std::move(r.error()));
    if (has_value)
        if (auto r = end_plain_value(text, i); !r) return fail(std::move(r.error()));
    close_cell();
    tok_.skip_complete(after);
    return true;
}

Result<void> SheetReader::read_plain_cell_rest() {
    constexpr std::string_view kOpen = "<v>", kClose = "</v></c>";
    if (ev_.name.size() != 1) return {};  // "x:c" ends with "</x:c>"
    const std::string_view doc = tok_.source();
    const size_t begin = tok_.position() + kOpen.size();
    if (!holds_at(doc, tok_.position(), kOpen)) return {};
    const size_t lt = doc.find('<', begin);
    if (lt == std::string_view::npos || !holds_at(doc, lt, kClose)) return {};
    // What the events would do: the value's text, its end, the cell's end.
    if (auto r = end_plain_value(doc.substr(begin, lt - begin), begin); !r) return r;
    close_cell();
    tok_.skip_to_close(lt + kClose.size());
    return {};
}

Result<void> SheetReader::end_plain_value(std::string_view raw, size_t offset) {
    // A number's text is its own decoded form: it is read as it stands, without the decoding pass.
    if (type_ == CellType::Number && !std::holds_alternative<Formula>(value_)) {
        if (const auto number = xml::parse_f64(raw)) {
            end_number(*number);
            return {};
        }
    }
    auto value = plain_value_text(raw, offset);
    if (!value) return fail(std::move(value.error()));
    end_value(*value);
    return {};
}

Result<std::string_view> SheetReader::plain_value_text(std::string_view raw, size_t offset) {
    // Printable ASCII without "&" is its own decoded, trimmed, valid UTF-8 form.
    bool simple = true;
    for (const char c : raw) simple &= c > ' ' && c < 0x7F && c != '&';
    if (simple) return raw;
    xml::Event text;
    text.kind = xml::EventKind::Text;
    text.raw = text.text = raw;
    text.offset = offset;
    value_text_.clear();
    if (auto r = append_element_text(text, value_text_); !r) return fail(std::move(r.error()));
    return std::string_view(value_text_);
}

void SheetReader::close_cell() {
    in_formula_ = false;
    in_inline_ = false;
    if (!cell_open_) return;
    cell_open_ = false;
    if (key_.empty() && key_pos_ == 0) return;
    if (!reserved_) {
        reserved_ = true;
        // No dimension element: a rough guess from the part's size, rehashing the rest.
        if (out_.worksheet.cells().empty()) out_.worksheet.reserve_cells(part_.size() / 64);
    }
    Cell cell(styles_);
    if (array_ || keeps_) attach_extras(cell);
    cell.value = std::move(value_);
    cell.style_index = style_;
    if (key_pos_) {
        out_.worksheet.put_cell(static_cast<uint32_t>(key_pos_ >> 32), static_cast<uint32_t>(key_pos_), std::move(cell));
    } else {
        out_.worksheet.put_cell(key_, std::move(cell));
    }
    key_.clear();
    key_pos_ = 0;
    value_ = std::monostate{};
}

void SheetReader::attach_extras(Cell& cell) {
    if (array_ && std::holds_alternative<Formula>(value_)) cell.extras_mut().array = *array_;
    array_.reset();
    if (!std::exchange(keeps_, false)) return;
    KeptValue kept = std::exchange(kept_, {});
    // Each part belongs to the value it came with: runs to a text, an error text to a cell left
    // without a value (a formula's cached error is not kept).
    if (!std::holds_alternative<Text>(value_)) kept.rich_text.reset();
    if (!is_empty(value_)) kept.error.clear();
    if (!kept.rich_text && kept.error.empty() && !kept.value_meta && !kept.cell_meta) return;
    cell.extras_mut().kept = std::move(kept);
}

Result<void> SheetReader::read_cell_meta(const xml::Attribute& a) {
    std::optional<uint32_t>* slot = a.name == "vm" ? &kept_.value_meta : a.name == "cm" ? &kept_.cell_meta : nullptr;
    if (!slot || *slot) return {};
    auto v = xml::decode(a.value, scratch_, a.offset);
    if (!v) return fail(std::move(v.error()));
    // An index that is not one refers to nothing: it is not kept.
    if (const auto index = xml::parse_u32(*v)) {
        *slot = *index;
        keeps_ = true;
    }
    return {};
}

void SheetReader::keep_inline_item() {
    const size_t end = ev_.offset + ev_.raw.size();
    kept_.rich_text = keep_string_item(part_.substr(inline_start_, end - inline_start_), walk_.ns(), plain_items_);
    if (kept_.rich_text) keeps_ = true;
}

std::optional<coords::CellPos> SheetReader::cell_pos() const {
    if (key_pos_) return coords::CellPos{static_cast<uint32_t>(key_pos_), static_cast<uint32_t>(key_pos_ >> 32)};
    return coords::parse_a1(key_);
}

Result<void> SheetReader::read_formula_attrs() {
    f_type_ = FormulaType::Normal;
    f_group_.reset();
    f_range_.reset();
    if (ev_.attrs.empty()) return {};
    bool seen_t = false, seen_si = false, seen_ref = false;
    xml::AttrIter it(ev_);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        bool* seen = a.name == "t" ? &seen_t : a.name == "si" ? &seen_si : a.name == "ref" ? &seen_ref : nullptr;
        if (!seen || *seen) continue;
        *seen = true;
        auto v = xml::decode(a.value, scratch_, a.offset);
        if (!v) return fail(std::move(v.error()));
        if (seen == &seen_t) {
            f_type_ = *v == "shared" ? FormulaType::Shared : *v == "array" ? FormulaType::Array : FormulaType::Normal;
        } else if (seen == &seen_si) {
            f_group_ = xml::parse_u64(*v);
        } else if (const auto range = coords::parse_range(*v)) {
            f_range_ = range->ordered();
        }
    }
    return {};
}

Result<void> SheetReader::end_formula() {
    const FormulaType type = std::exchange(f_type_, FormulaType::Normal);
    const auto pos = type == FormulaType::Normal ? std::nullopt : cell_pos();
    if (formula_text_.empty()) {
        if (type == FormulaType::Shared && f_group_ && pos) return take_shared_formula(*f_group_, *pos);
        return {};
    }
    if (type == FormulaType::Shared && f_group_ && pos) shared_masters_[*f_group_] = {formula_text_, *pos};
    if (type == FormulaType::Array && pos) {
        // The block starts at its own cell; a range that does not, or that leaves the grid, leaves
        // the array formula to its cell alone.
        array_ = ArraySpan{};
        const auto& r = f_range_;
        if (r && r->col1 == pos->col && r->row1 == pos->row && r->col2 <= kMaxCol && r->row2 <= kMaxRow)
            array_ = ArraySpan{r->row2 - r->row1 + 1, r->col2 - r->col1 + 1};
    }
    value_ = Formula{std::move(formula_text_)};
    formula_text_.clear();
    return {};
}

Result<void> SheetReader::take_shared_formula(uint64_t group, coords::CellPos pos) {
    // Without a master met before it, a dependent keeps the value cached in it.
    const auto master = shared_masters_.find(group);
    if (master == shared_masters_.end()) return {};
    const SharedMaster& m = master->second;
    // Each dependent holds its own text, the master's moved to it, and pays for it before it is
    // stored; the text is built no longer than what is left could pay for.
    const bool built = formula::move_references_within(m.text, int64_t{pos.row} - m.pos.row,
                                                       int64_t{pos.col} - m.pos.col, budget_.left(), moved_);
    if (!built || !budget_.take(SharedFormulaBudget::cost_of(moved_.size())))
        return fail(VelmoError::xml("shared formulas expand to more than " + std::to_string(budget_.limit()) + " bytes"));
    value_ = Formula{moved_};  // a copy of its own size: the scratch may have grown past it
    return {};
}

void SheetReader::end_value(std::string_view text) {
    if (std::holds_alternative<Formula>(value_)) return;  // a formula keeps no cached result
    switch (type_) {
    case CellType::Bool:
        value_ = text == "1";
        return;
    case CellType::Shared: {
        const auto index = xml::parse_u64(text);
        const Text* text = index ? shared_.find(*index) : nullptr;
        if (text) value_ = text->copy_unpublished();
        else value_ = std::monostate{};
        if (text && !shared_.rich.empty()) keep_rich_item(*index);
        return;
    }
    case CellType::Str:
        if (text.find('_') == std::string_view::npos) {
            value_ = Text(text);
        } else {
            std::string decoded(text);
            xml::decode_hex_escapes(decoded);
            value_ = Text(decoded);
        }
        return;
    case CellType::IsoDate:
        if (auto v = parse_iso_temporal(text)) value_ = std::move(*v);
        else value_ = std::monostate{};
        return;
    case CellType::Number:
    case CellType::InlineStr:
    case CellType::Error:
        break;
    }
    const auto number = xml::parse_f64(text);
    if (!number) {
        value_ = std::monostate{};
        if (type_ == CellType::Error && !text.empty()) keep_error(text);
        return;
    }
    end_number(*number);
}

void SheetReader::end_number(double number) {
    if (style_ < kinds_.size() && kinds_[style_]) {
        const TemporalKind kind = *kinds_[style_];
        double serial = number;
        if (date1904_ && (kind == TemporalKind::Date || kind == TemporalKind::DateTime)) serial += k1904Offset;
        if (auto v = temporal::from_excel_serial(serial, kind)) {
            value_ = std::move(*v);
            return;
        }
    }
    value_ = number;
}

Result<void> SheetReader::read_row() {
    std::optional<uint32_t> r;
    std::optional<double> ht;
    bool seen_r = false, seen_ht = false;
    LineFormat format;
    std::optional<uint32_t> style;
    bool custom_format = false;
    uint32_t seen_format = 0;  // a bit per format attribute: the first of each name counts
    xml::AttrIter it(ev_);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        const bool is_r = a.name == "r";
        if (is_r ? seen_r : (a.name != "ht" || seen_ht)) {
            if (!is_r) {
                if (auto ok = read_line_format(a, format, style, &custom_format, seen_format); !ok) return ok;
            }
            continue;
        }
        auto v = xml::decode(a.value, scratch_, a.offset);
        if (!v) return fail(std::move(v.error()));
        if (is_r) {
            seen_r = true;
            r = xml::parse_u32(*v);
        } else {
            seen_ht = true;
            ht = xml::parse_f64(*v);
        }
    }
    // A row without a usable number follows the previous one, for its height and format as for
    // its cells.
    if (r) row_ = *r;
    else if (row_ != std::numeric_limits<uint32_t>::max()) ++row_;
    else row_ = 0;
    col_ = 0;
    const bool placed = row_ >= 1 && row_ <= kMaxRow;
    if (placed && ht && usable_size(*ht)) out_.worksheet.row_heights[row_] = *ht;
    // A row's style applies only under customFormat.
    if (custom_format) format.style = style;
    format.listed = zero_height_ && !format.hidden;
    if (placed && !format.is_default()) out_.worksheet.row_formats[row_] = format;
    return {};
}

Result<void> SheetReader::read_col() {
    auto width = xml::attr_value(ev_, "width", scratch_);
    if (!width) return fail(std::move(width.error()));
    std::optional<double> w;
    if (*width) w = xml::parse_f64(**width);
    auto min = xml::attr_value(ev_, "min", scratch_);
    if (!min) return fail(std::move(min.error()));
    std::optional<uint32_t> lo;
    if (*min) lo = xml::parse_u32(**min);
    auto max = xml::attr_value(ev_, "max", scratch_);
    if (!max) return fail(std::move(max.error()));
    std::optional<uint32_t> hi;
    if (*max) hi = xml::parse_u32(**max);
    if (!lo || !hi) return {};
    const uint32_t first = std::max(*lo, 1u);
    const uint32_t last = std::min(*hi, kMaxCol);
    if (first > last) return {};

    LineFormat format;
    uint32_t seen_format = 0;
    xml::AttrIter it(ev_);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        if (auto ok = read_line_format(a, format, format.style, nullptr, seen_format); !ok) return ok;
    }
    if (!format.is_default()) column_formats_.assign(first, last, format);
    if (w && usable_size(*w)) column_spans_.assign(first, last, *w);
    return {};
}

Result<void> SheetReader::read_line_format(const xml::Attribute& a, LineFormat& format, std::optional<uint32_t>& style,
                                           bool* custom_format, uint32_t& seen) {
    // Rows name their style "s", columns "style"; best fit and phonetic belong to columns. Every
    // attribute of every row comes here, so the name is matched by its length first.
    static constexpr std::string_view kNames[] = {"hidden", "outlineLevel", "collapsed", "customFormat", "s",
                                                  "style",  "bestFit",      "phonetic"};
    size_t which = std::size(kNames);
    switch (a.name.size()) {
    case 1: which = 4; break;
    case 5: which = 5; break;
    case 6: which = 0; break;
    case 7: which = 6; break;
    case 8: which = 7; break;
    case 9: which = 2; break;
    case 12: which = a.name[0] == 'o' ? 1 : 3; break;
    default: return {};
    }
    const bool for_row = custom_format != nullptr;
    if (a.name != kNames[which] || (seen >> which & 1u) || (for_row ? which >= 5 : which == 3 || which == 4))
        return {};
    seen |= 1u << which;
    auto v = xml::decode(a.value, scratch_, a.offset);
    if (!v) return fail(std::move(v.error()));
    switch (which) {
    case 0: format.hidden = xml::parse_xml_bool(*v); break;
    case 1: {
        // Levels run 0 to 7; anything else is not a level.
        const auto level = xml::parse_u32(*v);
        format.outline_level = level && *level <= 7 ? static_cast<uint8_t>(*level) : 0;
        break;
    }
    case 2: format.collapsed = xml::parse_xml_bool(*v); break;
    case 3: *custom_format = xml::parse_xml_bool(*v); break;
    case 6: format.best_fit = xml::parse_xml_bool(*v); break;
    case 7: format.phonetic = xml::parse_xml_bool(*v); break;
    default: {
        // A style the style sheet lacks would point the saved part past its formats.
        const auto index = xml::parse_u32(*v);
        if (index && *index < styles_->cell_xfs.size()) style = *index;
        break;
    }
    }
    return {};
}

Result<void> SheetReader::read_pane(const xml::Event& ev) {
    auto state = xml::attr_value(ev, "state", scratch_);
    if (!state) return fail(std::move(state.error()));
    if (!*state || (**state != "frozen" && **state != "frozenSplit")) return {};
    auto top_left = xml::attr_string(ev, "topLeftCell");
    if (!top_left) return fail(std::move(top_left.error()));
    out_.worksheet.freeze_panes = coords::normalize_freeze_panes(*top_left);
    return {};
}

Result<void> SheetReader::carry_child(SheetChild kind) {
    if (kind == SheetChild::SheetFormatPr) {
        auto zero = xml::attr_value(ev_, "zeroHeight", scratch_);
        if (!zero) return fail(std::move(zero.error()));
        zero_height_ = *zero && xml::parse_xml_bool(**zero);
    }
    auto captured = capture_element(tok_, ev_, walk_.ns(), &ignorable_);
    if (!captured) return fail(std::move(captured.error()));
    if (kind == SheetChild::SheetViews)
        if (auto r = read_panes(captured->source); !r) return r;
    if (captured->element) {
        captured->element->kind = kind;
        captured->element->place = kind == SheetChild::Other ? place_ : kind;
        out_.worksheet.carried.push_back(std::move(*captured->element));
    }
    if (kind != SheetChild::Other) place_ = kind;
    return {};
}

// The frozen panes of the sheet views, as the events would have found them.
Result<void> SheetReader::read_panes(std::string_view views) {
    xml::Tokenizer tok(views, xml::TokenizerOptions{.trim_text = true, .allow_unclosed_at_eof = true, .fragment = true});
    xml::Event ev;
    bool in_view = false;
    while (tok.next(ev)) {
        if (ev.local_name == "sheetView") {
            in_view = ev.kind == xml::EventKind::Start;
        } else if (in_view && ev.is_tag() && ev.local_name == "pane") {
            if (auto r = read_pane(ev); !r) return r;
        }
    }
    return {};
}

// The range for the model, and the element whole (criteria, sort state, extensions) carried for
// a save that keeps that range. A later filter replaces an earlier one.
Result<void> SheetReader::read_auto_filter() {
    auto ref = xml::attr_string(ev_, "ref");
    if (!ref) return fail(std::move(ref.error()));
    if (!*ref) return {};
    Worksheet& ws = out_.worksheet;
    ws.auto_filter = *ref;
    ws.loaded_auto_filter = std::move(*ref);
    auto_filters_replaced_ = auto_filters_replaced_ || auto_filter_at_;
    const size_t before = ws.carried.size();
    if (auto r = carry_child(SheetChild::AutoFilter); !r) return r;
    auto_filter_at_ = ws.carried.size() > before ? std::optional(before) : std::nullopt;
    return {};
}

// A later filter replaces an earlier one: all but the last carried go, in one pass, so that a
// sheet of thousands of them costs no more than their number.
void SheetReader::drop_replaced_auto_filters() {
    if (!auto_filters_replaced_) return;
    std::vector<CarriedElement>& carried = out_.worksheet.carried;
    size_t kept = 0;
    for (size_t i = 0; i < carried.size(); ++i) {
        if (carried[i].kind == SheetChild::AutoFilter && i != auto_filter_at_) continue;
        if (kept != i) carried[kept] = std::move(carried[i]);
        ++kept;
    }
    carried.resize(kept);
}

Result<void> SheetReader::read_hyperlink() {
    auto ref = xml::attr_string(ev_, "ref");
    if (!ref) return fail(std::move(ref.error()));
    if (!*ref) return {};
    auto attached = attached_range(**ref);
    if (!attached) return {};
    RawHyperlink link;
    link.cell_ref = std::move(attached->key);
    link.rows = attached->rows;
    link.cols = attached->cols;
    for (std::string_view ns : {kRelationshipsNs, kStrictRelationshipsNs}) {
        auto id = walk_.ns().attr(ev_, ns, "id");
        if (!id) return fail(std::move(id.error()));
        if (*id) {
            link.rel_id = std::move(*id);
            break;
        }
    }
    // A file that never declares its "r" prefix still means the relationship id by "r:id".
    if (!link.rel_id && !walk_.ns().uri_of("r")) {
        auto id = xml::attr_string(ev_, "r:id");
        if (!id) return fail(std::move(id.error()));
        link.rel_id = std::move(*id);
    }
    for (auto [name, slot] : {std::pair{"location", &link.location}, std::pair{"tooltip", &link.tooltip},
                              std::pair{"display", &link.display}}) {
        auto v = xml::attr_string(ev_, name);
        if (!v) return fail(std::move(v.error()));
        *slot = std::move(*v);
    }
    out_.hyperlinks.push_back(std::move(link));
    return {};
}

// The dimension sizes the cell map before the first cell arrives; the part's size caps the
// guess, so a dimension claiming the whole grid reserves nothing absurd.
Result<void> SheetReader::read_dimension() {
    if (reserved_) return {};
    auto ref = xml::attr_value(ev_, "ref", scratch_);
    if (!ref) return fail(std::move(ref.error()));
    if (!*ref) return {};
    const auto range = coords::parse_range(**ref);
    if (!range) return {};
    const auto box = range->ordered();
    const uint64_t area = (uint64_t{box.row2} - box.row1 + 1) * (uint64_t{box.col2} - box.col1 + 1);
    out_.worksheet.reserve_cells(static_cast<size_t>(std::min<uint64_t>(area, part_.size() / kMinCellBytes)));
    reserved_ = true;
    return {};
}

Result<void> SheetReader::read_conditional_formatting() {
    std::span<const Dxf> dxfs = styles_->dxfs;
    auto block = parse_conditional_formatting(tok_, ev_, dxfs, walk_.ns());
    if (!block) return fail(std::move(block.error()));
    out_.worksheet.conditional_formatting.push_back(std::move(*block));
    return {};
}

Result<void> SheetReader::skip_subtree() {
    if (!tok_.skip_element()) return fail(tok_.error());
    return {};
}

}  // namespace

std::vector<std::optional<TemporalKind>> temporal_kinds_by_style(const StyleSheet& styles) {
    std::vector<std::optional<TemporalKind>> kinds;
    kinds.reserve(styles.cell_xfs.size());
    for (size_t i = 0; i < styles.cell_xfs.size(); ++i) kinds.push_back(styles.temporal_kind(i));
    return kinds;
}

Result<ParsedSheet> parse_sheet(std::string_view part, const SharedStrings& shared_strings,
                                const std::shared_ptr<const StyleSheet>& stylesheet,
                                const std::vector<std::optional<TemporalKind>>& temporal_kinds, bool date1904,
                                SharedFormulaBudget* budget) {
    return SheetReader(part, shared_strings, stylesheet, temporal_kinds, date1904, budget).run();
}

}  // namespace velmo::reader
