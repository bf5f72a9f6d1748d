#pragma once
// Record signatures, fixed sizes and little-endian field access shared by the reader and the writer.

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo::zip::format {

inline constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
inline constexpr uint32_t kDataDescriptorSignature = 0x08074b50;
inline constexpr uint32_t kEndSignature = 0x06054b50;
inline constexpr uint32_t kZip64EndSignature = 0x06064b50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064b50;

inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndSize = 22;
inline constexpr size_t kZip64EndSize = 56;
inline constexpr size_t kZip64LocatorSize = 20;
inline constexpr size_t kMaxCommentSize = 0xFFFF;

inline constexpr uint16_t kZip64ExtraTag = 0x0001;
inline constexpr uint16_t kMax16 = 0xFFFF;
inline constexpr uint32_t kMax32 = 0xFFFFFFFF;

inline constexpr uint16_t kVersionDeflate = 20;
inline constexpr uint16_t kVersionZip64 = 45;

inline uint16_t get16(const char* p) {
    auto b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline uint32_t get32(const char* p) {
    auto b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

inline uint64_t get64(const char* p) { return uint64_t{get32(p)} | (uint64_t{get32(p + 4)} << 32); }

inline void put16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

inline void put32(std::string& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v & 0xFFFF));
    put16(out, static_cast<uint16_t>(v >> 16));
}

inline void put64(std::string& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v & 0xFFFFFFFF));
    put32(out, static_cast<uint32_t>(v >> 32));
}

}  // namespace velmo::zip::format
