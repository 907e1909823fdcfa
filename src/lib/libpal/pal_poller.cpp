// pal_poller.cpp - the poller front end: watch list, capacity, wake-up socket pair with
// the kill ('k') and spark ('p') bytes, one-shot removal and delivery in descriptor order.
// One lock serialises changes from any thread with the waiting thread's scan and delivery;
// the back ends (epoll, poll) only report ready descriptors.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "pal.h"
#include "pal_poller_backend.h"
#include "pal_socket.h"

namespace {
struct watch_entry {
    void *user;
    unsigned events;
};
struct pending_event {
    int fd;
    void *user;
    unsigned events;
};
}  // namespace

struct os_poller {
    const pal_poller_backend *ops;
    void *be;
    std::recursive_mutex lock;  // callbacks run under it and may change the poller
    os_socket_t wake[2];        // {write end, read end}
    std::map<int, watch_entry> watch;  // sorted by descriptor
    int capacity;
    pending_event events[OS_POLLER_MAX_EVENTS];
    pal_poll_ready ready[OS_POLLER_MAX_EVENTS + 1];
};

static constexpr uintptr_t kTopBit = uintptr_t{1} << (sizeof(uintptr_t) * 8 - 1);

static int wake_fd(const os_poller *p) {
    return static_cast<int>(p->wake[1] - 1);
}

static bool open_pair(os_poller *p) {
    os_socket_t pair[2];
    if (!os_socket_pair(pair)) {
        PAL_LOG(3 | 0x100, "pal", "os_socket_pair error: ");
        return false;
    }
    p->wake[0] = pair[0];
    p->wake[1] = pair[1];
    if (!p->ops->set(p->be, wake_fd(p), OS_POLLER_EVENT_READ)) {
        PAL_LOG(3 | 0x100, "pal", "os_poller_select_insert error: ");
        os_socket_exit(pair[0]);
        os_socket_exit(pair[1]);
        p->wake[0] = p->wake[1] = 0;
        return false;
    }
    return true;
}

static void close_pair(os_poller *p) {
    if (p->wake[1]) {
        p->ops->del(p->be, wake_fd(p));
        os_socket_exit(p->wake[1]);
    }
    if (p->wake[0])
        os_socket_exit(p->wake[0]);
    p->wake[0] = p->wake[1] = 0;
}

static const pal_poller_backend *backend_by_name(const char *name) {
    static const pal_poller_backend *const all[] = {&pal_poller_epoll, &pal_poller_poll};
    if (!name)
        return all[0];
    for (const pal_poller_backend *b : all)
        if (strcmp(b->name, name) == 0)
            return b;
    return nullptr;
}

os_poller *os_poller_init(int capacity, const char *backend) {
    const pal_poller_backend *ops = backend_by_name(backend);
    PAL_ASSERT_RET(ops != nullptr, nullptr);
    auto *p = new os_poller;
    p->ops = ops;
    p->capacity = capacity == 0 ? OS_POLLER_DEFAULT_CAPACITY
                                : (capacity < 0 ? os_fd_limit() : capacity);
    p->be = p->ops->open(p->capacity);
    p->wake[0] = p->wake[1] = 0;
    if (!p->be || !open_pair(p)) {
        if (p->be)
            p->ops->close(p->be);
        delete p;
        return nullptr;
    }
    return p;
}

void os_poller_exit(os_poller *p) {
    PAL_ASSERT_RET(p != nullptr, );
    (void)os_poller_kill(p);
    close_pair(p);
    p->ops->close(p->be);
    delete p;
}

static bool send_byte(os_poller *p, char c) {
    PAL_ASSERT_RET(p != nullptr, false);
    std::scoped_lock g(p->lock);
    return p->wake[0] && os_socket_send(p->wake[0], &c, 1) == 1;
}

bool os_poller_kill(os_poller *p) {
    return send_byte(p, 'k');
}

bool os_poller_spak(os_poller *p) {
    return send_byte(p, 'p');
}

static bool object_ok(os_poller_object obj) {
    PAL_ASSERT_RET(obj.kind != OS_POLLER_OBJECT_PROC, false);
    PAL_ASSERT_RET(obj.kind == OS_POLLER_OBJECT_SOCKET, false);
    PAL_ASSERT_RET(obj.handle != 0, false);
    return true;
}

static bool put_entry(os_poller *p, os_poller_object obj, unsigned events, void *user,
                      bool count_new) {
    PAL_ASSERT_RET(p != nullptr, false);
    if (!object_ok(obj))
        return false;
    PAL_ASSERT_RET(!(reinterpret_cast<uintptr_t>(user) & kTopBit), false);
    int fd = static_cast<int>(obj.handle - 1);
    std::scoped_lock g(p->lock);
    auto it = p->watch.find(fd);
    if (it == p->watch.end() && count_new &&
        static_cast<int>(p->watch.size()) >= p->capacity)
        return false;
    if (!p->ops->set(p->be, fd, events))
        return false;
    p->watch[fd] = watch_entry{user, events};
    return true;
}

bool os_poller_insert(os_poller *p, os_poller_object obj, unsigned events, void *user) {
    return put_entry(p, obj, events, user, true);
}

bool os_poller_modify(os_poller *p, os_poller_object obj, unsigned events, void *user) {
    return put_entry(p, obj, events, user, false);
}

bool os_poller_remove(os_poller *p, os_poller_object obj) {
    PAL_ASSERT_RET(p != nullptr, false);
    if (!object_ok(obj))
        return false;
    int fd = static_cast<int>(obj.handle - 1);
    std::scoped_lock g(p->lock);
    if (p->watch.erase(fd))
        p->ops->del(p->be, fd);
    return true;
}

int os_poller_count(os_poller *p) {
    PAL_ASSERT_RET(p != nullptr, 0);
    std::scoped_lock g(p->lock);
    return static_cast<int>(p->watch.size());
}

const char *os_poller_backend_name(os_poller *p) {
    PAL_ASSERT_RET(p != nullptr, "");
    return p->ops->name;
}

int os_poller_capacity(os_poller *p) {
    PAL_ASSERT_RET(p != nullptr, 0);
    return p->capacity;
}

bool os_poller_support(os_poller *p) {
    PAL_ASSERT_RET(p != nullptr, false);
    return (p->ops->caps & 0x10) != 0;
}

void os_poller_attach(os_poller *p) {
    PAL_ASSERT_RET(p != nullptr, );
}

// Replaces a wake-up pair that stopped working. Returns true when the new one is in place.
static bool reset_pair(os_poller *p) {
    close_pair(p);
    return open_pair(p);
}

// Reads one wake-up byte. Returns -1 for a kill or a lost pair, 1 for a spark, 0 for
// nothing (a stale readiness).
static int take_wake_byte(os_poller *p) {
    char c = 0;
    int n = os_socket_recv(p->wake[1], &c, 1);
    if (n == 0 && os_socket_error() == PAL_EAGAIN)
        return 0;
    if (n != 1) {
        PAL_LOG(3 | 0x100, "pal", "recv ret=%d error: ", n);
        return reset_pair(p) ? 0 : -1;
    }
    if (c == 'k') {
        PAL_LOG(7, "pal", "req killed exit\n");
        return -1;
    }
    return 1;
}

static unsigned socket_error_bit(int fd) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0)
        return OS_POLLER_EVENT_ERROR;
    return 0;
}

// Turns the back end's ready list into events of watched objects, in descriptor order.
// Returns the number recorded; *wake gets the wake-up result (-1 kill, 1 spark, 0 none).
static int scan_ready(os_poller *p, int nready, int *wake) {
    *wake = 0;
    std::map<int, unsigned> ready;
    for (int i = 0; i < nready; i++)
        ready[p->ready[i].fd] |= p->ready[i].events;
    int n = 0;
    for (auto &[fd, ev] : ready) {
        if (fd == wake_fd(p)) {
            *wake = take_wake_byte(p);
            continue;
        }
        auto it = p->watch.find(fd);
        if (it == p->watch.end())
            continue;  // removed while the wait ran
        unsigned got = ev & it->second.events & (OS_POLLER_EVENT_READ | OS_POLLER_EVENT_WRITE);
        if (ev & OS_POLLER_EVENT_ERROR)
            got |= socket_error_bit(fd);
        if (!got || n >= OS_POLLER_MAX_EVENTS)
            continue;
        got |= it->second.events & OS_POLLER_EVENT_ONESHOT;
        p->events[n++] = pending_event{fd, it->second.user, got};
    }
    return n;
}

// Delivers the recorded events; an object removed by an earlier callback of the same
// round is skipped.
static int deliver(os_poller *p, int n, os_poller_cb cb) {
    int done = 0;
    for (int i = 0; i < n; i++) {
        pending_event e = p->events[i];
        auto it = p->watch.find(e.fd);
        if (it == p->watch.end() || it->second.user != e.user)
            continue;
        os_poller_object obj{OS_POLLER_OBJECT_SOCKET, static_cast<os_socket_t>(e.fd) + 1};
        if (e.events & OS_POLLER_EVENT_ONESHOT) {
            e.events &= ~OS_POLLER_EVENT_ONESHOT;
            p->watch.erase(it);
            p->ops->del(p->be, e.fd);
        }
        if (cb)
            cb(p, obj, e.events, e.user);
        done++;
    }
    return done;
}

// One round: snapshot, wait, scan, deliver. Returns events delivered, -1, or 0 with
// *leave set by a spark.
static int wait_round(os_poller *p, os_poller_cb cb, int timeout_ms, bool *leave) {
    {
        std::scoped_lock g(p->lock);
        p->ops->prepare(p->be);
    }
    int nready = p->ops->wait(p->be, timeout_ms, p->ready, OS_POLLER_MAX_EVENTS + 1);
    if (nready <= 0)
        return nready;
    std::scoped_lock g(p->lock);
    int wake = 0;
    int n = scan_ready(p, nready, &wake);
    int done = deliver(p, n, cb);
    if (wake < 0)
        return -1;
    if (wake > 0)
        *leave = true;
    return done;
}

int os_poller_wait(os_poller *p, os_poller_cb cb, int timeout_ms) {
    PAL_ASSERT_RET(p != nullptr, -1);
    uint64_t start = os_clock_ms();
    bool leave = false;
    for (bool first = true;; first = false) {
        if (leave)
            return 0;
        int left = timeout_ms;
        if (timeout_ms >= 0 && !first) {
            uint64_t spent = os_clock_ms() - start;
            if (spent >= static_cast<uint64_t>(timeout_ms))
                return 0;
            left = timeout_ms - static_cast<int>(spent);
        }
        int rc = wait_round(p, cb, left, &leave);
        if (rc != 0)
            return rc;
        if (timeout_ms == 0)
            return 0;
    }
}
