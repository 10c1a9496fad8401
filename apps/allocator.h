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

inline void tuneAllocator()
{
#ifdef ZOV_MIMALLOC
    // Free pages go back to the system 5 ms after they empty, not at once: a batch
    // frees and then takes again the same pages, and handing each back at once (with
    // the flush of the other cores' address caches it costs) took a third of a 4x
    // month on a virtual machine; the delay keeps up to some 20 MB more resident at
    // the peak of that month.
    mi_option_set(mi_option_decommit_delay, 5);
#else
    // With one malloc arena the memory one thread frees is the memory the other
    // reuses, instead of each thread's arena keeping its own peak.
    mallopt(M_ARENA_MAX, 1);
#endif
}

} // namespace zov
