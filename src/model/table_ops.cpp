// Adding, removing and finding the tables of a worksheet, and naming a new table's columns from its header row.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/ascii.hpp"
#include "model/coords.hpp"
#include "model/number_text.hpp"
#include "model/quoted.hpp"
#include "model/workbook.hpp"

namespace velmo {

namespace {

// Wider than the sheet grid: such a span cannot be a real table's header row.
constexpr uint64_t kMaxTableColumns = 16'384;

template <class Int>
void append_dec(std::string& out, Int v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

// Zero-padded to `width` digits.
void append_padded(std::string& out, uint64_t v, int width) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    for (int i = static_cast<int>(res.ptr - buf); i < width; ++i) out.push_back('0');
    out.append(buf, res.ptr);
}

void append_date(std::string& out, const Date& d) {
    const int y = static_cast<int>(d.year());
    if (y >= 0 && y <= 9999) {
        append_padded(out, static_cast<uint64_t>(y), 4);
    } else {
        out.push_back(y < 0 ? '-' : '+');
        append_padded(out, static_cast<uint64_t>(y < 0 ? -int64_t{y} : int64_t{y}), 4);
    }
    out.push_back('-');
    append_padded(out, static_cast<unsigned>(d.month()), 2);
    out.push_back('-');
    append_padded(out, static_cast<unsigned>(d.day()), 2);
}

void append_time(std::string& out, const TimeOfDay& t) {
    uint32_t secs = t.secs, nanos = t.nanos;
    uint32_t second = secs % 60;
    if (nanos >= 1'000'000'000) {  // a leap second shows as second 60
        nanos -= 1'000'000'000;
        second += 1;
    }
    append_padded(out, secs / 3600, 2);
    out.push_back(':');
    append_padded(out, secs / 60 % 60, 2);
    out.push_back(':');
    append_padded(out, second, 2);
    if (nanos != 0) {
        out.push_back('.');
        if (nanos % 1'000'000 == 0)
            append_padded(out, nanos / 1'000'000, 3);
        else if (nanos % 1'000 == 0)
            append_padded(out, nanos / 1'000, 6);
        else
            append_padded(out, nanos, 9);
    }
}

void append_duration(std::string& out, const Duration& d) {
    if (d.secs == 0 && d.nanos == 0) {
        out += "P0D";
        return;
    }
    // Magnitude of secs + nanos/1e9 where nanos is the non-negative remainder (-1.5 s is -2 s + 0.5 s).
    uint64_t mag_secs;
    uint32_t mag_nanos;
    if (d.secs < 0) {
        out.push_back('-');
        const uint64_t neg = uint64_t(0) - static_cast<uint64_t>(d.secs);  // |secs|, INT64_MIN included
        if (d.nanos == 0) {
            mag_secs = neg;
            mag_nanos = 0;
        } else {
            mag_secs = neg - 1;
            mag_nanos = 1'000'000'000 - d.nanos;
        }
    } else {
        mag_secs = static_cast<uint64_t>(d.secs);
        mag_nanos = d.nanos;
    }
    out += "PT";
    append_dec(out, mag_secs);
    if (mag_nanos != 0) {
        std::string frac;
        append_padded(frac, mag_nanos, 9);
        while (frac.back() == '0') frac.pop_back();
        out.push_back('.');
        out += frac;
    }
    out.push_back('S');
}

// The names of one table's columns, compared without regard to ASCII case.
class ColumnNames {
public:
    explicit ColumnNames(size_t n) { taken_.reserve(n); }

    // Marks a name as used.
    void hold(std::string_view name) { taken_.emplace(ascii_lower(name), 0); }

    // `base`, or, while that is used, `base` followed by the clash counter of the name it hit
    // (bumped first, and appended to `base`, not to the candidate); the result is then used.
    std::string claim(std::string base) {
        std::string candidate = base;
        std::string lowered = ascii_lower(candidate);
        for (auto it = taken_.find(lowered); it != taken_.end(); it = taken_.find(lowered)) {
            ++it->second;
            candidate = base;
            append_dec(candidate, it->second);
            lowered = ascii_lower(candidate);
        }
        taken_.emplace(std::move(lowered), 0);
        return candidate;
    }

private:
    std::unordered_map<std::string, uint32_t> taken_;  // lower-cased name -> clash counter
};

// The column name a table's header cell shows, as far as it can be known here: a text; TRUE or
// FALSE; a number in the General format, while that format would show it in full (at most 11
// characters). None for an empty cell or text, and for what a number format or a calculation would
// decide (dates, times, formulas, formatted numbers): the column keeps its name.
std::optional<std::string> header_text(const Cell& cell) {
    switch (kind_of(cell.value)) {
    case ValueKind::String: {
        const Text& text = std::get<Text>(cell.value);
        if (text.empty()) return std::nullopt;
        return text.str();
    }
    case ValueKind::Bool: return std::string(std::get<bool>(cell.value) ? "TRUE" : "FALSE");
    case ValueKind::Number: {
        const auto& xfs = cell.stylesheet->cell_xfs;
        if (cell.style_index < xfs.size() && xfs[cell.style_index].num_fmt_id != 0) return std::nullopt;
        const double v = std::get<double>(cell.value);
        if (!std::isfinite(v)) return std::nullopt;
        std::string text;
        append_number_text(text, v);
        if (text.size() > 11) return std::nullopt;
        return text;
    }
    default: return std::nullopt;
    }
}

}  // namespace

namespace table {

std::string value_to_header(const Value& value) {
    std::string out;
    switch (kind_of(value)) {
    case ValueKind::Empty: break;
    case ValueKind::String: out = std::get<Text>(value).view(); break;
    case ValueKind::Number: append_number_text(out, std::get<double>(value)); break;
    case ValueKind::Bool: out = std::get<bool>(value) ? "TRUE" : "FALSE"; break;
    case ValueKind::Date: append_date(out, std::get<Date>(value)); break;
    case ValueKind::DateTime: {
        const auto& dt = std::get<DateTime>(value);
        append_date(out, dt.date);
        out.push_back(' ');
        append_time(out, dt.time);
        break;
    }
    case ValueKind::Time: append_time(out, std::get<TimeOfDay>(value)); break;
    case ValueKind::Duration: append_duration(out, std::get<Duration>(value)); break;
    case ValueKind::Formula: out = std::get<Formula>(value).text; break;
    }
    return out;
}

std::vector<TableColumn> derive_columns_from_header(const Worksheet& ws, std::string_view range) {
    std::vector<TableColumn> columns;
    auto r = coords::parse_range(range);
    if (!r || r->col1 > r->col2) return columns;
    const uint32_t c1 = r->col1, c2 = r->col2, header_row = r->row1;
    const uint64_t width = uint64_t{c2} - c1 + 1;
    // add_table refuses such spans first; this keeps a direct call from allocating billions of columns.
    if (width > kMaxTableColumns) return columns;
    columns.reserve(width);

    ColumnNames taken(width);
    std::string ref;
    for (uint64_t i = 1; i <= width; ++i) {
        const uint32_t c = static_cast<uint32_t>(c1 + (i - 1));
        ref.clear();
        coords::append_a1(ref, header_row, c);
        std::string base;
        if (const Cell* cell = ws.find_cell(ref)) base = value_to_header(cell->value);
        if (base.empty()) {
            base = "Column";
            append_dec(base, i);
        }
        columns.push_back(TableColumn{taken.claim(std::move(base)), static_cast<uint32_t>(i)});
    }
    return columns;
}

std::optional<std::vector<TableColumn>> columns_named_by_header(const Worksheet& ws, const Table& table) {
    if (table.header_row_count == 0 || table.columns.empty()) return std::nullopt;
    const auto r = coords::parse_range(table.ref_range);
    if (!r || r->col1 > r->col2) return std::nullopt;
    // The header row as derivation reads it; columns past the range's width have no header cell.
    const size_t n = std::min<uint64_t>(table.columns.size(), uint64_t{r->col2} - r->col1 + 1);
    std::vector<std::optional<std::string>> headers(n);
    bool differs = false;
    for (size_t i = 0; i < n; ++i) {
        const Cell* cell = ws.find_cell(r->row1, static_cast<uint32_t>(r->col1 + i));
        auto text = cell ? header_text(*cell) : std::nullopt;
        if (text && *text != table.columns[i].name) {
            headers[i] = std::move(text);
            differs = true;
        }
    }
    if (!differs) return std::nullopt;

    // The columns that keep their names hold them; a renamed one that would repeat a name of the
    // table (ASCII case ignored) is numbered as derivation numbers a repeated header.
    std::vector<TableColumn> columns = table.columns;
    ColumnNames taken(columns.size());
    for (size_t i = 0; i < columns.size(); ++i)
        if (i >= n || !headers[i]) taken.hold(columns[i].name);
    for (size_t i = 0; i < n; ++i)
        if (headers[i]) columns[i].name = taken.claim(std::move(*headers[i]));
    if (columns == table.columns) return std::nullopt;
    return columns;
}

}  // namespace table

Result<void> Worksheet::add_table(Table table) {
    for (const SheetTable& st : tables)
        if (table_names_equal(st.table.display_name, table.display_name))
            return fail(VelmoError::duplicate_table_name(table.display_name));
    auto r = coords::parse_range(table.ref_range);
    if (!r || r->col1 > r->col2)
        return fail(VelmoError::invalid_format("table ref_range " + quoted(table.ref_range) +
                                               " does not parse to at least one column"));
    if (table.name.empty()) table.name = table.display_name;
    if (table.columns.empty()) {
        const uint64_t width = uint64_t{r->col2} - r->col1 + 1;
        if (width > kMaxTableColumns) {
            std::string msg = "table ref_range " + quoted(table.ref_range) + " spans ";
            append_dec(msg, width);
            msg += " columns; at most ";
            append_dec(msg, kMaxTableColumns);
            msg += " are allowed";
            return fail(VelmoError::invalid_format(std::move(msg)));
        }
        table.columns = table::derive_columns_from_header(*this, table.ref_range);
    }
    tables.push_back(SheetTable{std::move(table), std::nullopt});
    return {};
}

std::optional<SheetTable> Worksheet::remove_table(std::string_view display_name) {
    for (auto it = tables.begin(); it != tables.end(); ++it) {
        if (!table_names_equal(it->table.display_name, display_name)) continue;
        SheetTable removed = std::move(*it);
        tables.erase(it);
        return removed;
    }
    return std::nullopt;
}

Table* Worksheet::table_mut(std::string_view display_name) {
    for (SheetTable& st : tables) {
        if (!table_names_equal(st.table.display_name, display_name)) continue;
        // Marked on look-up: the writer then regenerates the part instead of copying the bytes read.
        if (st.raw) st.raw->modified = true;
        return &st.table;
    }
    return nullptr;
}

const Table* Worksheet::find_table(std::string_view display_name) const {
    for (const SheetTable& st : tables)
        if (table_names_equal(st.table.display_name, display_name)) return &st.table;
    return nullptr;
}

}  // namespace velmo
