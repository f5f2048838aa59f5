// The fence between an event handler counting itself and reading what the
// count protects, and the one on the waiting side. Where the system can make
// every running thread of the process pass a full barrier at the waiter's
// call (Linux membarrier, Windows FlushProcessWriteBuffers), the handler's
// fence is only a compiler barrier and the rare waiter pays; elsewhere the
// handler's is a full fence.
#pragma once

#include <atomic>

// At load, before any handler can run; true when the light fences are in
// force. Once in force they stay so.
bool enableLightHandlerFences();
bool lightHandlerFences();

// In a handler: after it counts itself (a plain store) and before it reads
// the shared state the count protects.
inline void handlerFence() {
    if (lightHandlerFences()) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

// In a waiter: after it changed the shared state and before it reads the
// handlers' counts.
void waiterFence();
