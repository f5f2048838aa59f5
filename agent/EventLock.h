// The lock the event handlers take for the one global order of lines: a
// plain mutex. Measured on four threads of static calls, glibc's adaptive
// (spinning) mutex made the run half as slow again: its spinners took the
// two cores from the thread holding the lock.
#pragma once

#include <mutex>

using EventLock = std::mutex;
