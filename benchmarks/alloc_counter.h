// Counts heap allocations made by the calling thread. The benchmark
// executables replace malloc and friends with thin wrappers over glibc's own
// allocator; the driver and QtCore resolve malloc to the executable's copy,
// so their QList nodes and QByteArray buffers are counted as well.
#pragma once

#include <cstdint>

namespace alloc_counter {

// Allocations (malloc, calloc, realloc that moves or grows from null,
// aligned variants) made by this thread since it started.
std::uint64_t allocations();

}  // namespace alloc_counter
