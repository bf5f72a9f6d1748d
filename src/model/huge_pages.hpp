#pragma once
// An allocator for the few arrays that grow to tens of megabytes with a sheet (the cell entries, a
// rectangle of values). Blocks of 4 MiB and more are mapped on their own, aligned to 2 MiB and
// offered to the kernel for transparent huge pages, so filling them costs one page fault per 2 MiB
// instead of one per 4 KiB. Smaller blocks, and every block where that is not available, come from
// the ordinary allocator.

#include <cstddef>
#include <memory>
#include <new>

namespace velmo {

namespace huge_pages {
inline constexpr size_t kThreshold = size_t{4} << 20;
// A block of `bytes` (>= kThreshold) mapped for huge pages, or null when mapping fails.
void* map(size_t bytes) noexcept;
void unmap(void* p, size_t bytes) noexcept;
}  // namespace huge_pages

template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const size_t bytes = n * sizeof(T);
        if (bytes >= huge_pages::kThreshold) {
            if (void* p = huge_pages::map(bytes)) return static_cast<T*>(p);
            throw std::bad_alloc();
        }
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, size_t n) noexcept {
        const size_t bytes = n * sizeof(T);
        if (bytes >= huge_pages::kThreshold) {
            huge_pages::unmap(p, bytes);
            return;
        }
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace velmo
