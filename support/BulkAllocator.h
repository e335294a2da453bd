// An allocator for large byte buffers that are filled right away (a whole firmware image):
// elements are not zeroed first, and a buffer of 2 MiB or more is aligned for, and asks
// for, transparent huge pages. Faulting in a 64 MiB buffer page by page costs more than
// reading the file into it.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

namespace support {

template <class T> class BulkAllocator {
public:
    using value_type = T;

    BulkAllocator() = default;
    template <class U> explicit BulkAllocator(const BulkAllocator<U>& /*other*/) {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePage) {
            return static_cast<T*>(::operator new(bytes));
        }
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* p = std::aligned_alloc(kHugePage, rounded);
        if (p == nullptr)
            throw std::bad_alloc();
        ::madvise(p, rounded, MADV_HUGEPAGE); // a hint: without it, ordinary pages
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) {
        if (n * sizeof(T) < kHugePage)
            ::operator delete(p);
        else
            std::free(p);
    }

    // Default-initialised: no zeroing pass over memory about to be overwritten.
    template <class U, class... Args> void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U> bool operator==(const BulkAllocator<U>& /*other*/) const { return true; }

private:
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
};

} // namespace support
