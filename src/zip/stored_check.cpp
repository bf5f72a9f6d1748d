#include "zip/stored_check.hpp"

#include <libdeflate.h>
#include <isa-l/igzip_lib.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <charconv>
#include <string>

namespace velmo::zip {

namespace {

// Small enough to stay in cache between the inflater writing it and the CRC reading it.
constexpr size_t kBufferSize = size_t{1} << 18;
// An entry whose stored and inflated bytes both fit this is gathered and inflated in one call by
// libdeflate, which beats any streaming inflater on the literals of pictures; a larger one is
// streamed. So the check holds at most twice this, whatever the entry.
constexpr uint64_t kWholeLimit = uint64_t{8} << 20;
// The streaming inflater counts its input in 32-bit units.
constexpr size_t kMaxPiece = size_t{1} << 30;

std::string decimal(uint64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

}  // namespace

VelmoError entry_error(const Entry& entry, std::string_view detail) {
    return VelmoError::zip(entry.name + ": " + std::string(detail));
}

Result<void> check_crc(const Entry& e, std::string_view data) {
    if (libdeflate_crc32(0, data.data(), data.size()) != e.crc32) return fail(entry_error(e, "CRC-32 mismatch"));
    return {};
}

Result<void> inflate_into(libdeflate_decompressor* inflater, const Entry& e, std::string_view compressed, char* out) {
    const size_t size = static_cast<size_t>(e.uncompressed_size);
    size_t produced = 0;
    const libdeflate_result status =
        libdeflate_deflate_decompress(inflater, compressed.data(), compressed.size(), out, size, &produced);
    if (status == LIBDEFLATE_INSUFFICIENT_SPACE) return fail(entry_error(e, "entry inflates past its declared size"));
    if (status != LIBDEFLATE_SUCCESS) return fail(entry_error(e, "invalid compressed data"));
    if (produced != size) return fail(entry_error(e, "entry inflates to fewer bytes than its declared size"));
    return check_crc(e, std::string_view(out, size));
}

Result<void> check_inflatable(const Entry& e) {
    if (e.encrypted()) return fail(entry_error(e, "entry is encrypted"));
    if (e.method != kMethodStored && e.method != kMethodDeflate) {
        return fail(entry_error(e, "unsupported compression method " + decimal(e.method)));
    }
    // Sizes are checked before anything is allocated for them.
    if (e.uncompressed_size > kMaxEntrySize) {
        return fail(entry_error(e, "declared size " + decimal(e.uncompressed_size) + " exceeds the limit of " +
                                       decimal(kMaxEntrySize) + " bytes"));
    }
    if (e.method == kMethodStored && e.compressed_size != e.uncompressed_size) {
        return fail(entry_error(e, "stored entry sizes disagree"));
    }
    if (e.method == kMethodDeflate && e.compressed_size < e.uncompressed_size / kMaxDeflateRatio +
                                                              (e.uncompressed_size % kMaxDeflateRatio != 0)) {
        return fail(entry_error(e, "declared size " + decimal(e.uncompressed_size) + " is more than " +
                                       decimal(e.compressed_size) + " compressed bytes can hold"));
    }
    return {};
}

StoredCheck::StoredCheck() = default;

StoredCheck::~StoredCheck() = default;

void StoredCheck::InflaterDeleter::operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }

void StoredCheck::FreeDeleter::operator()(char* p) const { std::free(p); }

size_t StoredCheck::piece_size() const {
    return whole_ ? static_cast<size_t>(std::max<uint64_t>(entry_.compressed_size, 1)) : kBufferSize;
}

VelmoError StoredCheck::error(std::string_view detail) const { return entry_error(entry_, detail); }

Result<void> StoredCheck::begin(const Entry& entry) {
    entry_ = entry;
    fed_ = produced_ = 0;
    crc_ = 0;
    stream_ended_ = false;
    started_ = false;
    if (auto ok = check_inflatable(entry_); !ok) return ok;
    whole_ = entry_.method == kMethodDeflate && entry_.compressed_size <= kWholeLimit &&
             entry_.uncompressed_size <= kWholeLimit;
    if (whole_) {
        if (!whole_inflater_) {
            whole_inflater_.reset(libdeflate_alloc_decompressor());
            if (!whole_inflater_) return fail(VelmoError::zip("out of memory"));
        }
        gathered_.clear();
        whole_checked_ = false;
    } else if (entry_.method == kMethodDeflate) {
        if (!stream_) {
            stream_ = std::make_unique<inflate_state>();
            buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
        }
        // Raw DEFLATE, as ZIP entries hold it; the CRC-32 is taken here, over what comes out.
        ::isal_inflate_init(stream_.get());
        stream_->crc_flag = ISAL_DEFLATE;
    }
    started_ = true;
    return {};
}

Result<void> StoredCheck::count_out(const char* data, size_t size) {
    // Refused at the first byte too many, so a bomb costs no more time than its declared size.
    if (size > entry_.uncompressed_size - produced_) return fail(error("entry inflates past its declared size"));
    crc_ = libdeflate_crc32(crc_, data, size);
    produced_ += size;
    return {};
}

Result<void> StoredCheck::feed(std::string_view stored) {
    if (!started_) return fail(error("no check begun"));
    if (stored.size() > entry_.compressed_size - fed_)
        return fail(error("stored bytes do not match the compressed size"));
    const bool all_at_once = fed_ == 0 && stored.size() == entry_.compressed_size;
    fed_ += stored.size();
    if (whole_) {
        if (!all_at_once) {
            gathered_.append(stored);
            return {};
        }
        whole_checked_ = true;
        return inflate_whole(stored);
    }
    if (entry_.method != kMethodDeflate) return count_out(stored.data(), stored.size());
    while (!stored.empty()) {
        const std::string_view piece = stored.substr(0, kMaxPiece);
        if (auto ok = inflate_piece(piece); !ok) return ok;
        stored.remove_prefix(piece.size());
    }
    return {};
}

Result<void> StoredCheck::inflate_piece(std::string_view stored) {
    // What follows the end of the stream is not looked at, as a whole-entry inflation ignores it.
    if (stream_ended_) return {};
    inflate_state& s = *stream_;
    s.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(stored.data()));
    s.avail_in = static_cast<uint32_t>(stored.size());
    for (;;) {
        s.next_out = reinterpret_cast<uint8_t*>(buffer_.get());
        s.avail_out = static_cast<uint32_t>(kBufferSize);
        const int status = ::isal_inflate(&s);
        const size_t out = kBufferSize - s.avail_out;
        if (auto ok = count_out(buffer_.get(), out); !ok) return ok;
        if (status < 0) return fail(error("invalid compressed data"));
        if (s.block_state == ISAL_BLOCK_FINISH) {
            stream_ended_ = true;
            return {};
        }
        // It stops short of filling the buffer when the input runs out; input it left unread
        // with nothing to show for it could never be read.
        if (s.avail_out != 0 && s.avail_in == 0) return {};
        if (s.avail_out != 0 && out == 0) return fail(error("invalid compressed data"));
    }
}

Result<void> StoredCheck::end() {
    if (!started_) return fail(error("no check begun"));
    if (fed_ != entry_.compressed_size) return fail(error("stored bytes do not match the compressed size"));
    if (whole_) return whole_checked_ ? Result<void>{} : inflate_whole(gathered_);
    if (entry_.method == kMethodDeflate) {
        if (!stream_ended_) return fail(error("invalid compressed data"));
        if (produced_ != entry_.uncompressed_size) return fail(error("entry inflates to fewer bytes than its declared size"));
    }
    if (crc_ != entry_.crc32) return fail(error("CRC-32 mismatch"));
    return {};
}

Result<void> StoredCheck::operator()(const Entry& entry, std::string_view stored) {
    if (auto ok = begin(entry); !ok) return ok;
    if (stored.size() != entry.compressed_size) return fail(error("stored bytes do not match the compressed size"));
    // Held whole already: no need to gather them first.
    if (whole_) return inflate_whole(stored);
    if (auto ok = feed(stored); !ok) return ok;
    return end();
}

Result<void> StoredCheck::inflate_whole(std::string_view stored) {
    const size_t size = static_cast<size_t>(entry_.uncompressed_size);
    if (whole_capacity_ < size) {
        whole_buffer_.reset();  // the old buffer goes before the new one is made
        whole_capacity_ = 0;
        // Written once and dropped, so the buffer costs mostly its page faults: in huge pages
        // where the system has them, a picture of megabytes takes a few faults, not thousands.
        constexpr size_t kHugePage = size_t{2} << 20;
        const size_t rounded = size < kHugePage ? size : (size + kHugePage - 1) & ~(kHugePage - 1);
        void* p = nullptr;
        if (::posix_memalign(&p, size < kHugePage ? alignof(std::max_align_t) : kHugePage, rounded) != 0)
            return fail(VelmoError::zip("out of memory"));
#ifdef MADV_HUGEPAGE
        if (rounded >= kHugePage) ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
        whole_buffer_.reset(static_cast<char*>(p));
        whole_capacity_ = rounded;
    }
    return inflate_into(whole_inflater_.get(), entry_, stored, whole_buffer_.get());
}

}  // namespace velmo::zip
