#pragma once
// The styles part, "xl/styles.xml", from the collected style tables.

#include <string>
#include <string_view>

#include "model/error.hpp"
#include "model/styles.hpp"
#include "writer/styles_collect.hpp"
#include "writer/xml/xml_writer.hpp"

namespace velmo::writer {

// The part's XML: number formats, fonts, fills (with both pattern colours), one empty border,
// one cell style format, the cell formats, the "Normal" cell style and the differential
// formats. InvalidFormat naming the record for a text XML cannot carry (a font name, a
// format code, a pattern type, an ARGB colour).
Result<std::string> write_styles_xml(const CollectedStyles& styles);

// One empty element `element` for the colour: rgb, indexed, or theme with an optional tint.
void write_color(xml::XmlWriter& w, std::string_view element, const Color& color);

// One `dxf` element: its font (flags with val "1", no default size or name) and its fill.
void write_dxf(xml::XmlWriter& w, const Dxf& dxf);

}  // namespace velmo::writer
