// pal_poller_backend.h - the operations a poller back end provides (private to libpal).
// The front end (pal_poller.cpp) keeps the watch list and its lock; a back end only knows
// descriptors and readiness.
#pragma once

#include <cstdint>

/// One ready descriptor reported by a back end.
struct pal_poll_ready {
    int fd;
    unsigned events;  ///< OS_POLLER_EVENT_READ / WRITE / ERROR
};

/// Back-end table. Every slot is required. set, del and prepare run under the poller's
/// lock; wait runs without it, on the one waiting thread.
struct pal_poller_backend {
    const char *name;
    uint16_t kind;  ///< back-end kind number
    uint16_t caps;  ///< capability flags
    void *(*open)(int capacity);
    void (*close)(void *be);
    bool (*set)(void *be, int fd, unsigned events);  ///< watch or change
    void (*del)(void *be, int fd);
    void (*prepare)(void *be);  ///< take a consistent copy for the next wait
    /// Waits up to timeout_ms (< 0: no limit). Fills out (at most cap) and returns the
    /// count, 0 on time-out, -1 on failure (EINTR gives 0).
    int (*wait)(void *be, int timeout_ms, pal_poll_ready *out, int cap);
};

extern const pal_poller_backend pal_poller_poll;
extern const pal_poller_backend pal_poller_epoll;
