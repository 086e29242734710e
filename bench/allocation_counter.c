/* Interposes the C allocator of glibc: these definitions take the place of
 * glibc's for the whole program, operator new included, count while
 * counting is on, and hand on to glibc's own entry points. */
#include "allocation_counter.h"

#include <errno.h>
#include <stddef.h>

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);

static int counting = 0;
static unsigned long allocations = 0;

static void Count(void) {
    if (counting) {
        ++allocations;
    }
}

void AllocationCountStart(void) {
    allocations = 0;
    counting = 1;
}

unsigned long AllocationCountStop(void) {
    counting = 0;
    return allocations;
}

void *malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) {
    Count();
    return __libc_realloc(block, size);
}

void *memalign(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **block, size_t alignment, size_t size) {
    Count();
    *block = __libc_memalign(alignment, size);
    return *block == NULL ? ENOMEM : 0;
}

void free(void *block) {
    __libc_free(block);
}
