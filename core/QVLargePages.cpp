#include "core/QVLargePages.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qv {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
namespace {

constexpr std::size_t kLargePage = std::size_t{2} << 20;
constexpr std::size_t kFromKernel = std::size_t{1} << 20;

}  // namespace
#endif

void* largePagesAllocate(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kFromKernel) {
    // Reserve one page more than needed, keep the aligned stretch, give back the rest.
    const std::size_t length = (bytes + kLargePage - 1) / kLargePage * kLargePage;
    void* region = ::mmap(nullptr, length + kLargePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) throw std::bad_alloc();
    const auto base = reinterpret_cast<std::uintptr_t>(region);
    const std::uintptr_t aligned = (base + kLargePage - 1) / kLargePage * kLargePage;
    if (aligned > base) ::munmap(region, aligned - base);
    const std::size_t tail = kLargePage - (aligned - base);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
  }
#endif
  return ::operator new(bytes);
}

void largePagesFree(void* p, [[maybe_unused]] std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kFromKernel) {
    ::munmap(p, (bytes + kLargePage - 1) / kLargePage * kLargePage);
    return;
  }
#endif
  ::operator delete(p);
}

}  // namespace qv
