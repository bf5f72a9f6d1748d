#include "zip/archive_writer.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <utility>

#include "zip/format.hpp"

namespace velmo::zip {

namespace {

using namespace format;

// Large enough that a part is written in a few big calls, small enough not to matter.
constexpr size_t kBufferSize = size_t{1} << 20;
// Unix host in the upper byte, so readers take the external attributes as a file mode.
constexpr uint16_t kVersionMadeBy = (3 << 8) | kVersionDeflate;

bool needs_zip64(uint64_t v) { return v >= kMax32; }

uint32_t field32(uint64_t v) { return needs_zip64(v) ? kMax32 : static_cast<uint32_t>(v); }

bool is_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

Entry kept_entry(std::string_view name, uint16_t method, uint32_t crc32, uint64_t size, uint64_t stored_size) {
    Entry e;
    e.name = std::string(name);
    e.version_made_by = kVersionMadeBy;
    e.version_needed = kVersionDeflate;
    e.flags = is_ascii(name) ? uint16_t{0} : kFlagUtf8;
    e.method = method;
    e.dos_time = kFixedDosTime;
    e.dos_date = kFixedDosDate;
    e.crc32 = crc32;
    e.compressed_size = stored_size;
    e.uncompressed_size = size;
    e.external_attributes = kRegularFileAttributes;
    return e;
}

void ArchiveWriter::CompressorDeleter::operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }

ArchiveWriter::ArchiveWriter(Output& out) : out_(out) { buffer_.reserve(kBufferSize); }

ArchiveWriter::~ArchiveWriter() = default;

Result<void> ArchiveWriter::failed(VelmoError error) {
    error_ = error;
    return fail(std::move(error));
}

Result<void> ArchiveWriter::flush() {
    if (buffer_.empty()) return {};
    auto r = out_.write(buffer_);
    buffer_.clear();
    if (!r) return failed(std::move(r.error()));
    return {};
}

Result<void> ArchiveWriter::emit(std::string_view bytes) {
    if (bytes.size() > kBufferSize - buffer_.size()) {
        if (auto r = flush(); !r) return r;
        // Big payloads go straight through rather than being copied into the buffer.
        if (bytes.size() >= kBufferSize) {
            if (auto r = out_.write(bytes); !r) return failed(std::move(r.error()));
            offset_ += bytes.size();
            return {};
        }
    }
    buffer_.append(bytes);
    offset_ += bytes.size();
    return {};
}

Result<void> ArchiveWriter::check_can_add(std::string_view name) const {
    if (error_) return fail(*error_);
    if (finished_) return fail(VelmoError::zip("archive already finished"));
    if (open_raw_) return fail(VelmoError::zip("entry " + open_raw_->name + " is still open"));
    if (name.size() > kMax16) return fail(VelmoError::zip("entry name longer than 65535 bytes"));
    if (names_.contains(name)) return fail(VelmoError::zip("duplicate entry name " + std::string(name)));
    return {};
}

Result<void> ArchiveWriter::add(std::string_view name, std::string_view data) {
    if (auto r = check_can_add(name); !r) return r;
    if (!deflater_) {
        deflater_.reset(libdeflate_alloc_compressor(kDeflateLevel));
        if (!deflater_) return fail(VelmoError::zip("out of memory"));
    }
    size_t bound = libdeflate_deflate_compress_bound(deflater_.get(), data.size());
    if (compressed_capacity_ < bound) {
        compressed_.reset();  // the old buffer goes before the new one is made
        compressed_ = std::make_unique_for_overwrite<char[]>(bound);
        compressed_capacity_ = bound;
    }
    size_t compressed_size =
        libdeflate_deflate_compress(deflater_.get(), data.data(), data.size(), compressed_.get(), bound);
    if (compressed_size == 0) return fail(VelmoError::zip("compression failed for entry " + std::string(name)));

    Record record{
        .name = std::string(name),
        .version_made_by = kVersionMadeBy,
        .version_needed = kVersionDeflate,
        .flags = is_ascii(name) ? uint16_t{0} : kFlagUtf8,
        .method = kMethodDeflate,
        .dos_time = kFixedDosTime,
        .dos_date = kFixedDosDate,
        .crc32 = libdeflate_crc32(0, data.data(), data.size()),
        .compressed_size = compressed_size,
        .uncompressed_size = data.size(),
        .local_header_offset = 0,
        .internal_attributes = 0,
        .external_attributes = kRegularFileAttributes,
    };
    return write_entry(std::move(record), std::string_view(compressed_.get(), compressed_size));
}

Result<void> ArchiveWriter::add_raw(const Entry& source, std::string_view compressed) {
    if (auto r = check_can_add(source.name); !r) return r;
    if (compressed.size() != source.compressed_size) {
        return fail(VelmoError::zip("raw bytes do not match the compressed size of entry " + source.name));
    }
    if (auto r = begin_raw(source); !r) return r;
    if (auto r = add_raw_bytes(compressed); !r) return r;
    return end_raw();
}

Result<void> ArchiveWriter::begin_raw(const Entry& source) {
    if (auto r = check_can_add(source.name); !r) return r;
    Record record{
        .name = source.name,
        .version_made_by = source.version_made_by,
        .version_needed = source.version_needed,
        // The sizes go in the local header, so no data descriptor follows.
        .flags = static_cast<uint16_t>(source.flags & ~kFlagDataDescriptor),
        .method = source.method,
        .dos_time = source.dos_time,
        .dos_date = source.dos_date,
        .crc32 = source.crc32,
        .compressed_size = source.compressed_size,
        .uncompressed_size = source.uncompressed_size,
        .local_header_offset = 0,
        .internal_attributes = source.internal_attributes,
        .external_attributes = source.external_attributes,
    };
    if (auto r = write_header(record); !r) return r;
    open_raw_ = std::move(record);
    open_raw_written_ = 0;
    return {};
}

Result<void> ArchiveWriter::add_raw_bytes(std::string_view piece) {
    if (error_) return fail(*error_);
    if (!open_raw_) return failed(VelmoError::zip("no raw entry is open"));
    if (piece.size() > open_raw_->compressed_size - open_raw_written_)
        return failed(VelmoError::zip("raw bytes do not match the compressed size of entry " + open_raw_->name));
    open_raw_written_ += piece.size();
    return emit(piece);
}

Result<void> ArchiveWriter::end_raw() {
    if (error_) return fail(*error_);
    if (!open_raw_) return failed(VelmoError::zip("no raw entry is open"));
    if (open_raw_written_ != open_raw_->compressed_size)
        return failed(VelmoError::zip("raw bytes do not match the compressed size of entry " + open_raw_->name));
    records_.push_back(std::move(*open_raw_));
    names_.insert(records_.back().name);
    open_raw_.reset();
    return {};
}

void ArchiveWriter::put_shared_fields(std::string& header, const Record& record, uint16_t version_needed,
                                      bool both_sizes_in_zip64) {
    put16(header, version_needed);
    put16(header, record.flags);
    put16(header, record.method);
    put16(header, record.dos_time);
    put16(header, record.dos_date);
    put32(header, record.crc32);
    put32(header, both_sizes_in_zip64 ? kMax32 : field32(record.compressed_size));
    put32(header, both_sizes_in_zip64 ? kMax32 : field32(record.uncompressed_size));
}

Result<void> ArchiveWriter::write_header(Record& record) {
    record.local_header_offset = offset_;
    bool zip64 = needs_zip64(record.compressed_size) || needs_zip64(record.uncompressed_size);
    if (zip64) record.version_needed = std::max(record.version_needed, kVersionZip64);

    std::string header;
    header.reserve(kLocalHeaderSize + record.name.size() + 20);
    put32(header, kLocalHeaderSignature);
    // The local ZIP64 field holds both sizes, so both classic fields defer to it.
    put_shared_fields(header, record, record.version_needed, zip64);
    put16(header, static_cast<uint16_t>(record.name.size()));
    put16(header, zip64 ? 20 : 0);
    header += record.name;
    if (zip64) {
        // In a local header the ZIP64 field carries both sizes whenever it is present.
        put16(header, kZip64ExtraTag);
        put16(header, 16);
        put64(header, record.uncompressed_size);
        put64(header, record.compressed_size);
    }
    return emit(header);
}

Result<void> ArchiveWriter::write_entry(Record record, std::string_view payload) {
    if (auto r = write_header(record); !r) return r;
    if (auto r = emit(payload); !r) return r;
    records_.push_back(std::move(record));
    names_.insert(records_.back().name);
    return {};
}

Result<void> ArchiveWriter::finish() {
    if (error_) return fail(*error_);
    if (finished_) return fail(VelmoError::zip("archive already finished"));
    if (open_raw_) return failed(VelmoError::zip("entry " + open_raw_->name + " is still open"));

    const uint64_t directory_offset = offset_;
    std::string header;
    for (const Record& r : records_) {
        std::string extra;
        if (needs_zip64(r.uncompressed_size)) put64(extra, r.uncompressed_size);
        if (needs_zip64(r.compressed_size)) put64(extra, r.compressed_size);
        if (needs_zip64(r.local_header_offset)) put64(extra, r.local_header_offset);
        uint16_t version_needed = extra.empty() ? r.version_needed : std::max(r.version_needed, kVersionZip64);

        header.clear();
        put32(header, kCentralHeaderSignature);
        put16(header, r.version_made_by);
        put_shared_fields(header, r, version_needed, false);
        put16(header, static_cast<uint16_t>(r.name.size()));
        put16(header, static_cast<uint16_t>(extra.empty() ? 0 : extra.size() + 4));
        put16(header, 0);  // comment
        put16(header, 0);  // disk
        put16(header, r.internal_attributes);
        put32(header, r.external_attributes);
        put32(header, field32(r.local_header_offset));
        header += r.name;
        if (!extra.empty()) {
            put16(header, kZip64ExtraTag);
            put16(header, static_cast<uint16_t>(extra.size()));
            header += extra;
        }
        if (auto w = emit(header); !w) return w;
    }
    const uint64_t directory_size = offset_ - directory_offset;
    const uint64_t count = records_.size();

    header.clear();
    if (count >= kMax16 || needs_zip64(directory_size) || needs_zip64(directory_offset)) {
        const uint64_t record_offset = offset_;
        put32(header, kZip64EndSignature);
        put64(header, kZip64EndSize - 12);
        put16(header, (3 << 8) | kVersionZip64);
        put16(header, kVersionZip64);
        put32(header, 0);  // this disk
        put32(header, 0);  // disk holding the directory
        put64(header, count);
        put64(header, count);
        put64(header, directory_size);
        put64(header, directory_offset);
        put32(header, kZip64LocatorSignature);
        put32(header, 0);
        put64(header, record_offset);
        put32(header, 1);  // total disks
    }
    const uint16_t count16 = count >= kMax16 ? kMax16 : static_cast<uint16_t>(count);
    put32(header, kEndSignature);
    put16(header, 0);
    put16(header, 0);
    put16(header, count16);
    put16(header, count16);
    put32(header, field32(directory_size));
    put32(header, field32(directory_offset));
    put16(header, 0);  // comment
    if (auto w = emit(header); !w) return w;
    if (auto w = flush(); !w) return w;
    finished_ = true;
    return {};
}

}  // namespace velmo::zip
