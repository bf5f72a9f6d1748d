#pragma once
// The styles part, "xl/styles.xml", from the collected style tables.

#include <string>
#include <string_view>

#include "model/error.hpp"
#include "model/styles.hpp"
#include "writer/styles_collect.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

// The part's XML: number formats, fonts (with the children carried from a source), fills (with
// both pattern colours, or the gradient carried from a source), the borders, the cell style
// formats, the cell formats, the named cell styles, the differential formats, then the table
// styles, colour palette and extension list carried from a source. What a source does not give
// is what a new workbook gets: one empty border, one cell style format and "Normal".
// InvalidFormat naming the record for a text XML cannot carry (a font name, a format code, a
// pattern type, an ARGB colour).
Result<std::string> write_styles_xml(const CollectedStyles& styles);

// One empty element `element` for the colour: rgb, indexed, or theme with an optional tint.
void write_color(xml::XmlWriter& w, std::string_view element, const Color& color);

// One `dxf` element: as the source wrote it, else its font (flags with val "1", no default size
// or name) and its fill.
void write_dxf(xml::XmlWriter& w, const Dxf& dxf);

}  // namespace velmo::writer
