// Counts the heap allocations the program makes (malloc, calloc, realloc and
// the aligned forms, and so operator new) while counting is on.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void AllocationCountStart(void);
// Stops counting; returns the allocations since AllocationCountStart.
unsigned long AllocationCountStop(void);

#ifdef __cplusplus
}
#endif
