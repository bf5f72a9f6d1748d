// A whole package opened from bytes: the archive, every part the open sequence reads, and how
// they are joined into the model.

#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "reader/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto wb = velmo::reader::open_workbook_memory(std::string(velmo::fuzz::as_view(data, size)));
    if (!wb) return 0;
    for (const auto& ws : wb->sheets) (void)ws.used_range();
    return 0;
}
