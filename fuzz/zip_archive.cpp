// The ZIP directory reader and the entry reader over arbitrary bytes.

#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "zip/archive_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto archive = velmo::zip::ArchiveReader::open_memory(std::string(velmo::fuzz::as_view(data, size)));
    if (!archive) return 0;
    for (const auto& entry : archive->entries()) {
        FUZZ_CHECK(archive->find(entry.name) != nullptr);
        // Its part is found as this entry, unless another entry names it too.
        if (auto part = archive->find_part(entry.name)) FUZZ_CHECK(*part == &entry);
        if (auto content = archive->read(entry)) FUZZ_CHECK(content->size() == entry.uncompressed_size);
        if (auto raw = archive->read_raw(entry)) FUZZ_CHECK(raw->size() == entry.compressed_size);
    }
    return 0;
}
