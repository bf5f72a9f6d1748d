#pragma once
// UTF-8 validation for the texts that readers consume and writers produce.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "model/error.hpp"

namespace velmo::xml {

// Where and how a byte string stops being UTF-8.
struct Utf8Error {
    // Bytes from the start that form complete, valid characters.
    std::size_t valid_up_to = 0;
    // Length of the invalid sequence at valid_up_to (1 to 3), or 0 when the input ends
    // inside a sequence that would otherwise be valid.
    std::size_t error_len = 0;
};

// None when `bytes` is valid UTF-8 (surrogates and overlong forms are invalid).
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// "invalid utf-8 sequence of {n} bytes from index {i}" or
// "incomplete utf-8 byte sequence from index {i}".
std::string utf8_error_message(const Utf8Error& e);

// An Xml error "invalid UTF-8 ({message}) at byte {n}" when `text`, which starts at byte `offset`
// of its document, is not UTF-8; n is where the bad sequence starts.
Result<void> check_utf8_at(std::string_view text, std::size_t offset);

}  // namespace velmo::xml
