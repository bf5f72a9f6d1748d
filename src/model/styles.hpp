#pragma once
// Style records read from a styles part, shared read-only by a workbook and its cells.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace velmo {

enum class TemporalKind { Date, DateTime, Time, Duration };

struct ColorArgb {
    std::string argb;  // kept exactly as written, never normalised
    bool operator==(const ColorArgb&) const = default;
};
struct ColorIndexed {
    uint32_t index = 0;
    bool operator==(const ColorIndexed&) const = default;
};
struct ColorTheme {
    uint32_t theme = 0;
    std::optional<double> tint;
    bool operator==(const ColorTheme&) const = default;
};
// Exactly one of an ARGB text, a palette index or a theme colour with optional tint.
using Color = std::variant<ColorArgb, ColorIndexed, ColorTheme>;

struct Font {
    std::string name;  // empty when absent
    std::optional<Color> color;
    double size = 0.0;  // points; 0.0 when absent
    bool bold = false;
    bool italic = false;
    bool strike = false;
    bool operator==(const Font&) const = default;
};

struct Fill {
    std::string pattern_type = "none";
    std::optional<Color> fg_color;
    std::optional<Color> bg_color;
    // Pattern texts byte-equal and both colours equal (same variant, same payload; tints compared as
    // numbers, an absent tint only equal to an absent one).
    bool operator==(const Fill&) const = default;
};

struct Dxf {
    std::optional<Font> font;
    std::optional<Fill> fill;
    bool operator==(const Dxf&) const = default;
};

struct CellXf {
    uint32_t font_id = 0;
    uint32_t fill_id = 0;
    uint32_t num_fmt_id = 0;
    bool operator==(const CellXf&) const = default;
};

struct StyleSheet {
    std::vector<Font> fonts;
    std::vector<Fill> fills;
    std::vector<CellXf> cell_xfs;  // position = a cell's style index
    std::vector<Dxf> dxfs;
    std::unordered_map<uint32_t, std::string> num_fmts;  // custom number formats by id

    // (id, code) copies of the custom number formats, in no particular order.
    std::vector<std::pair<uint32_t, std::string>> num_fmts_vec() const;

    // The temporal kind of the number format of cell format `index`, if it is a date/time/duration format.
    std::optional<TemporalKind> temporal_kind(uint64_t index) const;
};

}  // namespace velmo
