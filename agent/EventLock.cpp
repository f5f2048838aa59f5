#include "agent/EventLock.h"

#if defined(__linux__)

EventLock::EventLock() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // Only a hint: an ordinary mutex where the kind is not offered.
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

EventLock::~EventLock() { pthread_mutex_destroy(&mutex_); }

void EventLock::lock() { pthread_mutex_lock(&mutex_); }

void EventLock::unlock() { pthread_mutex_unlock(&mutex_); }

#else

EventLock::EventLock() = default;
EventLock::~EventLock() = default;

void EventLock::lock() { mutex_.lock(); }

void EventLock::unlock() { mutex_.unlock(); }

#endif
