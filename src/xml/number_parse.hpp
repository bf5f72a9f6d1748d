#pragma once
// Strict number grammars for attribute values and element texts. None of them trims or
// accepts anything around the number; an unusable text gives none.

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmo::xml {

// An optional single leading "+", then one or more ASCII digits, within the type's range.
std::optional<std::uint32_t> parse_u32(std::string_view s);
std::optional<std::uint64_t> parse_u64(std::string_view s);

// An optional sign, then digits with an optional "." and fraction (".5" and "5." count) and an
// optional exponent ("e"/"E", optional sign, digits); or "inf", "infinity" or "nan" in any
// letter case after the optional sign. A value too large becomes an infinity, one too small
// a zero of the same sign.
std::optional<double> parse_f64(std::string_view s);

// True exactly for "1" and "true".
inline bool parse_xml_bool(std::string_view s) { return s == "1" || s == "true"; }

}  // namespace velmo::xml
