#pragma once
// Numbers as written into XML: locale-free, shortest round-trip form, never an exponent.

#include <cstdint>
#include <string>
#include <string_view>

#include "model/number_text.hpp"

namespace velmo::xml {

// The shared number text (model/number_text.hpp): shortest round-trip digits, no exponent.
inline void append_f64(std::string& out, double v) { append_number_text(out, v); }
std::string format_f64(double v);

void append_u64(std::string& out, std::uint64_t v);
// `prefix`, `n` in decimal, `suffix`: numbered names and ids ("rId3", "item2.xml").
std::string numbered(std::string_view prefix, std::uint64_t n, std::string_view suffix = {});
void append_i64(std::string& out, std::int64_t v);

}  // namespace velmo::xml
