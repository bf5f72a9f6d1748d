#pragma once
// Reading the styles part into a StyleSheet.

#include <optional>
#include <string_view>

#include "model/error.hpp"
#include "model/styles.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// Reads "xl/styles.xml": custom number formats, fonts, fills, cell formats and differential
// formats, one record per list element in document order; borders, the alignment and
// protection of formats, the font children the model does not interpret, gradient fills, each
// differential format whole, cell styles, table styles, the palette and the extension list are
// kept as XML (one that cannot be kept is left out). Fails only with an XML error.
Result<StyleSheet> parse_styles(std::string_view xml);

// The colour of a `color`, `fgColor` or `bgColor` tag: rgb, else a numeric indexed, else a
// numeric theme with optional tint; none otherwise.
Result<std::optional<Color>> parse_color(const xml::Event& ev);

}  // namespace velmo::reader
