#include "model/text.hpp"

#include <new>

namespace velmo {

void Text::assign(std::string_view s) {
    if (s.size() <= kInline) {
        std::memcpy(bytes_, s.data(), s.size());
        bytes_[kTag] = static_cast<unsigned char>(s.size());
        return;
    }
    void* raw = ::operator new(sizeof(Block) + s.size());
    Block* b = new (raw) Block{1};
    std::memcpy(b->chars(), s.data(), s.size());
    const size_t n = s.size();
    std::memcpy(bytes_, &b, sizeof b);
    std::memcpy(bytes_ + sizeof b, &n, sizeof n);
    bytes_[kTag] = kShared;
}

void Text::release() noexcept {
    Block* b = block();
    // The last holder frees it; acquire so that it sees every other holder's use as finished.
    if (b->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    b->~Block();
    ::operator delete(b);
}

}  // namespace velmo
