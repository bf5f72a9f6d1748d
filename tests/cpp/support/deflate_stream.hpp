#pragma once
// Raw DEFLATE streams of zeros built directly, so that a test can hold the compressed form of
// gigabytes without ever materialising them. Header-only.

#include <libdeflate.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmo::test {

// Appends bits least-significant first, as DEFLATE packs them.
class BitWriter {
public:
    void bits(std::uint32_t value, int count) {
        acc_ |= static_cast<std::uint64_t>(value) << used_;
        used_ += count;
        while (used_ >= 8) {
            out_.push_back(static_cast<char>(acc_ & 0xFF));
            acc_ >>= 8;
            used_ -= 8;
        }
    }
    // Huffman codes go most-significant bit first.
    void code(std::uint32_t value, int length) {
        std::uint32_t reversed = 0;
        for (int i = 0; i < length; ++i) reversed |= ((value >> i) & 1u) << (length - 1 - i);
        bits(reversed, length);
    }
    std::string finish() {
        if (used_ > 0) bits(0, 8 - used_);
        return std::move(out_);
    }
    void reserve(std::size_t n) { out_.reserve(n); }

private:
    std::string out_;
    std::uint64_t acc_ = 0;
    int used_ = 0;
};

// One final block with the fixed Huffman codes: a literal zero, then `matches` copies of 258
// bytes at distance 1, then the end of block. Inflates to 1 + 258 * matches zeros, about 159
// times what it takes.
inline std::string deflate_zeros(std::uint64_t matches) {
    BitWriter w;
    w.reserve(static_cast<std::size_t>(matches * 13 / 8 + 16));
    w.bits(1, 1);          // final block
    w.bits(1, 2);          // fixed Huffman codes
    w.code(0x30, 8);       // literal 0
    for (std::uint64_t i = 0; i < matches; ++i) {
        w.code(0xC5, 8);   // length symbol 285: 258 bytes, no extra bits
        w.code(0, 5);      // distance symbol 0: distance 1
    }
    w.code(0, 7);          // end of block
    return w.finish();
}

inline std::uint64_t deflate_zeros_size(std::uint64_t matches) { return 1 + 258 * matches; }

// CRC-32 of `n` zero bytes, computed a block at a time.
inline std::uint32_t crc32_of_zeros(std::uint64_t n) {
    static const std::vector<char> block(1 << 20, '\0');
    std::uint32_t crc = 0;
    while (n > 0) {
        const std::size_t step = n < block.size() ? static_cast<std::size_t>(n) : block.size();
        crc = libdeflate_crc32(crc, block.data(), step);
        n -= step;
    }
    return crc;
}

}  // namespace velmo::test
