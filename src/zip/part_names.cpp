#include "zip/part_names.hpp"

#include <cstdint>

namespace velmo::zip {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The characters of a part name as they are compared, one at a time, so that comparing and
// hashing need no copy of the name.
class FoldedChars {
public:
    explicit FoldedChars(std::string_view name) : rest_(name) {
        if (!rest_.empty() && rest_.front() == '/') rest_.remove_prefix(1);
    }

    bool next(char& c) {
        if (rest_.empty()) return false;
        c = rest_.front();
        size_t used = 1;
        if (c == '%' && rest_.size() >= 3) {
            const int hi = hex_value(rest_[1]);
            const int lo = hex_value(rest_[2]);
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>(hi * 16 + lo);
                used = 3;
            }
        }
        rest_.remove_prefix(used);
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return true;
    }

private:
    std::string_view rest_;
};

}  // namespace

bool same_part_name(std::string_view a, std::string_view b) {
    if (a == b) return true;
    FoldedChars fa(a), fb(b);
    char ca = 0, cb = 0;
    while (true) {
        const bool more_a = fa.next(ca);
        const bool more_b = fb.next(cb);
        if (more_a != more_b) return false;
        if (!more_a) return true;
        if (ca != cb) return false;
    }
}

size_t PartNameHash::operator()(std::string_view name) const {
    // FNV-1a over the compared characters.
    uint64_t h = 14695981039346656037ull;
    FoldedChars chars(name);
    for (char c = 0; chars.next(c);) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h);
}

std::string PartNameSet::normalize(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    FoldedChars chars(name);
    for (char c = 0; chars.next(c);) out += c;
    return out;
}

}  // namespace velmo::zip
