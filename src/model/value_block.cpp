#include "model/value_block.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace velmo {

namespace {

// About this many values a band, so that a band's values and texts stay small beside the whole block.
constexpr uint64_t kBandValues = uint64_t{1} << 16;

// Below this, heap memory: a mapping costs two system calls, and a small read would pay them each time.
constexpr size_t kMappedBytes = size_t{256} << 10;

}  // namespace

uint64_t PackedValue::append_text(std::string& texts, bool formula, std::string_view text) {
    const uint64_t at = texts.size();
    if (formula) texts += '=';
    texts.append(text);
    return at;
}

BandValues::BandValues(size_t count) : size_(count) {
    if (count == 0) return;
    const size_t bytes = count * sizeof(PackedValue);
    // Both read as zeros, which is Empty: nothing to fill, and a mapped page no value lands on is never
    // touched.
    void* p = bytes < kMappedBytes ? std::calloc(count, sizeof(PackedValue))
                                   : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (!p || p == MAP_FAILED) {
        size_ = 0;
        throw std::bad_alloc();
    }
    data_ = static_cast<PackedValue*>(p);
}

void BandValues::release() {
    if (data_) {
        const size_t bytes = size_ * sizeof(PackedValue);
        if (bytes < kMappedBytes) std::free(data_);
        else munmap(data_, bytes);
    }
    data_ = nullptr;
    size_ = 0;
}

ValueBlock::ValueBlock(uint64_t lines, uint64_t width) : lines_(lines), width_(width) {
    if (lines == 0 || width == 0) return;
    while (shift_ < 63 && (width << (shift_ + 1)) <= kBandValues) ++shift_;
    const uint64_t per_band = uint64_t{1} << shift_;
    bands_.resize((lines + per_band - 1) / per_band);
    for (size_t b = 0; b < bands_.size(); ++b) {
        bands_[b].lines = std::min(per_band, lines - b * per_band);
        bands_[b].values = BandValues(bands_[b].lines * width);
    }
}

}  // namespace velmo
