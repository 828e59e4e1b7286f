#include "alloc_counter.h"

#include <cstddef>

#ifdef ALLOC_COUNTER_DISABLED
// Sanitizer builds bring their own allocator: nothing is counted there.
namespace alloc_counter {
std::uint64_t allocations() { return 0; }
}  // namespace alloc_counter
#else

// glibc's allocator under its internal names: calling these avoids dlsym,
// which itself allocates while it resolves.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* ptr);
}

namespace {
// Initial-exec TLS in the executable: reading it never allocates.
thread_local std::uint64_t tAllocations __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace

namespace alloc_counter {
std::uint64_t allocations() { return tAllocations; }
}  // namespace alloc_counter

extern "C" {

void* malloc(std::size_t size)
{
    ++tAllocations;
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    ++tAllocations;
    return __libc_calloc(count, size);
}

void* realloc(void* ptr, std::size_t size)
{
    // A realloc may grow in place; every call is counted as one allocation.
    ++tAllocations;
    return __libc_realloc(ptr, size);
}

void free(void* ptr) { __libc_free(ptr); }

void* memalign(std::size_t alignment, std::size_t size)
{
    ++tAllocations;
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    ++tAllocations;
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size)
{
    ++tAllocations;
    void* p = __libc_memalign(alignment, size);
    if (!p)
        return 12;  // ENOMEM
    *out = p;
    return 0;
}

}  // extern "C"

#endif
