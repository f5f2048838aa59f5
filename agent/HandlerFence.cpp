#include "agent/HandlerFence.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

std::atomic<bool> light{false};

#ifndef _WIN32
long membarrier(int command) { return ::syscall(__NR_membarrier, command, 0, 0); }
#endif

// Makes every running thread of the process pass a full barrier; false when
// the system cannot.
bool barrierOnAllThreads() {
#ifdef _WIN32
    FlushProcessWriteBuffers();
    return true;
#else
    return membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0;
#endif
}

}  // namespace

bool enableLightHandlerFences() {
    if (light.load()) return true;
#ifndef _WIN32
    long commands = membarrier(MEMBARRIER_CMD_QUERY);
    if (commands < 0 || (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0 ||
        membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0 || !barrierOnAllThreads()) {
        return false;
    }
#endif
    light.store(true);
    return true;
}

bool lightHandlerFences() { return light.load(std::memory_order_relaxed); }

void waiterFence() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // Registered at load, which checked that the call works; it is not
    // expected to fail after that, and the full fence above is all a
    // failure would leave.
    if (lightHandlerFences()) barrierOnAllThreads();
}
