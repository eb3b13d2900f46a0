#pragma once
// The address-space ceiling of the executable: the backstop of maxMemoryBytes
// that also binds what the geometry kernel allocates outside the run's ledger.
#include <cstdint>

// Room above maxMemoryBytes for what the process maps before and beside the
// ledger: the program image, the kernel's shared libraries and their static
// data, the stacks and the heap's unaccounted slack. A whole review of the
// reference STEP sources peaks at 50 to 80 MiB of address space; the rest is
// spare for the parsed STEP model, which the ledger counts by its file size.
inline constexpr std::uint64_t kPlCadPrepAddressSpaceHeadroomBytes = 1'073'741'824;

// Lowers this process's soft address-space limit to maxMemoryBytes plus the
// headroom, never above the hard limit or the soft limit already in force, so
// that an allocation past it fails (std::bad_alloc, or the kernel's
// out-of-memory exception) instead of growing the process. Does nothing in a
// build with a sanitizer that reserves address space up front. Throws
// PlCadPrepError "internal_error" (stage "preflight") when the system refuses.
void LimitPlCadPrepProcessAddressSpace(std::uint64_t maxMemoryBytes);

// Keeps the memory a run frees in the process heap for its next allocations.
// A run builds and drops many member-sized buffers one after another; handing
// each back to the system and faulting fresh zeroed pages in again costs more
// than the work on them. The peak stays that of the largest live set.
void KeepPlCadPrepFreedMemoryForReuse();
