// The threads of this process as the kernel sees them. A detached thread has
// left its thread manager's table before it has ended: it still runs its
// thread-local clean-ups (OpenSSL frees its per-thread state then). A program
// that returns from main meanwhile cuts them short.
#ifndef HOST_LIVE_THREADS_H
#define HOST_LIVE_THREADS_H

#include <sys/types.h>

#include <chrono>
#include <set>

// The kernel ids of this process's threads.
std::set<pid_t> live_threads();

// The threads to keep: those of now, once the runtime's own helpers are up
// (ThreadSanitizer starts a thread of its own with the first thread made,
// and keeps it): a thread is made and joined first.
std::set<pid_t> note_threads();

// Waits until every thread of this process is one of kept, for at most
// bound; false when some other thread is still there then.
bool wait_for_threads(const std::set<pid_t>& kept, std::chrono::milliseconds bound);

#endif
