#pragma once
// Memory for the few big arrays of one message (its row index): regions of 1 MiB and more
// come straight from the kernel, aligned to 2 MiB and marked for 2 MiB pages where the
// kernel offers them; smaller ones come from the heap.
//
// Why: the first touch of every 4 KiB page costs a fault (in a virtual machine, also an
// exit to the hypervisor); the row index of a 50 MB message spans some 700 such pages and
// a 2 MiB page replaces 512 of them. Pages never touched are never backed, so an
// over-sized reservation costs address space, not memory.

#include <cstddef>
#include <new>
#include <vector>

namespace qv {

// Raw regions. largePagesAllocate throws std::bad_alloc when the memory cannot be had.
[[nodiscard]] void* largePagesAllocate(std::size_t bytes);
void largePagesFree(void* p, std::size_t bytes) noexcept;

template <class T>
struct QVLargePageAllocator {
  using value_type = T;
  QVLargePageAllocator() = default;
  template <class U>
  QVLargePageAllocator(const QVLargePageAllocator<U>& /*other*/) noexcept {}  // NOLINT: rebinding

  [[nodiscard]] T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(largePagesAllocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { largePagesFree(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const QVLargePageAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

}  // namespace qv
