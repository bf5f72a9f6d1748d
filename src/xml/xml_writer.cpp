#include "xml/xml_writer.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "xml/hex_escapes.hpp"
#include "xml/utf8.hpp"

namespace velmo::xml {

namespace {

// What to do with a byte. Plain bytes are copied in runs.
enum Action : std::uint8_t { kPlain, kAmp, kLt, kGt, kQuot, kApos, kTab, kLf, kCr, kBad, kCheckEf, kUnderscore };

enum class Mode { kText, kAttr, kHexText, kHexAttr };

constexpr std::array<std::uint8_t, 256> make_table(Mode mode) {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = kBad;
    const bool attr = mode == Mode::kAttr || mode == Mode::kHexAttr;
    t['\t'] = attr ? kTab : kPlain;
    t['\n'] = attr ? kLf : kPlain;
    t['\r'] = kCr;
    t['&'] = kAmp;
    t['<'] = kLt;
    t['>'] = kGt;
    t['"'] = kQuot;
    t['\''] = kApos;
    t[0xEF] = kCheckEf;  // lead byte of U+FFFE and U+FFFF
    if (mode == Mode::kHexText || mode == Mode::kHexAttr) t['_'] = kUnderscore;
    return t;
}

template <Mode M>
constexpr auto kTable = make_table(M);

// Returns false when a character XML does not allow was written as it is (never in the hex modes,
// which write those as escapes).
template <Mode M>
bool append_escaped(std::string& out, std::string_view s) {
    constexpr bool hex = M == Mode::kHexText || M == Mode::kHexAttr;
    bool clean = true;
    const char* p = s.data();
    const char* const end = p + s.size();
    const char* run = p;
    const auto at = [&] { return static_cast<std::size_t>(p - s.data()); };
    while (p < end) {
        const std::uint8_t action = kTable<M>[static_cast<unsigned char>(*p)];
        if (action == kPlain) {
            ++p;
            continue;
        }
        if (action == kCheckEf || (hex && action == kBad)) {
            const auto escaped = escaped_char_at(s, at());
            if (!escaped) {
                ++p;
                continue;
            }
            out.append(run, static_cast<std::size_t>(p - run));
            if (hex) append_hex_escape(out, escaped->unit);
            else {
                clean = false;
                out.append(p, escaped->bytes);
            }
            p += escaped->bytes;
            run = p;
            continue;
        }
        if (hex && action == kUnderscore) {
            // "_x005F" here, and the underscore itself starts the next run.
            if (underscore_needs_escape(s, at())) {
                out.append(run, static_cast<std::size_t>(p - run));
                out += "_x005F";
                run = p;
            }
            ++p;
            continue;
        }
        out.append(run, static_cast<std::size_t>(p - run));
        switch (action) {
        case kAmp: out += "&amp;"; break;
        case kLt: out += "&lt;"; break;
        case kGt: out += "&gt;"; break;
        case kQuot: out += "&quot;"; break;
        case kApos: out += "&apos;"; break;
        case kTab: out += "&#9;"; break;
        case kLf: out += "&#10;"; break;
        case kCr: out += "&#13;"; break;
        default:
            clean = false;
            out.push_back(*p);
            break;
        }
        ++p;
        run = p;
    }
    out.append(run, static_cast<std::size_t>(end - run));
    return clean;
}

}  // namespace

bool append_escaped_text(std::string& out, std::string_view s) { return append_escaped<Mode::kText>(out, s); }
bool append_escaped_attr(std::string& out, std::string_view s) { return append_escaped<Mode::kAttr>(out, s); }
void append_hex_escaped_text(std::string& out, std::string_view s) { append_escaped<Mode::kHexText>(out, s); }
void append_hex_escaped_attr(std::string& out, std::string_view s) { append_escaped<Mode::kHexAttr>(out, s); }

std::optional<DisallowedChar> find_disallowed_char(std::string_view text) {
    // Eight bytes at a time past plain ASCII (no byte below 0x20 or above 0x7F), which is most text.
    constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
    std::size_t from = 0;
    for (; from + 8 <= text.size(); from += 8) {
        std::uint64_t w;
        std::memcpy(&w, text.data() + from, 8);
        if (((w - kOnes * 0x20) | w) & kHigh) break;
    }
    // Only the rest up to a UTF-8 fault is searched; the fault itself is reported if no disallowed
    // character comes before it. Continuation bytes never look like one.
    const auto utf8 = check_utf8(text.substr(from));
    const std::size_t valid = utf8 ? from + utf8->valid_up_to : text.size();
    for (std::size_t i = from; i < valid; ++i)
        if (const auto bad = escaped_char_at(text, i)) return DisallowedChar{i, bad->unit, false};
    if (utf8) return DisallowedChar{valid, static_cast<unsigned char>(text[valid]), true};
    return std::nullopt;
}

Result<std::string> XmlWriter::finish() && {
    if (!ok_) {
        // Name the first offender so the message is of some use even without a caller's check.
        if (const auto bad = find_disallowed_char(buf_)) {
            char hex[16];
            const char* digits = "0123456789ABCDEF";
            int n = 0;
            std::uint32_t cp = bad->code_point;
            do {
                hex[n++] = digits[cp & 0xF];
                cp >>= 4;
            } while (cp || n < 4);
            std::string h(hex, static_cast<std::size_t>(n));
            return fail(VelmoError::xml("character U+" + std::string(h.rbegin(), h.rend()) +
                                        " is not allowed in XML (byte " + std::to_string(bad->offset) + ")"));
        }
        return fail(VelmoError::xml("a character not allowed in XML was written"));
    }
    return std::move(buf_);
}

}  // namespace velmo::xml
