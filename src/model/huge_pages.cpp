#include "model/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#else
#include <cstdlib>
#endif

namespace velmo::huge_pages {

#if defined(__linux__)

namespace {

constexpr size_t kHuge = size_t{2} << 20;

size_t rounded(size_t bytes) { return (bytes + kHuge - 1) & ~(kHuge - 1); }

}  // namespace

void* map(size_t bytes) noexcept {
    const size_t size = rounded(bytes);
    // Over-map by one huge page, then trim both ends so the block starts on a 2 MiB boundary.
    void* raw = mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t start = (base + kHuge - 1) & ~(uintptr_t{kHuge} - 1);
    if (start > base) munmap(raw, start - base);
    const uintptr_t tail = start + size;
    const uintptr_t raw_end = base + size + kHuge;
    if (raw_end > tail) munmap(reinterpret_cast<void*>(tail), raw_end - tail);
    void* p = reinterpret_cast<void*>(start);
    madvise(p, size, MADV_HUGEPAGE);  // only advice: without huge pages the block still works
    return p;
}

void unmap(void* p, size_t bytes) noexcept { munmap(p, rounded(bytes)); }

#else

void* map(size_t bytes) noexcept { return std::malloc(bytes); }
void unmap(void* p, size_t) noexcept { std::free(p); }

#endif

}  // namespace velmo::huge_pages
