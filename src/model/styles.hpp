#pragma once
// Style records read from a styles part, shared read-only by a workbook and its cells.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
    // The children the model does not interpret (underline, vertical alignment, family, scheme,
    // character set, ...), as the source wrote them; empty for a font made here.
    std::string children_xml{};
    // Read from a styles part: written with the children it had and no others. A font made here
    // that gives no size, name or colour is written as 11 point Calibri.
    bool loaded = false;
    bool operator==(const Font&) const = default;
};

struct Fill {
    std::string pattern_type = "none";
    std::optional<Color> fg_color;
    std::optional<Color> bg_color;
    // A gradient fill's `gradientFill` element as the source wrote it, written in place of the
    // pattern; empty for a pattern fill.
    std::string gradient_xml{};
    // Pattern texts byte-equal, both colours equal (same variant, same payload; tints compared as
    // numbers, an absent tint only equal to an absent one) and the gradients byte-equal.
    bool operator==(const Fill&) const = default;
};

struct Dxf {
    std::optional<Font> font;
    std::optional<Fill> fill;
    // The `dxf` element as the source wrote it, every child included (font flags turned off,
    // automatic colours, number format, alignment, protection, border, extension list), written
    // in place of the font and fill; empty for a format made here or one that could not be kept.
    std::string xml{};
    bool operator==(const Dxf&) const = default;
};

// The boolean attributes of a cell format that are carried as read: the position in
// kXfFlagNames is the flag's number.
inline constexpr std::string_view kXfFlagNames[] = {"applyNumberFormat", "applyFont",       "applyFill",
                                                    "applyBorder",       "applyAlignment",  "applyProtection",
                                                    "quotePrefix",       "pivotButton"};
enum class XfFlag : uint8_t { ApplyNumberFormat, ApplyFont, ApplyFill, ApplyBorder, ApplyAlignment, ApplyProtection, QuotePrefix, PivotButton };

struct CellXf {
    uint32_t font_id = 0;
    uint32_t fill_id = 0;
    uint32_t num_fmt_id = 0;
    uint32_t border_id = 0;  // position in StyleSheet::borders
    uint32_t xf_id = 0;      // the cell style format it is based on
    uint32_t children = 0;   // its alignment and protection: position in StyleSheet::xf_children
    uint16_t flags = 0;      // two bits per XfFlag: 0 absent, 1 false, 2 true

    std::optional<bool> flag(XfFlag f) const {
        const unsigned v = (flags >> (2 * static_cast<unsigned>(f))) & 3u;
        if (v == 0) return std::nullopt;
        return v == 2;
    }
    void set_flag(XfFlag f, std::optional<bool> value) {
        const unsigned shift = 2 * static_cast<unsigned>(f);
        const unsigned v = value ? (*value ? 2u : 1u) : 0u;
        flags = static_cast<uint16_t>((flags & ~(3u << shift)) | (v << shift));
    }
    bool operator==(const CellXf&) const = default;
};

// Top-level elements of the styles part that the model carries as the source wrote them; an
// empty text stands for an element the source lacks.
struct StyleBlocks {
    std::string cell_style_xfs;  // `cellStyleXfs`
    std::string cell_styles;     // `cellStyles`
    std::string table_styles;    // `tableStyles`
    std::string colors;          // `colors`
    std::string ext_lst;         // `extLst`
    // The (prefix, namespace) pairs the source's root marked ignorable, in its order: what is
    // carried and uses one of them stays ignorable in a copy.
    std::vector<std::pair<std::string, std::string>> ignorable;
    bool operator==(const StyleBlocks&) const = default;
};

struct StyleSheet {
    std::vector<Font> fonts;
    std::vector<Fill> fills;
    std::vector<CellXf> cell_xfs;  // position = a cell's style index
    std::vector<Dxf> dxfs;
    std::unordered_map<uint32_t, std::string> num_fmts;  // custom number formats by id
    std::vector<std::string> borders;      // each `border` element as written; position = borderId
    // The distinct alignment and protection children of cell formats, as written; the first is
    // the empty text, what a format without them refers to.
    std::vector<std::string> xf_children;
    StyleBlocks blocks;

    // (id, code) copies of the custom number formats, in no particular order.
    std::vector<std::pair<uint32_t, std::string>> num_fmts_vec() const;

    // The temporal kind of the number format of cell format `index`, if it is a date/time/duration format.
    std::optional<TemporalKind> temporal_kind(uint64_t index) const;
};

}  // namespace velmo
