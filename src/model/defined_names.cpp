#include "model/defined_names.hpp"

#include <cstdint>
#include <utility>

#include "model/ascii.hpp"
#include "model/coords.hpp"

namespace velmo {

namespace {

constexpr std::string_view kReservedPrefix = "_xlnm.";

}  // namespace

size_t DefinedNames::FoldedHash::operator()(std::string_view s) const noexcept {
    // FNV-1a over the folded bytes.
    uint64_t h = 14695981039346656037ull;
    for (const char c : s) {
        h ^= static_cast<unsigned char>(ascii_fold(c));
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h);
}

void DefinedNames::insert(DefinedName name) {
    if (const auto it = index_.find(name.name); it != index_.end()) {
        // Replaced whole, spelling included, keeping its position. (The key keeps the first
        // spelling; the index compares folded.)
        items_[it->second] = std::move(name);
        return;
    }
    index_.emplace(name.name, items_.size());
    items_.push_back(std::move(name));
}

Result<void> DefinedNames::add(DefinedName name) {
    // In any case: names compare without it, so "_XLNM.Print_Area" would define the print area twice.
    if (ascii_iequal(std::string_view(name.name).substr(0, kReservedPrefix.size()), kReservedPrefix)) {
        return fail(VelmoError::invalid_format(
            "'_xlnm.*' names are reserved for print settings; use ws.print_area / ws.print_title_rows / "
            "ws.print_title_cols instead"));
    }
    insert(std::move(name));
    return {};
}

bool DefinedNames::remove(std::string_view name) {
    const auto it = index_.find(name);
    if (it == index_.end() || items_[it->second].name != name) return false;
    const size_t pos = it->second;
    index_.erase(it);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(pos));
    for (size_t i = pos; i < items_.size(); ++i) index_.find(items_[i].name)->second = i;
    return true;
}

const DefinedName* DefinedNames::find(std::string_view name) const {
    const DefinedName* same = find_same(name);
    return same && same->name == name ? same : nullptr;
}

DefinedName* DefinedNames::find_mut(std::string_view name) {
    return const_cast<DefinedName*>(std::as_const(*this).find(name));
}

const DefinedName* DefinedNames::find_same(std::string_view name) const {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : &items_[it->second];
}

std::vector<std::string> DefinedNames::names() const {
    std::vector<std::string> out;
    out.reserve(items_.size());
    for (const DefinedName& item : items_) out.push_back(item.name);
    return out;
}

namespace defined_names {

std::string quote_sheet_title(std::string_view title) {
    std::string out;
    out.reserve(title.size() + 2);
    out.push_back('\'');
    for (char c : title) {
        out.push_back(c);
        if (c == '\'') out.push_back('\'');
    }
    out.push_back('\'');
    return out;
}

std::vector<std::string> split_top_level_csv(std::string_view text) {
    std::vector<std::string> pieces;
    size_t start = 0;  // start of the current piece
    bool in_quotes = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\'') {
            // A doubled apostrophe inside a quoted title is an escaped one, not the closing quote.
            if (in_quotes && i + 1 < text.size() && text[i + 1] == '\'') {
                ++i;
            } else {
                in_quotes = !in_quotes;
            }
        } else if (c == ',' && !in_quotes) {
            // A piece ended by a comma is kept even when empty, so positions stay meaningful.
            pieces.emplace_back(coords::trim_ws(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    std::string_view last = coords::trim_ws(text.substr(start));
    if (!last.empty()) pieces.emplace_back(last);
    return pieces;
}

std::string compose_print_area(std::string_view quoted_title, const std::vector<std::string>& pieces) {
    std::string out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i != 0) out.push_back(',');
        out.append(quoted_title);
        out.push_back('!');
        out.append(coords::trim_ws(pieces[i]));
    }
    return out;
}

std::string compose_print_area(std::string_view title, std::string_view stored) {
    const std::string quoted = quote_sheet_title(title);
    if (stored.find(',') == std::string_view::npos) {
        // A single range is written exactly as stored.
        std::string out = quoted;
        out.push_back('!');
        out.append(stored);
        return out;
    }
    return compose_print_area(quoted, split_top_level_csv(stored));
}

namespace {

std::string_view strip_sheet_prefix(std::string_view range) {
    range = coords::trim_ws(range);
    // The last "!" separates the prefix: a quoted title may itself hold one.
    if (size_t bang = range.rfind('!'); bang != std::string_view::npos) range = range.substr(bang + 1);
    return coords::trim_ws(range);
}

}  // namespace

std::string strip_sheet_prefix_multi(std::string_view text) {
    if (text.find(',') == std::string_view::npos) return std::string(strip_sheet_prefix(text));
    std::string out;
    bool first = true;
    for (const std::string& piece : split_top_level_csv(text)) {
        if (!first) out.push_back(',');
        first = false;
        out.append(strip_sheet_prefix(piece));
    }
    return out;
}

std::string make_absolute_area_range(std::string_view text) {
    if (text.find(',') == std::string_view::npos) return coords::make_absolute_range(text);
    std::string out;
    bool first = true;
    for (const std::string& piece : split_top_level_csv(text)) {
        if (!first) out.push_back(',');
        first = false;
        out.append(coords::make_absolute_range(coords::trim_ws(piece)));
    }
    return out;
}

}  // namespace defined_names
}  // namespace velmo
