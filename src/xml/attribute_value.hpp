#pragma once
// Attribute values as an XML parser hands them on: every literal tab, line feed, carriage return
// and CR LF pair becomes one space, while a character written as a reference stays itself. A
// value that is written back escaped must be read this way, or a literal tab would come back as
// "&#9;", which reads as a tab where the source read a space.

#include <cstddef>
#include <string>
#include <string_view>

#include "model/error.hpp"

namespace velmo::xml {

// decode (tokenizer.hpp) with attribute-value normalisation. A view of `raw` when nothing changes,
// else of `scratch`.
Result<std::string_view> decode_attribute(std::string_view raw, std::string& scratch, std::size_t offset = 0);

}  // namespace velmo::xml
