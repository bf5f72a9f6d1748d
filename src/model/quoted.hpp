#pragma once
// The quoted form in which messages show a caller-supplied text.

#include <string>
#include <string_view>

namespace velmo {

// The text in double quotes: '"' and '\' escaped with a backslash; tab, carriage return, line feed and
// NUL as \t, \r, \n, \0; other control, format, surrogate, private-use, unassigned, line/paragraph
// separator and space characters (the ASCII space excepted) and grapheme extenders as \u{hex}
// (lower-case hex). Every other character is kept. A byte that is not part of valid UTF-8 is shown as
// U+FFFD, so the result is always valid UTF-8.
std::string quoted(std::string_view utf8);

}  // namespace velmo
