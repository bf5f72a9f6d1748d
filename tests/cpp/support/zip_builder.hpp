#pragma once
// Builds ZIP archives byte by byte for tests. Every header field can be set to a lie, so tests
// can hand the reader exactly the damage they want. Header-only.
//
//   velmo::test::ZipBuilder b;
//   b.deflated("xl/workbook.xml", xml);
//   b.stored("a.txt", "hello").crc32 ^= 1;      // corrupt a field
//   b.end().comment = "trailing comment";
//   std::string bytes = b.build();

#include <libdeflate.h>

#include <cstdint>
#include <deque>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmo::test {

inline uint32_t crc32_of(std::string_view data) { return libdeflate_crc32(0, data.data(), data.size()); }

// Raw DEFLATE (no zlib or gzip wrapper), as ZIP stores it.
inline std::string deflate_raw(std::string_view data, int level = 6) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    std::string out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
    size_t n = libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size());
    libdeflate_free_compressor(c);
    out.resize(n);
    return out;
}

// Little-endian field access for patching built archives.
inline void put_le(std::string& bytes, size_t offset, uint64_t value, int width) {
    if (offset + width > bytes.size()) throw std::out_of_range("put_le past the end");
    for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline uint64_t get_le(std::string_view bytes, size_t offset, int width) {
    if (offset + width > bytes.size()) throw std::out_of_range("get_le past the end");
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= uint64_t{static_cast<unsigned char>(bytes[offset + i])} << (8 * i);
    return v;
}

inline void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

class ZipBuilder {
public:
    struct Entry {
        std::string name;
        std::string payload;  // the bytes after the local header (compressed when method is 8)
        uint16_t method = 0;
        uint16_t flags = 0;
        uint16_t version_made_by = 20;
        uint16_t version_needed = 20;
        uint16_t dos_time = 0;
        uint16_t dos_date = 0x21;
        uint32_t crc32 = 0;
        uint64_t compressed_size = 0;    // as both headers state it
        uint64_t uncompressed_size = 0;  // as both headers state it
        uint16_t internal_attributes = 0;
        uint32_t external_attributes = 0;
        // Local header fields that disagree with the central directory.
        std::optional<std::string> local_name;
        std::optional<uint16_t> local_method;
        std::optional<uint16_t> local_flags;
        std::optional<uint32_t> local_signature;
        std::string local_extra;
        // The offset the central directory gives instead of the real one.
        std::optional<uint64_t> local_header_offset;
        std::optional<uint32_t> central_signature;
        // Sets flag bit 3, zeroes CRC and sizes in the local header, appends a signed descriptor.
        bool data_descriptor = false;
        // Puts sizes and offset in ZIP64 extra fields, leaving the 32-bit fields at their maximum.
        bool zip64 = false;
    };

    struct End {
        std::optional<uint64_t> entry_count;       // total count (and this disk's, unless set below)
        std::optional<uint64_t> disk_entry_count;
        std::optional<uint64_t> directory_size;
        std::optional<uint64_t> directory_offset;
        uint32_t disk = 0;
        uint32_t directory_disk = 0;
        std::string comment;
        // Writes a ZIP64 end record and locator; the classic record then holds maximum values.
        bool zip64 = false;
        uint32_t zip64_disk_count = 1;
        std::optional<uint64_t> zip64_record_offset;  // what the locator points at
    };

    // Where things landed in the last build, for tests that patch bytes afterwards.
    struct Layout {
        std::vector<uint64_t> local_header_offsets;
        std::vector<uint64_t> central_header_offsets;
        uint64_t directory_offset = 0;
        uint64_t directory_size = 0;
        uint64_t zip64_end_offset = 0;  // 0 when not written
        uint64_t end_offset = 0;
    };

    Entry& stored(std::string name, std::string_view content) {
        Entry& e = entries_.emplace_back();
        e.name = std::move(name);
        e.payload = std::string(content);
        e.method = 0;
        e.crc32 = crc32_of(content);
        e.compressed_size = e.uncompressed_size = content.size();
        return e;
    }

    Entry& deflated(std::string name, std::string_view content, int level = 6) {
        Entry& e = entries_.emplace_back();
        e.name = std::move(name);
        e.payload = deflate_raw(content, level);
        e.method = 8;
        e.crc32 = crc32_of(content);
        e.compressed_size = e.payload.size();
        e.uncompressed_size = content.size();
        return e;
    }

    // An entry whose payload and fields the test sets itself (payload and sizes are filled in).
    Entry& raw(std::string name, std::string payload, uint16_t method) {
        Entry& e = entries_.emplace_back();
        e.name = std::move(name);
        e.compressed_size = e.uncompressed_size = payload.size();
        e.payload = std::move(payload);
        e.method = method;
        return e;
    }

    Entry& entry(size_t i) { return entries_.at(i); }
    size_t size() const { return entries_.size(); }
    End& end() { return end_; }

    std::string build(Layout* layout = nullptr) const {
        Layout l;
        std::string out;
        for (const Entry& e : entries_) {
            l.local_header_offsets.push_back(out.size());
            const std::string& name = e.local_name ? *e.local_name : e.name;
            std::string extra;
            if (e.zip64) {
                put16(extra, 1);
                put16(extra, 16);
                put64(extra, e.uncompressed_size);
                put64(extra, e.compressed_size);
            }
            extra += e.local_extra;
            put32(out, e.local_signature.value_or(0x04034b50));
            put16(out, e.version_needed);
            put16(out, e.local_flags.value_or(flags_of(e)));
            put16(out, e.local_method.value_or(e.method));
            put16(out, e.dos_time);
            put16(out, e.dos_date);
            put32(out, e.data_descriptor ? 0 : e.crc32);
            put32(out, e.data_descriptor ? 0 : (e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(e.compressed_size)));
            put32(out, e.data_descriptor ? 0 : (e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(e.uncompressed_size)));
            put16(out, static_cast<uint16_t>(name.size()));
            put16(out, static_cast<uint16_t>(extra.size()));
            out += name;
            out += extra;
            out += e.payload;
            if (e.data_descriptor) {
                put32(out, 0x08074b50);
                put32(out, e.crc32);
                if (e.zip64) {
                    put64(out, e.compressed_size);
                    put64(out, e.uncompressed_size);
                } else {
                    put32(out, static_cast<uint32_t>(e.compressed_size));
                    put32(out, static_cast<uint32_t>(e.uncompressed_size));
                }
            }
        }

        l.directory_offset = out.size();
        for (size_t i = 0; i < entries_.size(); ++i) {
            const Entry& e = entries_[i];
            uint64_t offset = e.local_header_offset.value_or(l.local_header_offsets[i]);
            std::string extra;
            if (e.zip64) {
                put16(extra, 1);
                put16(extra, 24);
                put64(extra, e.uncompressed_size);
                put64(extra, e.compressed_size);
                put64(extra, offset);
            }
            l.central_header_offsets.push_back(out.size());
            put32(out, e.central_signature.value_or(0x02014b50));
            put16(out, e.version_made_by);
            put16(out, e.version_needed);
            put16(out, flags_of(e));
            put16(out, e.method);
            put16(out, e.dos_time);
            put16(out, e.dos_date);
            put32(out, e.crc32);
            put32(out, e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(e.compressed_size));
            put32(out, e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(e.uncompressed_size));
            put16(out, static_cast<uint16_t>(e.name.size()));
            put16(out, static_cast<uint16_t>(extra.size()));
            put16(out, 0);  // comment
            put16(out, 0);  // disk
            put16(out, e.internal_attributes);
            put32(out, e.external_attributes);
            put32(out, e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(offset));
            out += e.name;
            out += extra;
        }
        l.directory_size = out.size() - l.directory_offset;

        const uint64_t count = end_.entry_count.value_or(entries_.size());
        const uint64_t disk_count = end_.disk_entry_count.value_or(count);
        const uint64_t dir_size = end_.directory_size.value_or(l.directory_size);
        const uint64_t dir_offset = end_.directory_offset.value_or(l.directory_offset);
        if (end_.zip64) {
            l.zip64_end_offset = out.size();
            put32(out, 0x06064b50);
            put64(out, 44);
            put16(out, 45);
            put16(out, 45);
            put32(out, end_.disk);
            put32(out, end_.directory_disk);
            put64(out, disk_count);
            put64(out, count);
            put64(out, dir_size);
            put64(out, dir_offset);
            put32(out, 0x07064b50);
            put32(out, 0);
            put64(out, end_.zip64_record_offset.value_or(l.zip64_end_offset));
            put32(out, end_.zip64_disk_count);
        }
        l.end_offset = out.size();
        put32(out, 0x06054b50);
        put16(out, end_.zip64 ? 0xFFFF : static_cast<uint16_t>(end_.disk));
        put16(out, end_.zip64 ? 0xFFFF : static_cast<uint16_t>(end_.directory_disk));
        put16(out, end_.zip64 ? 0xFFFF : static_cast<uint16_t>(disk_count));
        put16(out, end_.zip64 ? 0xFFFF : static_cast<uint16_t>(count));
        put32(out, end_.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(dir_size));
        put32(out, end_.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(dir_offset));
        put16(out, static_cast<uint16_t>(end_.comment.size()));
        out += end_.comment;
        if (layout) *layout = std::move(l);
        return out;
    }

private:
    static uint16_t flags_of(const Entry& e) {
        return static_cast<uint16_t>(e.flags | (e.data_descriptor ? 0x0008 : 0));
    }
    static void put16(std::string& s, uint64_t v) { append(s, v, 2); }
    static void put32(std::string& s, uint64_t v) { append(s, v, 4); }
    static void put64(std::string& s, uint64_t v) { append(s, v, 8); }
    static void append(std::string& s, uint64_t v, int width) {
        for (int i = 0; i < width; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }

    std::deque<Entry> entries_;
    End end_;
};

// An archive of deflated entries, in the order given.
inline std::string deflated_zip(std::initializer_list<std::pair<std::string, std::string>> entries) {
    ZipBuilder b;
    for (const auto& [name, content] : entries) b.deflated(name, content);
    return b.build();
}

}  // namespace velmo::test
