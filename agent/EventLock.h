// The lock the event handlers take for the one global order of lines. Its
// critical sections are a few dozen instructions, so on Linux it is glibc's
// adaptive mutex, which spins a little before it sleeps: threads handing
// events over to each other then rarely enter the kernel. Elsewhere a
// std::mutex (on Windows an SRW lock, which spins already).
#pragma once

#if defined(__linux__)
#include <pthread.h>
#else
#include <mutex>
#endif

class EventLock {
public:
    EventLock();
    ~EventLock();
    EventLock(const EventLock&) = delete;
    EventLock& operator=(const EventLock&) = delete;

    void lock();
    void unlock();

private:
#if defined(__linux__)
    pthread_mutex_t mutex_;
#else
    std::mutex mutex_;
#endif
};
