#pragma once
// Writes a ZIP archive to an Output: entries deflated at level 6 with a fixed timestamp, or
// copied raw from another archive, then the central directory. Sizes always go in the local
// header (no data descriptors); ZIP64 records are written exactly when a count, size or offset
// does not fit the classic fields.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "model/error.hpp"
#include "zip/entry.hpp"
#include "zip/output.hpp"

struct libdeflate_compressor;

namespace velmo::zip {

// What every generated entry records: 1980-01-01 00:00:00 and a regular file rw-r--r--.
inline constexpr uint16_t kFixedDosTime = 0;
inline constexpr uint16_t kFixedDosDate = 0x0021;
inline constexpr uint32_t kRegularFileAttributes = 0100644u << 16;
inline constexpr int kDeflateLevel = 6;

// The entry a save writes for stored bytes kept apart from their archive (a part held in memory
// since the load): name, method, CRC-32 and sizes as kept, the rest as every generated entry has it.
Entry kept_entry(std::string_view name, uint16_t method, uint32_t crc32, uint64_t size, uint64_t stored_size);

class ArchiveWriter {
public:
    // `out` must outlive the writer.
    explicit ArchiveWriter(Output& out);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Adds an entry holding `data`, deflated. Zip error for a name already in the archive or
    // longer than 65535 bytes; the Output's error when writing fails.
    Result<void> add(std::string_view name, std::string_view data);
    // Adds `compressed` as it is, under the source entry's name, method, CRC-32, sizes,
    // timestamp, flags and attributes (bytes as returned by ArchiveReader::read_raw). Whether
    // they are intact is the caller's to check (StoredCheck).
    Result<void> add_raw(const Entry& source, std::string_view compressed);
    // The same for stored bytes that come in pieces: begin_raw writes the entry's header,
    // add_raw_bytes each piece in order, end_raw checks that they came to the compressed size.
    // Nothing else may be added in between; a failure leaves the archive unusable.
    Result<void> begin_raw(const Entry& source);
    Result<void> add_raw_bytes(std::string_view piece);
    Result<void> end_raw();
    // Writes the central directory and end records and flushes. Nothing may be added after.
    Result<void> finish();

private:
    struct Record {
        std::string name;
        uint16_t version_made_by;
        uint16_t version_needed;
        uint16_t flags;
        uint16_t method;
        uint16_t dos_time;
        uint16_t dos_date;
        uint32_t crc32;
        uint64_t compressed_size;
        uint64_t uncompressed_size;
        uint64_t local_header_offset;
        uint16_t internal_attributes;
        uint32_t external_attributes;
    };
    struct CompressorDeleter {
        void operator()(libdeflate_compressor* c) const;
    };

    // The fields the local and central headers share, from "version needed" to the
    // uncompressed size; both sizes read 0xFFFFFFFF when a ZIP64 field carries them both.
    static void put_shared_fields(std::string& header, const Record& record, uint16_t version_needed,
                                  bool both_sizes_in_zip64);
    Result<void> check_can_add(std::string_view name) const;
    Result<void> write_entry(Record record, std::string_view payload);
    Result<void> write_header(Record& record);
    Result<void> emit(std::string_view bytes);
    Result<void> flush();
    Result<void> failed(VelmoError error);

    Output& out_;
    std::string buffer_;
    uint64_t offset_ = 0;
    // A deque so that the names seen by `names_` never move.
    std::deque<Record> records_;
    std::unordered_set<std::string_view> names_;
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> deflater_;
    // Reused between entries. Left uninitialised: it is sized for the worst case, which for a large
    // part is many megabytes that the compressor never reaches, and zeroing them would touch every page.
    std::unique_ptr<char[]> compressed_;
    size_t compressed_capacity_ = 0;
    bool finished_ = false;
    // The raw entry whose bytes are being added, and how many have come so far.
    std::optional<Record> open_raw_;
    uint64_t open_raw_written_ = 0;
    // Once a write has failed the archive is unusable; every later call reports that failure.
    std::optional<VelmoError> error_;
};

}  // namespace velmo::zip
