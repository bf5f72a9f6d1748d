#pragma once
// The check a raw copy makes before it passes on an entry's stored bytes, which it would otherwise
// take on trust: they must inflate to exactly the size and CRC-32 the archive records for them, the
// same verdict and message as ArchiveReader::read. The bytes may come piece by piece; a large entry
// is inflated through one fixed buffer, so a check takes the same memory whatever the entry's size.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "model/error.hpp"
#include "zip/entry.hpp"

struct inflate_state;
struct libdeflate_decompressor;

namespace velmo::zip {

// What every inflation of an entry refuses before it allocates or reads anything: an encrypted
// entry, a method other than stored or deflate, a declared size over kMaxEntrySize, stored sizes
// that disagree, or a declared size more than the compressed bytes can hold. Zip naming the entry.
Result<void> check_inflatable(const Entry& entry);

// Zip "<entry name>: <detail>".
VelmoError entry_error(const Entry& entry, std::string_view detail);
// The entry's content `data` checked against its CRC-32.
Result<void> check_crc(const Entry& entry, std::string_view data);
// Inflates a deflated entry's `compressed` bytes into `out`, which has room for exactly its
// declared size, and checks that they fill it and match its CRC-32.
Result<void> inflate_into(libdeflate_decompressor* inflater, const Entry& entry, std::string_view compressed, char* out);

class StoredCheck {
public:
    StoredCheck();
    ~StoredCheck();
    StoredCheck(const StoredCheck&) = delete;
    StoredCheck& operator=(const StoredCheck&) = delete;

    // Starts on `entry`, refusing at once what check_inflatable refuses.
    Result<void> begin(const Entry& entry);
    // The next piece of the entry's stored bytes. Fails as soon as they prove damaged.
    Result<void> feed(std::string_view stored);
    // After the last piece: whether they came to the compressed size and inflated to the entry.
    Result<void> end();
    // The pieces it takes best once begun: all the stored bytes of an entry small enough to
    // inflate in one call, so that they need not be gathered, else a buffer's worth.
    size_t piece_size() const;
    // The three over stored bytes held whole.
    Result<void> operator()(const Entry& entry, std::string_view stored);

private:
    Result<void> inflate_piece(std::string_view stored);
    Result<void> inflate_whole(std::string_view stored);
    Result<void> count_out(const char* data, size_t size);
    VelmoError error(std::string_view detail) const;

    Entry entry_;
    uint64_t fed_ = 0;       // stored bytes so far
    uint64_t produced_ = 0;  // inflated bytes so far
    uint32_t crc_ = 0;
    bool stream_ended_ = false;
    bool started_ = false;  // begin accepted the entry
    std::unique_ptr<inflate_state> stream_;
    std::unique_ptr<char[]> buffer_;
    // A small entry, inflated in one call: its stored bytes gathered, then inflated into a buffer
    // kept for the next one.
    struct InflaterDeleter {
        void operator()(libdeflate_decompressor* d) const;
    };
    struct FreeDeleter {
        void operator()(char* p) const;
    };
    bool whole_ = false;
    bool whole_checked_ = false;  // the bytes came in one piece and were inflated then
    std::string gathered_;
    std::unique_ptr<libdeflate_decompressor, InflaterDeleter> whole_inflater_;
    std::unique_ptr<char[], FreeDeleter> whole_buffer_;
    size_t whole_capacity_ = 0;
};

}  // namespace velmo::zip
