#include "zip/archive_reader.hpp"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <optional>
#include <utility>

#include "zip/format.hpp"
#include "zip/stored_check.hpp"

namespace velmo::zip {

namespace {

using namespace format;

VelmoError invalid(std::string_view detail) {
    return VelmoError::invalid_format("invalid Zip archive: " + std::string(detail));
}

VelmoError unsupported(std::string_view detail) {
    return VelmoError::invalid_format("unsupported Zip archive: " + std::string(detail));
}

// True when [offset, offset + size) lies within [0, limit), without overflowing.
bool fits(uint64_t offset, uint64_t size, uint64_t limit) { return offset <= limit && size <= limit - offset; }

// The ZIP64 extended-information fields present for the 32-bit fields set to their maximum.
struct Zip64Needs {
    bool uncompressed = false;
    bool compressed = false;
    bool offset = false;
    bool disk = false;
    bool any() const { return uncompressed || compressed || offset || disk; }
};

// Fills the fields of `entry` that the central header left at their maximum from its ZIP64
// extra field. Other extra fields are skipped; a malformed tail is ignored as other readers do.
Result<void> apply_zip64_extra(Entry& entry, Zip64Needs needs, const char* extra, size_t size) {
    size_t pos = 0;
    while (size - pos >= 4) {
        uint16_t tag = get16(extra + pos);
        size_t len = get16(extra + pos + 2);
        pos += 4;
        if (len > size - pos) break;
        if (tag == kZip64ExtraTag) {
            const char* p = extra + pos;
            size_t need = 8 * (needs.uncompressed + needs.compressed + needs.offset) + 4 * needs.disk;
            if (len < need) return fail(invalid("ZIP64 extra field too short for entry " + entry.name));
            if (needs.uncompressed) entry.uncompressed_size = get64(p), p += 8;
            if (needs.compressed) entry.compressed_size = get64(p), p += 8;
            if (needs.offset) entry.local_header_offset = get64(p), p += 8;
            return {};
        }
        pos += len;
    }
    return fail(invalid("missing ZIP64 extra field for entry " + entry.name));
}

// A string of `size` bytes written by `fill(char*, size_t)`, without zeroing it first. Reserving
// first keeps clear of libstdc++ 12's resize_and_overwrite, which sets the wrong length when
// it has to grow the string.
template <class Fill>
std::string filled_string(size_t size, Fill fill) {
    std::string out;
    out.reserve(size);
    out.resize_and_overwrite(size, [&](char* p, size_t n) {
        fill(p, n);
        return n;
    });
    return out;
}

}  // namespace

void ArchiveReader::DecompressorDeleter::operator()(libdeflate_decompressor* d) const {
    libdeflate_free_decompressor(d);
}

ArchiveReader::ArchiveReader(ArchiveReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      in_memory_(other.in_memory_),
      memory_(std::move(other.memory_)),
      size_(other.size_),
      entries_(std::move(other.entries_)),
      limits_(std::move(other.limits_)),
      by_name_(std::move(other.by_name_)),
      by_part_(std::move(other.by_part_)),
      same_part_next_(std::move(other.same_part_next_)),
      inflater_(std::move(other.inflater_)) {}

ArchiveReader& ArchiveReader::operator=(ArchiveReader&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        in_memory_ = other.in_memory_;
        memory_ = std::move(other.memory_);
        size_ = other.size_;
        entries_ = std::move(other.entries_);
        limits_ = std::move(other.limits_);
        by_name_ = std::move(other.by_name_);
        by_part_ = std::move(other.by_part_);
        same_part_next_ = std::move(other.same_part_next_);
        inflater_ = std::move(other.inflater_);
    }
    return *this;
}

ArchiveReader::~ArchiveReader() {
    if (fd_ >= 0) ::close(fd_);
}

Result<ArchiveReader> ArchiveReader::open(const std::string& path) {
    if (path.find('\0') != std::string::npos) return fail(VelmoError::io(std::strerror(EINVAL), EINVAL));
    // Without blocking: opening a FIFO for reading would otherwise wait for a writer, forever.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        return fail(VelmoError::io(std::strerror(err), err));
    }
    ArchiveReader reader;
    reader.fd_ = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        return fail(VelmoError::io(std::strerror(err), err));
    }
    if (S_ISDIR(st.st_mode)) return fail(VelmoError::io(std::strerror(EISDIR), EISDIR));
    if (!S_ISREG(st.st_mode)) return fail(invalid("not a regular file"));
    reader.size_ = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (auto loaded = reader.load_directory(); !loaded) return fail(std::move(loaded.error()));
    return reader;
}

Result<ArchiveReader> ArchiveReader::open_memory(std::string bytes) {
    ArchiveReader reader;
    reader.in_memory_ = true;
    reader.memory_ = std::move(bytes);
    reader.size_ = reader.memory_.size();
    if (auto loaded = reader.load_directory(); !loaded) return fail(std::move(loaded.error()));
    return reader;
}

Result<void> ArchiveReader::read_at(uint64_t offset, char* dst, size_t size) const {
    if (!fits(offset, size, size_)) return fail(VelmoError::zip("read past the end of the archive"));
    if (in_memory_) {
        std::memcpy(dst, memory_.data() + offset, size);
        return {};
    }
    while (size > 0) {
        ssize_t n = ::pread(fd_, dst, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(VelmoError::zip(std::string("read failed: ") + std::strerror(errno)));
        }
        // The file shrank since it was opened.
        if (n == 0) return fail(VelmoError::zip("unexpected end of file"));
        dst += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return {};
}

Result<std::string_view> ArchiveReader::bytes_at(uint64_t offset, size_t size, std::string& scratch) const {
    if (in_memory_) {
        if (!fits(offset, size, size_)) return fail(VelmoError::zip("read past the end of the archive"));
        return std::string_view(memory_.data() + offset, size);
    }
    scratch.resize(size);
    if (auto r = read_at(offset, scratch.data(), size); !r) return fail(std::move(r.error()));
    return std::string_view(scratch);
}

Result<void> ArchiveReader::load_directory() {
    if (size_ < kEndSize) return fail(invalid("file too short to be a Zip archive"));

    // The end record sits in the last 22 bytes plus at most a 64 KiB comment. Search backwards
    // for a signature whose comment runs exactly to the end of the file; a comment may itself
    // hold those four bytes. Failing that, take the last one whose comment fits, as an archive
    // may carry trailing bytes.
    uint64_t tail_size = std::min<uint64_t>(size_, kEndSize + kMaxCommentSize);
    uint64_t tail_offset = size_ - tail_size;
    std::string tail(tail_size, '\0');
    if (auto r = read_at(tail_offset, tail.data(), tail.size()); !r) return fail(std::move(r.error()));
    size_t end_pos = std::string::npos;
    for (size_t i = tail.size() - kEndSize + 1; i-- > 0;) {
        if (get32(tail.data() + i) != kEndSignature) continue;
        size_t record_end = i + kEndSize + get16(tail.data() + i + 20);
        if (record_end == tail.size()) {
            end_pos = i;
            break;
        }
        if (record_end < tail.size() && end_pos == std::string::npos) end_pos = i;
    }
    if (end_pos == std::string::npos) {
        // An encrypted workbook (or a legacy .xls) is a compound file: say so rather than leave the
        // caller to guess why a file named .xlsx is no archive.
        static constexpr char kCompound[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
        char head[sizeof kCompound - 1];
        if (size_ >= sizeof head && read_at(0, head, sizeof head) && std::memcmp(head, kCompound, sizeof head) == 0)
            return fail(invalid("a compound file, not a Zip archive (an encrypted workbook or a legacy .xls)"));
        return fail(invalid("end of central directory record not found"));
    }
    const char* end = tail.data() + end_pos;
    uint64_t end_offset = tail_offset + end_pos;

    uint64_t disk = get16(end + 4);
    uint64_t directory_disk = get16(end + 6);
    uint64_t disk_entries = get16(end + 8);
    uint64_t total_entries = get16(end + 10);
    uint64_t directory_size = get32(end + 12);
    uint64_t directory_offset = get32(end + 16);
    // Where the central directory must end: the first end record that follows it.
    uint64_t directory_limit = end_offset;

    char locator[kZip64LocatorSize];
    bool has_locator = false;
    if (end_offset >= kZip64LocatorSize) {
        if (auto r = read_at(end_offset - kZip64LocatorSize, locator, sizeof locator); !r) {
            return fail(std::move(r.error()));
        }
        has_locator = get32(locator) == kZip64LocatorSignature;
    }
    if (has_locator) {
        uint32_t record_disk = get32(locator + 4);
        uint64_t record_offset = get64(locator + 8);
        uint32_t disk_count = get32(locator + 16);
        if (record_disk != 0 || disk_count > 1) return fail(unsupported("multi-disk archives are not supported"));
        uint64_t locator_offset = end_offset - kZip64LocatorSize;
        if (!fits(record_offset, kZip64EndSize, locator_offset)) {
            return fail(invalid("ZIP64 end of central directory record out of bounds"));
        }
        char record[kZip64EndSize];
        if (auto r = read_at(record_offset, record, sizeof record); !r) return fail(std::move(r.error()));
        if (get32(record) != kZip64EndSignature) {
            return fail(invalid("bad ZIP64 end of central directory record signature"));
        }
        disk = get32(record + 16);
        directory_disk = get32(record + 20);
        disk_entries = get64(record + 24);
        total_entries = get64(record + 32);
        directory_size = get64(record + 40);
        directory_offset = get64(record + 48);
        directory_limit = record_offset;
    }
    if (disk != 0 || directory_disk != 0 || disk_entries != total_entries) {
        return fail(unsupported("multi-disk archives are not supported"));
    }
    if (!fits(directory_offset, directory_size, directory_limit)) {
        return fail(invalid("central directory out of bounds"));
    }
    if (total_entries > directory_size / kCentralHeaderSize) {
        return fail(invalid("entry count larger than the central directory can hold"));
    }

    std::string directory_scratch;
    auto directory_bytes = bytes_at(directory_offset, static_cast<size_t>(directory_size), directory_scratch);
    if (!directory_bytes) return fail(std::move(directory_bytes.error()));
    const char* dir = directory_bytes->data();
    const size_t dir_size = directory_bytes->size();

    entries_.reserve(static_cast<size_t>(total_entries));
    by_name_.reserve(static_cast<size_t>(total_entries));
    size_t pos = 0;
    for (uint64_t n = 0; n < total_entries; ++n) {
        if (dir_size - pos < kCentralHeaderSize) return fail(invalid("central directory truncated"));
        const char* h = dir + pos;
        if (get32(h) != kCentralHeaderSignature) return fail(invalid("bad central directory entry signature"));
        size_t name_size = get16(h + 28);
        size_t extra_size = get16(h + 30);
        size_t comment_size = get16(h + 32);
        size_t record_size = kCentralHeaderSize + name_size + extra_size + comment_size;
        if (record_size > dir_size - pos) return fail(invalid("central directory entry overruns the directory"));

        Entry e;
        e.version_made_by = get16(h + 4);
        e.version_needed = get16(h + 6);
        e.flags = get16(h + 8);
        e.method = get16(h + 10);
        e.dos_time = get16(h + 12);
        e.dos_date = get16(h + 14);
        e.crc32 = get32(h + 16);
        e.compressed_size = get32(h + 20);
        e.uncompressed_size = get32(h + 24);
        e.internal_attributes = get16(h + 36);
        e.external_attributes = get32(h + 38);
        e.local_header_offset = get32(h + 42);
        e.name.assign(h + kCentralHeaderSize, name_size);

        Zip64Needs needs;
        needs.uncompressed = e.uncompressed_size == kMax32;
        needs.compressed = e.compressed_size == kMax32;
        needs.offset = e.local_header_offset == kMax32;
        needs.disk = get16(h + 34) == kMax16;
        if (needs.any()) {
            auto applied = apply_zip64_extra(e, needs, h + kCentralHeaderSize + name_size, extra_size);
            if (!applied) return fail(std::move(applied.error()));
        }
        if (e.local_header_offset >= directory_offset) {
            return fail(invalid("local header offset out of bounds for entry " + e.name));
        }
        entries_.push_back(std::move(e));
        if (!by_name_.emplace(entries_.back().name, entries_.size() - 1).second) {
            return fail(invalid("duplicate entry name " + entries_.back().name));
        }
        pos += record_size;
    }

    // Entries must not share bytes: each one ends where the next begins, the last where the
    // central directory begins. Overlapping entries are how a small file inflates to terabytes.
    std::vector<size_t> order(entries_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return entries_[a].local_header_offset < entries_[b].local_header_offset;
    });
    limits_.assign(entries_.size(), directory_offset);
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        uint64_t next = entries_[order[i + 1]].local_header_offset;
        if (next == entries_[order[i]].local_header_offset) {
            return fail(invalid("entries overlap: " + entries_[order[i]].name + " and " +
                                entries_[order[i + 1]].name));
        }
        limits_[order[i]] = next;
    }

    same_part_next_.resize(entries_.size());
    by_part_.reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
        auto [first, fresh] = by_part_.try_emplace(entries_[i].name, i);
        same_part_next_[i] = fresh ? i : std::exchange(same_part_next_[first->second], i);
    }

    inflater_.reset(libdeflate_alloc_decompressor());
    if (!inflater_) return fail(VelmoError::zip("out of memory"));
    return {};
}

const Entry* ArchiveReader::find(std::string_view name) const {
    auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : &entries_[it->second];
}

Result<const Entry*> ArchiveReader::find_part(std::string_view name) const {
    size_t index = 0;
    if (auto exact = by_name_.find(name); exact != by_name_.end()) {
        index = exact->second;
    } else if (auto part = by_part_.find(name); part != by_part_.end()) {
        index = part->second;
    } else {
        return static_cast<const Entry*>(nullptr);
    }
    if (same_part_next_[index] == index) return &entries_[index];
    std::vector<size_t> same{index};
    for (size_t i = same_part_next_[index]; i != index; i = same_part_next_[i]) same.push_back(i);
    std::sort(same.begin(), same.end());
    std::string names = "entries ";
    for (size_t k = 0; k < same.size(); ++k) {
        if (k > 0) names += k + 1 == same.size() ? " and " : ", ";
        names += entries_[same[k]].name;
    }
    return fail(invalid(names + " name one part"));
}

Result<size_t> ArchiveReader::index_of(const Entry& entry) const {
    if (!entries_.empty() && &entry >= entries_.data() && &entry < entries_.data() + entries_.size()) {
        return static_cast<size_t>(&entry - entries_.data());
    }
    // A copy of one of our entries is accepted; the directory's own record is used either way.
    auto it = by_name_.find(entry.name);
    if (it == by_name_.end() || entries_[it->second].local_header_offset != entry.local_header_offset) {
        return fail(entry_error(entry, "entry does not belong to this archive"));
    }
    return it->second;
}

Result<uint64_t> ArchiveReader::data_offset(size_t index) const {
    const Entry& e = entries_[index];
    const uint64_t limit = limits_[index];
    if (e.encrypted()) return fail(entry_error(e, "entry is encrypted"));
    // Read the fixed header and the name we expect in one go.
    if (!fits(e.local_header_offset, kLocalHeaderSize + e.name.size(), limit)) {
        return fail(entry_error(e, "local header out of bounds"));
    }
    std::string header(kLocalHeaderSize + e.name.size(), '\0');
    if (auto r = read_at(e.local_header_offset, header.data(), header.size()); !r) {
        return fail(entry_error(e, r.error().message));
    }
    if (get32(header.data()) != kLocalHeaderSignature) return fail(entry_error(e, "bad local header signature"));
    uint16_t flags = get16(header.data() + 6);
    uint16_t method = get16(header.data() + 8);
    size_t name_size = get16(header.data() + 26);
    size_t extra_size = get16(header.data() + 28);
    if (flags & kFlagEncrypted) return fail(entry_error(e, "entry is encrypted"));
    if (method != e.method) return fail(entry_error(e, "local header disagrees with the central directory on the compression method"));
    if (name_size != e.name.size() || std::string_view(header).substr(kLocalHeaderSize) != e.name) {
        return fail(entry_error(e, "local header disagrees with the central directory on the name"));
    }
    uint64_t data = e.local_header_offset + kLocalHeaderSize + name_size;
    if (!fits(data, extra_size, limit)) return fail(entry_error(e, "local header out of bounds"));
    data += extra_size;
    if (!fits(data, e.compressed_size, limit)) return fail(entry_error(e, "entry data out of bounds"));
    return data;
}

namespace {

// A deflated entry's `compressed` bytes inflated, checked against its declared size and CRC-32.
Result<std::string> inflate_checked(libdeflate_decompressor* inflater, const Entry& e, std::string_view compressed) {
    std::optional<VelmoError> error;
    std::string out = filled_string(static_cast<size_t>(e.uncompressed_size), [&](char* p, size_t) {
        if (auto r = inflate_into(inflater, e, compressed, p); !r) error = std::move(r.error());
    });
    if (error) return fail(std::move(*error));
    return out;
}

}  // namespace

Result<std::string> ArchiveReader::read(const Entry& entry) const {
    auto index = index_of(entry);
    if (!index) return fail(std::move(index.error()));
    const Entry& e = entries_[*index];
    if (auto ok = check_inflatable(e); !ok) return fail(std::move(ok.error()));
    auto data = data_offset(*index);
    if (!data) return fail(std::move(data.error()));

    const size_t size = static_cast<size_t>(e.uncompressed_size);
    if (e.method == kMethodDeflate) {
        std::string scratch;
        auto compressed = bytes_at(*data, static_cast<size_t>(e.compressed_size), scratch);
        if (!compressed) return fail(entry_error(e, compressed.error().message));
        return inflate_checked(inflater_.get(), e, *compressed);
    }
    std::optional<VelmoError> error;
    std::string out = filled_string(size, [&](char* p, size_t n) {
        if (auto r = read_at(*data, p, n); !r) error = std::move(r.error());
    });
    if (error) return fail(entry_error(e, error->message));
    if (auto ok = check_crc(e, out); !ok) return fail(std::move(ok.error()));
    return out;
}

Result<std::string> inflate_stored(const Entry& entry, std::string_view stored) {
    if (auto ok = check_inflatable(entry); !ok) return fail(std::move(ok.error()));
    if (stored.size() != entry.compressed_size) return fail(entry_error(entry, "stored bytes do not match the compressed size"));
    if (entry.method == kMethodDeflate) {
        std::unique_ptr<libdeflate_decompressor, ArchiveReader::DecompressorDeleter> inflater(libdeflate_alloc_decompressor());
        if (!inflater) return fail(VelmoError::zip("out of memory"));
        return inflate_checked(inflater.get(), entry, stored);
    }
    if (auto ok = check_crc(entry, stored); !ok) return fail(std::move(ok.error()));
    return std::string(stored);
}

Result<std::string> ArchiveReader::read_raw(const Entry& entry) const {
    auto index = index_of(entry);
    if (!index) return fail(std::move(index.error()));
    const Entry& e = entries_[*index];
    auto data = data_offset(*index);
    if (!data) return fail(std::move(data.error()));
    // data_offset bounded the size by the file, so this allocation is backed by real bytes.
    std::optional<VelmoError> error;
    std::string out = filled_string(static_cast<size_t>(e.compressed_size), [&](char* p, size_t n) {
        if (auto r = read_at(*data, p, n); !r) error = std::move(r.error());
    });
    if (error) return fail(entry_error(e, error->message));
    return out;
}

Result<void> ArchiveReader::read_raw_chunks(const Entry& entry, const ChunkSink& sink, size_t piece) const {
    auto index = index_of(entry);
    if (!index) return fail(std::move(index.error()));
    const Entry& e = entries_[*index];
    auto data = data_offset(*index);
    if (!data) return fail(std::move(data.error()));
    if (in_memory_) return sink(std::string_view(memory_.data() + *data, static_cast<size_t>(e.compressed_size)));
    piece = static_cast<size_t>(std::min<uint64_t>(e.compressed_size, std::max<size_t>(piece, 1)));
    const auto buffer = std::make_unique_for_overwrite<char[]>(piece);
    for (uint64_t done = 0; done < e.compressed_size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(e.compressed_size - done, piece));
        if (auto r = read_at(*data + done, buffer.get(), n); !r) return fail(entry_error(e, r.error().message));
        if (auto r = sink(std::string_view(buffer.get(), n)); !r) return r;
        done += n;
    }
    return {};
}

}  // namespace velmo::zip
