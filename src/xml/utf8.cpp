#include "xml/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace velmo::xml {

namespace {

bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII fast path, eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned char b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        auto at = [&](std::size_t k) -> int { return i + k < n ? s[i + k] : -1; };
        std::size_t width = 0;
        if (b >= 0xC2 && b <= 0xDF) width = 2;
        else if (b >= 0xE0 && b <= 0xEF) width = 3;
        else if (b >= 0xF0 && b <= 0xF4) width = 4;
        else return Utf8Error{i, 1};

        const int b1 = at(1);
        if (b1 < 0) return Utf8Error{i, 0};
        if (width == 2) {
            if (!is_cont(static_cast<unsigned char>(b1))) return Utf8Error{i, 1};
        } else {
            // The second byte's range depends on the first: no overlong forms, no surrogates,
            // nothing above U+10FFFF.
            unsigned char lo = 0x80, hi = 0xBF;
            if (b == 0xE0) lo = 0xA0;
            else if (b == 0xED) hi = 0x9F;
            else if (b == 0xF0) lo = 0x90;
            else if (b == 0xF4) hi = 0x8F;
            if (b1 < lo || b1 > hi) return Utf8Error{i, 1};
            for (std::size_t k = 2; k < width; ++k) {
                const int bk = at(k);
                if (bk < 0) return Utf8Error{i, 0};
                if (!is_cont(static_cast<unsigned char>(bk))) return Utf8Error{i, k};
            }
        }
        i += width;
    }
    return std::nullopt;
}

std::string utf8_error_message(const Utf8Error& e) {
    if (e.error_len == 0)
        return "incomplete utf-8 byte sequence from index " + std::to_string(e.valid_up_to);
    return "invalid utf-8 sequence of " + std::to_string(e.error_len) + " bytes from index " +
           std::to_string(e.valid_up_to);
}

Result<void> check_utf8_at(std::string_view text, std::size_t offset) {
    if (const auto bad = check_utf8(text))
        return fail(VelmoError::xml("invalid UTF-8 (" + utf8_error_message(*bad) + ") at byte " +
                                    std::to_string(offset + bad->valid_up_to)));
    return {};
}

}  // namespace velmo::xml
