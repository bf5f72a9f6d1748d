#include "model/formula_refs.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

namespace velmo::formula {

namespace {

constexpr int64_t kGridRows = 1'048'576;
constexpr int64_t kGridCols = 16'384;

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
// Characters of names, sheet names and references outside quotes; any non-ASCII byte counts too.
constexpr bool word_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '\\' || c == '?' || c == '$' || c >= 0x80;
}
constexpr auto kWordChars = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = word_char(static_cast<unsigned char>(c));
    return t;
}();
bool is_word(char c) { return kWordChars[static_cast<unsigned char>(c)]; }

// One end of a reference: a cell, a whole column (no row) or a whole row (no column).
struct End {
    int64_t col = 0, row = 0;  // 0: absent
    bool col_abs = false, row_abs = false;
};

// Reads "$"? then letters (a column within the grid) from w at i.
bool read_col(std::string_view w, size_t& i, End& e) {
    e.col_abs = i < w.size() && w[i] == '$';
    size_t j = i + e.col_abs;
    const size_t begin = j;
    int64_t col = 0;
    while (j < w.size() && is_letter(w[j]) && j - begin < 3) col = col * 26 + ((w[j++] | 0x20) - 'a' + 1);
    if (j == begin || col > kGridCols) return false;
    e.col = col;
    i = j;
    return true;
}

// Reads "$"? then digits (a row within the grid) from w at i.
bool read_row(std::string_view w, size_t& i, End& e) {
    e.row_abs = i < w.size() && w[i] == '$';
    size_t j = i + e.row_abs;
    const size_t begin = j;
    int64_t row = 0;
    while (j < w.size() && is_digit(w[j]) && row <= kGridRows) row = row * 10 + (w[j++] - '0');
    if (j == begin || row < 1 || row > kGridRows) return false;
    e.row = row;
    i = j;
    return true;
}

// The whole word as a cell ("B7", "$B$7"), a column ("B", "$B") or a row ("7", "$7").
enum class Shape { Cell, Col, Row };
bool parse_end(std::string_view w, Shape shape, End& e) {
    e = End{};
    size_t i = 0;
    if (shape != Shape::Row && !read_col(w, i, e)) return false;
    if (shape != Shape::Col && !read_row(w, i, e)) return false;
    return i == w.size();
}

class Mover {
public:
    Mover(std::string_view s, int64_t rows, int64_t cols, size_t limit, std::string& out)
        : s_(s), rows_(rows), cols_(cols), limit_(limit), out_(out) {
        out_.clear();
        if (const size_t want = std::min(s.size(), limit); out_.capacity() < want) grow(want);
    }

    // False when the moved text would pass the limit.
    bool run() {
        while (i_ < s_.size() && !over_) {
            const char c = s_[i_];
            if (c == '"' || c == '\'') {
                copy_quoted(c);
            } else if (c == '[') {
                copy_bracketed();
            } else if (c == '#') {
                copy_error();
            } else if (is_digit(c) || (c == '$' && next_is_digit()) || (c == '.' && next_is_digit())) {
                number_or_rows();
            } else if (is_word(c)) {
                word();
            } else {
                ++i_;
            }
        }
        flush(s_.size());
        return !over_;
    }

private:
    bool next_is_digit() const { return i_ + 1 < s_.size() && is_digit(s_[i_ + 1]); }
    size_t word_end(size_t from) const {
        while (from < s_.size() && is_word(s_[from])) ++from;
        return from;
    }
    size_t run_end(size_t from, bool (*pred)(char)) const {
        while (from < s_.size() && pred(s_[from])) ++from;
        return from;
    }
    // Text is kept as it is by moving past it; it is copied in one piece before the next reference.
    void copy_to(size_t end) { i_ = end; }
    void flush(size_t to) {
        put(s_.substr(kept_, to - kept_));
        kept_ = to;
    }
    // Appends within the limit.
    void put(std::string_view piece) {
        if (over_ || piece.size() > limit_ - out_.size()) {
            over_ = true;
            return;
        }
        if (piece.size() > out_.capacity() - out_.size()) grow(out_.size() + piece.size());
        out_.append(piece);
    }
    // Room for `need` bytes, doubling but never past the limit: a string's own growth (reserve
    // included) may double past what was asked, so the text moves to a string reserved afresh.
    void grow(size_t need) {
        std::string bigger;
        bigger.reserve(std::min(limit_, std::max(need, 2 * out_.capacity())));
        bigger.append(out_);
        out_.swap(bigger);
    }

    // A text ("...") or a quoted sheet name ('...'), the quote doubled inside.
    void copy_quoted(char q) {
        size_t j = i_ + 1;
        for (;;) {
            j = s_.find(q, j);
            if (j == std::string_view::npos) return copy_to(s_.size());
            if (j + 1 < s_.size() && s_[j + 1] == q) {
                j += 2;
                continue;
            }
            return copy_to(j + 1);
        }
    }

    // A table reference's or a workbook's brackets, nested; "'" escapes the next character.
    void copy_bracketed() {
        size_t j = i_, depth = 0;
        for (; j < s_.size(); ++j) {
            if (s_[j] == '\'') {
                ++j;
            } else if (s_[j] == '[') {
                ++depth;
            } else if (s_[j] == ']' && --depth == 0) {
                ++j;
                break;
            }
        }
        copy_to(std::min(j, s_.size()));
    }

    // "#REF!", "#N/A", "#DIV/0!", "#NAME?" and the like (or the spill mark after a reference).
    void copy_error() {
        size_t j = run_end(i_ + 1, [](char c) { return is_letter(c) || is_digit(c) || c == '_' || c == '/'; });
        if (j < s_.size() && (s_[j] == '!' || s_[j] == '?')) ++j;
        copy_to(j);
    }

    // "$"? digits ":" "$"? digits is a row range; anything else starting so is a number ("1.5E+3").
    void number_or_rows() {
        const size_t first_end = run_end(i_ + (s_[i_] == '$'), is_digit);
        if (first_end < s_.size() && s_[first_end] == ':') {
            const size_t second = first_end + 1;
            const size_t second_end = run_end(second + (second < s_.size() && s_[second] == '$'), is_digit);
            const bool whole = second_end == s_.size() || !is_word(s_[second_end]);
            End a, b;
            if (whole && parse_end(s_.substr(i_, first_end - i_), Shape::Row, a) &&
                parse_end(s_.substr(second, second_end - second), Shape::Row, b))
                return reference(a, &b, second_end);
        }
        if (s_[i_] == '$') return copy_to(i_ + 1);
        size_t j = run_end(i_, is_digit);
        if (j < s_.size() && s_[j] == '.') j = run_end(j + 1, is_digit);
        if (j + 1 < s_.size() && (s_[j] == 'e' || s_[j] == 'E')) {
            size_t k = j + 1;
            if (s_[k] == '+' || s_[k] == '-') ++k;
            if (k < s_.size() && is_digit(s_[k])) j = run_end(k, is_digit);
        }
        copy_to(j);
    }

    void word() {
        const size_t end = word_end(i_);
        const std::string_view w = s_.substr(i_, end - i_);
        const char next = end < s_.size() ? s_[end] : '\0';
        // A function's name, a table's name, a sheet's name: kept as written.
        if (next == '(' || next == '[' || next == '!') return copy_to(end);
        if (next == ':') {
            const size_t second_end = word_end(end + 1);
            const std::string_view w2 = s_.substr(end + 1, second_end - end - 1);
            // "Sheet1:Sheet3!A1": a span of sheets.
            if (second_end < s_.size() && s_[second_end] == '!') return copy_to(second_end);
            End a, b;
            for (const Shape shape : {Shape::Cell, Shape::Col})
                if (parse_end(w, shape, a) && parse_end(w2, shape, b)) return reference(a, &b, second_end);
        }
        End a;
        if (parse_end(w, Shape::Cell, a)) return reference(a, nullptr, end);
        copy_to(end);
    }

    // Moves the relative parts of one end; false when it leaves the grid.
    bool move(End& e) const {
        if (e.col && !e.col_abs) {
            e.col += cols_;
            if (e.col < 1 || e.col > kGridCols) return false;
        }
        if (e.row && !e.row_abs) {
            e.row += rows_;
            if (e.row < 1 || e.row > kGridRows) return false;
        }
        return true;
    }

    // Writes `e` at `p`, at most 13 bytes ("$XFD$1048576"); returns the end.
    static char* render(const End& e, char* p) {
        if (e.col) {
            if (e.col_abs) *p++ = '$';
            char letters[3];
            size_t n = 0;
            for (int64_t c = e.col; c > 0; c = (c - 1) / 26) letters[n++] = static_cast<char>('A' + (c - 1) % 26);
            while (n) *p++ = letters[--n];
        }
        if (e.row) {
            if (e.row_abs) *p++ = '$';
            p = std::to_chars(p, p + 7, e.row).ptr;
        }
        return p;
    }

    // Writes the moved reference (one end, or a range) that spans from i_ to `end` in the source.
    void reference(End& a, End* b, size_t end) {
        flush(i_);
        const bool ok_a = move(a);
        const bool ok_b = !b || move(*b);
        if (!ok_a || !ok_b) {
            put("#REF!");
        } else {
            char buf[32];
            char* p = render(a, buf);
            if (b) {
                *p++ = ':';
                p = render(*b, p);
            }
            put(std::string_view(buf, static_cast<size_t>(p - buf)));
        }
        i_ = kept_ = end;
    }

    std::string_view s_;
    size_t i_ = 0;
    size_t kept_ = 0;  // s_ up to here is in out_
    int64_t rows_, cols_;
    size_t limit_;
    std::string& out_;
    bool over_ = false;
};

}  // namespace

std::string move_references(std::string_view text, int64_t rows, int64_t cols) {
    std::string out;
    Mover(text, rows, cols, std::numeric_limits<size_t>::max(), out).run();
    return out;
}

bool move_references_within(std::string_view text, int64_t rows, int64_t cols, size_t limit, std::string& out) {
    return Mover(text, rows, cols, limit, out).run();
}

}  // namespace velmo::formula
