#pragma once

// The allocator of the programs that move whole months of packets: zov-import (the
// screen's logic and, unless --server is given, the server inside it), zov-server
// and zov-host, the host application that runs the screen. Every cell of a packet is a small
// allocation, made on one thread and often freed on another; mimalloc serves that a quarter faster
// than the C library's malloc and, returning freed pages at once, with less memory at peak.

#ifdef ZOV_MIMALLOC
#include <mimalloc.h>
#else
#include <malloc.h>
#endif

namespace zov {

inline void tuneAllocator()
{
#ifdef ZOV_MIMALLOC
    // pages are handed back to the system as soon as they are free, not after a delay
    mi_option_set(mi_option_decommit_delay, 0);
    mi_option_enable(mi_option_page_reset);
#else
    // With one malloc arena the memory one thread frees is the memory the other
    // reuses, instead of each thread's arena keeping its own peak.
    mallopt(M_ARENA_MAX, 1);
#endif
}

} // namespace zov
