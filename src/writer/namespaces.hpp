#pragma once
// The namespaces the regenerated parts declare.

#include <string_view>

namespace velmo::writer {

inline constexpr std::string_view kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr std::string_view kOfficeRelsNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view kPackageRelsNs = "http://schemas.openxmlformats.org/package/2006/relationships";

}  // namespace velmo::writer
