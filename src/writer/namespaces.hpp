#pragma once
// The namespaces the regenerated parts declare.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xml/xml_writer.hpp"

namespace velmo::writer {

inline constexpr std::string_view kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr std::string_view kOfficeRelsNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view kPackageRelsNs = "http://schemas.openxmlformats.org/package/2006/relationships";

// On a root's start tag: the markup-compatibility namespace, its attribute that marks the
// (prefix, namespace) pairs `ignorable` ignorable, and their declarations. Nothing when there are
// none.
void declare_ignorable(xml::XmlWriter& w, const std::vector<std::pair<std::string, std::string>>& ignorable);

}  // namespace velmo::writer
