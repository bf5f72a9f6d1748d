#include "model/styles.hpp"

namespace velmo {

std::vector<std::pair<uint32_t, std::string>> StyleSheet::num_fmts_vec() const {
    return {num_fmts.begin(), num_fmts.end()};
}

}  // namespace velmo
