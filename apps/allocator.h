#pragma once

// The allocator of the programs that move whole months of packets: zov-import (the
// screen's logic and, unless --server is given, the server inside it), zov-server
// and zov-host, the host application that runs the screen. Every cell of a packet is a small
// allocation, made on one thread and often freed on another; mimalloc serves that a quarter faster
// than the C library's malloc and, returning freed pages soon after, with less memory at peak.

#ifdef ZOV_MIMALLOC
#include <mimalloc.h>
#else
#include <malloc.h>
#endif

namespace zov {

// The run's batches: free pages go back 5 ms after they empty (see tuneAllocator).
inline void allocatorForRun()
{
#ifdef ZOV_MIMALLOC
    mi_option_set(mi_option_decommit_delay, 5);
#endif
}

inline void tuneAllocator()
{
#ifdef ZOV_MIMALLOC
    // Free pages go back to the system 5 ms after they empty, not at once: a batch
    // frees and then takes again the same pages, and handing each back at once (with
    // the flush of the other cores' address caches it costs) took a third of a 4x
    // month on a virtual machine; the delay keeps up to some 20 MB more resident at
    // the peak of that month.
    allocatorForRun();
#else
    // With one malloc arena the memory one thread frees is the memory the other
    // reuses, instead of each thread's arena keeping its own peak.
    mallopt(M_ARENA_MAX, 1);
#endif
}

// Until a run's batches begin, pages go back as they empty: a page waits out its
// delay only until its thread next allocates, and the thread that read and sent a
// whole month may serve nothing after it, keeping the month's pages (30 to 50 MB at
// four times the dishes) through the run.
inline void allocatorBeforeRun()
{
#ifdef ZOV_MIMALLOC
    mi_option_set(mi_option_decommit_delay, 0);
#endif
}

} // namespace zov
