#pragma once
// Large buffers of a drawing (the file's text, the records, a path of
// hundreds of thousands of elements) are touched once, page by page, right
// after they are reserved. A page fault is dear (more so in a virtual
// machine), and at 4 KiB per fault a 100 000-entity drawing took tens of
// thousands of them, most of its loading time. Asking for transparent huge
// pages on such a buffer lets the kernel fill it 2 MiB at a time where the
// system allows it (the "madvise" setting of transparent_hugepage); elsewhere
// the advice is ignored and nothing changes.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace korva {

inline void AdviseLargeBuffer(const void* data, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (data == nullptr || bytes < 2 * kHuge) return;
    // Only whole 2 MiB stretches inside the buffer; never memory around it.
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// After reserve(): the vector's whole capacity.
template <typename Vector>
void AdviseLargeCapacity(const Vector& v) {
    AdviseLargeBuffer(v.data(), v.capacity() * sizeof(typename Vector::value_type));
}

}  // namespace korva
