#pragma once
// Reads a ZIP archive from a file (through pread, so a file truncated under us yields an error
// rather than a signal) or from memory. Every size, offset and count in the archive is treated
// as hostile: nothing is allocated from a declared figure before it has been bounded by the
// file itself, and no entry may inflate beyond kMaxEntrySize.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/error.hpp"
#include "zip/entry.hpp"
#include "zip/part_names.hpp"
#include "zip/stored_check.hpp"

struct libdeflate_decompressor;

namespace velmo::zip {

class ArchiveReader {
public:
    // Opens the file read-only and reads its central directory.
    // Errors: Io when the file cannot be opened; InvalidFormat "invalid Zip archive: ..." when
    // it is not a ZIP archive, "unsupported Zip archive: ..." for kinds not handled (multi-disk);
    // Zip when reading the directory fails.
    static Result<ArchiveReader> open(const std::string& path);
    // The same over bytes already in memory.
    static Result<ArchiveReader> open_memory(std::string bytes);

    ArchiveReader(ArchiveReader&& other) noexcept;
    ArchiveReader& operator=(ArchiveReader&& other) noexcept;
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;
    ~ArchiveReader();

    // Entries in central-directory order.
    const std::vector<Entry>& entries() const { return entries_; }
    // The archive's size in bytes.
    uint64_t size() const { return size_; }
    // The entry of exactly this name, or nullptr when the archive holds none.
    const Entry* find(std::string_view name) const;
    // The one entry that names the same part as `name` (part_names.hpp), spelled so or not;
    // nullptr when none does. When several do, the part is ambiguous: InvalidFormat "invalid Zip
    // archive: ..." naming them, even if one of them is spelled exactly as asked.
    Result<const Entry*> find_part(std::string_view name) const;

    // The entry's content, inflated, with its size and CRC-32 verified. Zip error when the entry
    // cannot be read: damaged local header, encryption, unsupported method, size or CRC mismatch,
    // declared size beyond the limits, input/output failure.
    Result<std::string> read(const Entry& entry) const;
    // The entry's stored bytes as they lie in the archive (compressed for deflated entries),
    // for copying into another archive without recompressing. Refuses encrypted entries.
    Result<std::string> read_raw(const Entry& entry) const;
    // The same bytes handed to `sink` in order, in pieces of at most `piece` bytes read as they
    // are needed, so that copying an entry takes the same memory whatever its size. Stops at the
    // first failure, the sink's included, and returns it.
    using ChunkSink = std::function<Result<void>(std::string_view)>;
    Result<void> read_raw_chunks(const Entry& entry, const ChunkSink& sink, size_t piece = kRawChunkSize) const;
    static constexpr size_t kRawChunkSize = size_t{1} << 18;

    struct DecompressorDeleter {
        void operator()(libdeflate_decompressor* d) const;
    };

private:

    ArchiveReader() = default;
    Result<void> load_directory();
    Result<void> read_at(uint64_t offset, char* dst, size_t size) const;
    // Bytes at [offset, offset + size): a view into memory, or read into `scratch`.
    Result<std::string_view> bytes_at(uint64_t offset, size_t size, std::string& scratch) const;
    Result<size_t> index_of(const Entry& entry) const;
    // Checks the local header of entry `index` and returns where its data starts.
    Result<uint64_t> data_offset(size_t index) const;

    int fd_ = -1;
    bool in_memory_ = false;
    std::string memory_;
    uint64_t size_ = 0;
    std::vector<Entry> entries_;
    // Per entry, the offset its local header and data must end by: the next entry's local
    // header or the central directory. Keeps entries from overlapping each other.
    std::vector<uint64_t> limits_;
    // Views into the names held by entries_, which never changes once built.
    std::unordered_map<std::string_view, size_t> by_name_;
    // The first entry of each part, and per entry the next entry naming the same part, round a
    // cycle (the entry itself when it alone names its part), so that an exact find learns in one
    // step whether its part is spelled elsewhere too.
    std::unordered_map<std::string_view, size_t, PartNameHash, PartNameEqual> by_part_;
    std::vector<size_t> same_part_next_;
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> inflater_;
};

// The content of an entry from the bytes read_raw gave for it, kept apart from its archive:
// inflated, with its size and CRC-32 verified. The same Zip errors as ArchiveReader::read.
Result<std::string> inflate_stored(const Entry& entry, std::string_view stored);

}  // namespace velmo::zip
