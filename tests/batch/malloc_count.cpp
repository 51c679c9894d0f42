// Preloaded into chain20-batch by no_allocation.sh: counts calls of malloc
// and realloc (operator new goes through malloc) and writes the count to
// stderr when the process ends, as "heap allocations: N".
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_realloc(void* pointer, std::size_t size);

namespace {
std::atomic<unsigned long> allocations{0};
}  // namespace

extern "C" void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* realloc(void* pointer, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

[[gnu::destructor]] static void reportAllocations() {
    char line[64];
    const int length = std::snprintf(line, sizeof line, "heap allocations: %lu\n", allocations.load());
    if (length > 0 && write(STDERR_FILENO, line, static_cast<std::size_t>(length)) < 0) {
        return;
    }
}
