// The shared-strings part reader.

#include <cstdint>

#include "fuzz_support.hpp"
#include "reader/shared_strings.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)velmo::reader::parse_shared_strings(velmo::fuzz::as_view(data, size));
    return 0;
}
