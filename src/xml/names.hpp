#pragma once
// Whether a name found in a tag is one XML allows. The tokenizer only looks for where names end,
// so XML kept as written is checked with these before it goes into a part a parser will read.

#include <string_view>

namespace velmo::xml {

// A Name: a name-start character, then name characters, all UTF-8.
bool is_name(std::string_view s);

// A name that also reads under namespaces: a Name with no colon, or two of them joined by one.
bool is_qualified_name(std::string_view s);

}  // namespace velmo::xml
