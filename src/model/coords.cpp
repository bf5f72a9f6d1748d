#include "model/coords.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "model/defined_names.hpp"
#include "model/utf8.hpp"

namespace velmo::coords {

namespace {

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

constexpr bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
constexpr char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Longest column name: 4294967295 is "MWLQKWU".
constexpr size_t kMaxColumnLetters = 7;

// Writes the letters of `column` (>= 1) backwards so that they end just before `end`; returns
// where they start. At most kMaxColumnLetters bytes are written.
char* column_letters(uint32_t column, char* end) {
    char* pos = end;
    uint32_t c = column;
    while (true) {
        const uint32_t m = c - 1;
        *--pos = static_cast<char>('A' + m % 26);
        if (m < 26) break;
        c = m / 26;
    }
    return pos;
}

void check_domain(uint32_t row, uint32_t column) {
    // Callers take their numbers from parse_a1 or validated arguments; a 0 here is a bug upstream,
    // surfaced as an internal failure rather than a malformed key.
    if (row == 0) throw std::invalid_argument("row must be 1-based");
    if (column == 0) throw std::invalid_argument("col must be 1-based");
}

bool all_of(std::string_view s, bool (*pred)(char)) {
    return std::all_of(s.begin(), s.end(), pred);
}

}  // namespace

RangePos RangePos::ordered() const {
    return {std::min(col1, col2), std::min(row1, row2), std::max(col1, col2), std::max(row1, row2)};
}

std::optional<CellPos> parse_a1(std::string_view text) {
    const size_t n = text.size();
    size_t i = 0;
    uint64_t col = 0;
    while (i < n && is_ascii_letter(text[i])) {
        col = col * 26 + static_cast<uint64_t>(ascii_upper(text[i]) - 'A' + 1);
        if (col > kU32Max) return std::nullopt;
        ++i;
    }
    if (i == 0) return std::nullopt;
    if (i < n && text[i] == '+') ++i;
    const size_t digits = i;
    uint64_t row = 0;
    while (i < n && is_ascii_digit(text[i])) {
        row = row * 10 + static_cast<uint64_t>(text[i] - '0');
        if (row > kU32Max) return std::nullopt;
        ++i;
    }
    if (i == digits || i != n || row == 0) return std::nullopt;
    return CellPos{static_cast<uint32_t>(col), static_cast<uint32_t>(row)};
}

std::optional<RangePos> parse_range(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        auto cell = parse_a1(trim_ws(text));
        if (!cell) return std::nullopt;
        return RangePos{cell->col, cell->row, cell->col, cell->row};
    }
    auto first = parse_a1(trim_ws(text.substr(0, colon)));
    if (!first) return std::nullopt;
    auto second = parse_a1(trim_ws(text.substr(colon + 1)));
    if (!second) return std::nullopt;
    return RangePos{first->col, first->row, second->col, second->row};
}

std::string column_name(uint32_t column) {
    if (column == 0) return {};
    char buf[kMaxColumnLetters];
    char* end = buf + kMaxColumnLetters;
    const char* start = column_letters(column, end);
    return std::string(start, static_cast<size_t>(end - start));
}

std::optional<uint32_t> column_number(std::string_view letters) {
    if (letters.empty()) return std::nullopt;
    uint64_t n = 0;
    for (const char c : letters) {
        if (!is_ascii_letter(c)) return std::nullopt;
        n = n * 26 + static_cast<uint64_t>(ascii_upper(c) - 'A' + 1);
        if (n > kU32Max) return std::nullopt;
    }
    return static_cast<uint32_t>(n);
}

std::string rc_to_a1(uint32_t row, uint32_t column) {
    std::string out;
    append_a1(out, row, column);
    return out;
}

void append_a1(std::string& out, uint32_t row, uint32_t column) {
    char buf[kMaxA1Size];
    out.append(buf, write_a1(buf, row, column));
}

char* write_a1(char* out, uint32_t row, uint32_t column) {
    check_domain(row, column);
    char* const letters_end = write_column_name(out, column);
    return std::to_chars(letters_end, out + kMaxA1Size, row).ptr;
}

char* write_column_name(char* out, uint32_t column) {
    char letters[kMaxColumnLetters];
    const char* start = column_letters(column, letters + kMaxColumnLetters);
    const size_t n = static_cast<size_t>(letters + kMaxColumnLetters - start);
    std::memcpy(out, start, n);
    return out + n;
}

std::string make_cell_absolute(std::string_view text) {
    if (text.empty() || text.front() == '$') return std::string(text);
    const auto digit = std::find_if(text.begin(), text.end(), is_ascii_digit);
    if (digit == text.end() || digit == text.begin()) return std::string(text);
    const size_t at = static_cast<size_t>(digit - text.begin());
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('$');
    out.append(text.substr(0, at));
    out.push_back('$');
    out.append(text.substr(at));
    return out;
}

std::string make_absolute_range(std::string_view text) {
    if (text.find('$') != std::string_view::npos) return std::string(text);
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return make_cell_absolute(text);
    const std::string_view head = text.substr(0, colon);
    const std::string_view tail = text.substr(colon + 1);
    // Only the head decides: a row span ("1:3", an empty head too) or a column span ("A:C").
    if (all_of(head, is_ascii_digit) || all_of(head, is_ascii_letter)) {
        std::string out;
        out.reserve(text.size() + 2);
        out.push_back('$');
        out.append(head);
        out.append(":$");
        out.append(tail);
        return out;
    }
    std::string out = make_cell_absolute(head);
    out.push_back(':');
    out.append(make_cell_absolute(tail));
    return out;
}

std::string make_absolute_line_range(std::string_view text) {
    if (text.empty() || text.front() == '$') return std::string(text);
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('$');
    out.append(text.substr(0, colon));
    out.append(":$");
    out.append(text.substr(colon + 1));
    return out;
}

std::optional<std::string> normalize_freeze_panes(const std::optional<std::string>& setting) {
    if (!setting) return std::nullopt;
    const std::string_view trimmed = trim_ws(*setting);
    if (trimmed.empty()) return std::nullopt;
    std::string upper(trimmed);
    for (char& c : upper) c = ascii_upper(c);
    // A pane whose top-left cell is A1 freezes nothing.
    if (upper == "A1") return std::nullopt;
    if (!parse_a1(upper)) return std::nullopt;
    return upper;
}

std::optional<std::string> normalize_print_setting(const std::optional<std::string>& setting) {
    if (!setting) return std::nullopt;
    const std::string_view trimmed = trim_ws(*setting);
    if (trimmed.empty()) return std::nullopt;
    // Commas inside a quoted sheet title ("'Q1,Q2'!A1:B2") do not separate ranges.
    const std::vector<std::string> pieces = defined_names::split_top_level_csv(trimmed);
    std::string out;
    bool any = false;
    for (const std::string& raw : pieces) {
        std::string_view piece = trim_ws(raw);
        if (piece.empty()) continue;
        // The last "!" ends the sheet prefix, quoted or not.
        if (const size_t bang = piece.rfind('!'); bang != std::string_view::npos) piece = piece.substr(bang + 1);
        piece = trim_ws(piece);
        if (piece.empty()) continue;
        if (any) out.push_back(',');
        out.append(make_absolute_range(piece));
        any = true;
    }
    if (!any) return std::nullopt;
    return out;
}

std::string_view trim_ws(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end) {
        const auto d = utf8::decode(text, begin);
        if (d.cp == utf8::kInvalid || !utf8::is_white_space(d.cp)) break;
        begin += d.len;
    }
    while (end > begin) {
        // White space code points take 1 to 3 bytes; try each ending at `end`.
        size_t strip = 0;
        for (size_t k = 1; k <= 3 && k <= end - begin; ++k) {
            const auto d = utf8::decode(text, end - k);
            if (d.cp != utf8::kInvalid && d.len == k && utf8::is_white_space(d.cp)) {
                strip = k;
                break;
            }
        }
        if (strip == 0) break;
        end -= strip;
    }
    return text.substr(begin, end - begin);
}

}  // namespace velmo::coords
