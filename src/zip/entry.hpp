#pragma once
// One entry of a ZIP archive as its central directory describes it.

#include <cstdint>
#include <string>

namespace velmo::zip {

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflate = 8;

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8 = 0x0800;

// The most bytes one entry may inflate to. Whole entries are held in memory, so a hostile
// archive must not be able to make a single read allocate without bound.
inline constexpr uint64_t kMaxEntrySize = uint64_t{3} << 30;

// DEFLATE cannot expand by more than this (a 258-byte match costs at least two bits), so a
// declared size beyond it is a lie that would only make us over-allocate.
inline constexpr uint64_t kMaxDeflateRatio = 1032;

struct Entry {
    std::string name;  // the raw name bytes, compared exactly
    uint16_t version_made_by = 0;
    uint16_t version_needed = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t dos_time = 0;
    uint16_t dos_date = 0;
    uint32_t crc32 = 0;
    uint64_t compressed_size = 0;
    uint64_t uncompressed_size = 0;
    uint64_t local_header_offset = 0;
    uint16_t internal_attributes = 0;
    uint32_t external_attributes = 0;

    bool encrypted() const { return (flags & kFlagEncrypted) != 0; }
};

}  // namespace velmo::zip
