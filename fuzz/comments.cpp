// The comments part reader.

#include <cstdint>

#include "fuzz_support.hpp"
#include "reader/comments_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)velmo::reader::parse_comments_xml(velmo::fuzz::as_view(data, size));
    return 0;
}
