// The ZIP directory reader and the entry reader over arbitrary bytes.

#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "zip/archive_reader.hpp"
#include "zip/stored_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto archive = velmo::zip::ArchiveReader::open_memory(std::string(velmo::fuzz::as_view(data, size)));
    if (!archive) return 0;
    velmo::zip::StoredCheck check;
    for (const auto& entry : archive->entries()) {
        FUZZ_CHECK(archive->find(entry.name) != nullptr);
        // Its part is found as this entry, unless another entry names it too.
        if (auto part = archive->find_part(entry.name)) FUZZ_CHECK(*part == &entry);
        auto content = archive->read(entry);
        if (content) FUZZ_CHECK(content->size() == entry.uncompressed_size);
        auto raw = archive->read_raw(entry);
        if (!raw) continue;
        FUZZ_CHECK(raw->size() == entry.compressed_size);
        // The check of a raw copy, in the pieces a copy from a file gives it. An entry it inflates
        // whole must get the read's verdict; a large one is streamed by another inflater, which
        // must only come through unharmed.
        if (!check.begin(entry)) continue;
        bool fed = true;
        for (size_t at = 0; fed && at < raw->size(); at += 4093) fed = check.feed(std::string_view(*raw).substr(at, 4093)).has_value();
        const bool intact = fed && check.end().has_value();
        if (entry.uncompressed_size <= (8u << 20) && entry.compressed_size <= (8u << 20))
            FUZZ_CHECK(intact == content.has_value());
    }
    return 0;
}
