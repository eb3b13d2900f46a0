#include "platform/process_limits.h"

#include <malloc.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/error.h"

// AddressSanitizer, ThreadSanitizer and MemorySanitizer reserve terabytes of
// address space for their shadow memory, which no address-space limit admits.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PL_SANITIZER_RESERVES_ADDRESS_SPACE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define PL_SANITIZER_RESERVES_ADDRESS_SPACE 1
#endif
#endif

void LimitPlCadPrepProcessAddressSpace(std::uint64_t maxMemoryBytes) {
#if defined(PL_SANITIZER_RESERVES_ADDRESS_SPACE)
  (void)maxMemoryBytes;
#else
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0) {
    throw PlCadPrepError(
        "internal_error",
        std::string("process address-space limit could not be read: ") + std::strerror(errno),
        "preflight");
  }
  // Both totals stay far below the 64-bit range: maxMemoryBytes is bounded by
  // the request's hard limit.
  rlim_t wanted = static_cast<rlim_t>(maxMemoryBytes + kPlCadPrepAddressSpaceHeadroomBytes);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) wanted = limit.rlim_cur;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) wanted = limit.rlim_max;
  limit.rlim_cur = wanted;
  if (setrlimit(RLIMIT_AS, &limit) != 0) {
    throw PlCadPrepError(
        "internal_error",
        std::string("process address-space limit could not be set: ") + std::strerror(errno),
        "preflight");
  }
#endif
}

void KeepPlCadPrepFreedMemoryForReuse() {
  // Large blocks come from the heap instead of separate mappings, and the heap's
  // free top is not trimmed; both settings only steer where memory comes from.
  // A refusal leaves the defaults, which are correct, only slower.
  constexpr int kLargestHeapBlockBytes = 1 << 30;
  mallopt(M_MMAP_THRESHOLD, kLargestHeapBlockBytes);
  mallopt(M_TRIM_THRESHOLD, kLargestHeapBlockBytes);
}
