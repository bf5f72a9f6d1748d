#include "model/value_block.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace velmo {

namespace {

// About this many values a band, so that a band's values and texts stay small beside the whole block.
constexpr uint64_t kBandValues = uint64_t{1} << 16;

// Below 256 KiB, heap memory: a mapping costs two system calls, and a small read would pay them each time.
bool mapped(size_t count) { return count * sizeof(PackedValue) >= (size_t{256} << 10); }

}  // namespace

uint64_t PackedValue::append_text(std::string& texts, bool formula, std::string_view text) {
    const uint64_t at = texts.size();
    if (formula) texts += '=';
    texts.append(text);
    return at;
}

PackedValue PackedValue::hold(std::vector<Text>& held, const Text& text) {
    if (held.empty() || !held.back().same_characters(text)) held.push_back(text);
    return {Kind::Text, text.size() << 1 | 1, reinterpret_cast<uint64_t>(held.back().data())};
}

BandValues band_values(size_t count) {
    if (count == 0) return {};
    // Both read as zeros, which is Empty: nothing to fill, and a mapped page no value lands on is never
    // touched.
    void* p = mapped(count) ? mmap(nullptr, count * sizeof(PackedValue), PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                            : std::calloc(count, sizeof(PackedValue));
    if (p == (mapped(count) ? MAP_FAILED : nullptr)) throw std::bad_alloc();
    return BandValues(static_cast<PackedValue*>(p), BandRelease{count});
}

void BandRelease::operator()(PackedValue* values) const {
    if (mapped(count)) munmap(values, count * sizeof(PackedValue));
    else std::free(values);
}

ValueBlock::ValueBlock(uint64_t lines, uint64_t width) : lines_(lines), width_(width) {
    if (width == 0) return;
    while ((width << (shift_ + 1)) <= kBandValues) ++shift_;
    const uint64_t per_band = uint64_t{1} << shift_;
    bands_.resize((lines + per_band - 1) / per_band);
    for (size_t b = 0; b < bands_.size(); ++b) {
        bands_[b].lines = std::min(per_band, lines - b * per_band);
        bands_[b].values = band_values(bands_[b].lines * width);
    }
}

}  // namespace velmo
