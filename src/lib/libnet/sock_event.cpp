// sock_event.cpp - the socket event thread "sock_listen": one poller over every listening
// socket and every connection whose readability someone wants to hear about. Accept and
// event procedures run on this thread, under the poller's lock, so a removal from another
// thread returns only once no procedure of that object runs.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <vector>

#include "log.h"
#include "net_internal.h"

struct sock_event_ctx {
    int type;  ///< SOCKET_TYPE_EVENT
    sock_event_proc proc;
    void *arg;
    os_socket_t sock;
};

namespace {
/// A listener taken out of the poller for a moment after accept ran out of descriptors or
/// memory; its pending connections wait in the kernel's queue.
struct paused_listener {
    sock_srv *srv;
    os_socket_t sock;
    uint64_t resume_ms;
};

struct sock_env {
    std::mutex lock;  // start and end of the environment
    std::atomic<os_poller *> poller{nullptr};
    os_thread *thread = nullptr;
    std::atomic<int> stop{0};
    std::mutex events_lock;  // also guards paused
    std::set<sock_event_ctx *> events;
    std::vector<paused_listener> paused;
    uint64_t accept_fail_logged_ms = 0;  // event thread only
};

// How long a listener rests when the process is out of descriptors or memory: short
// enough that a freed descriptor is used at once, long enough not to spin.
enum : int { ACCEPT_PAUSE_MS = 100 };
}  // namespace

static sock_env &env() {
    static sock_env e;
    return e;
}

os_poller *sock_env_poller() {
    return env().poller.load();
}

static void accept_to_work_threads(sock_srv *srv, os_socket_t ls);
static void accept_failed(sock_srv *srv, os_socket_t ls);

// After a failed accept: when the process ran out of descriptors or memory, the
// listener stays readable, so it leaves the poller for a moment instead of spinning.
static void accept_failed(sock_srv *srv, os_socket_t ls) {
    int code = pal_last_error();
    if (code != PAL_EMFILE && code != PAL_ENOMEM && code != -47 /* no buffer space */)
        return;
    sock_env &e = env();
    uint64_t now = os_clock_ms();
    if (now - e.accept_fail_logged_ms >= 1000 || e.accept_fail_logged_ms == 0) {
        e.accept_fail_logged_ms = now;
        LOG2(LOG2_ERR, NET_TAG, "accept on %s: %s; pausing the listener\n", srv->name,
             pal_strerror(code));
    }
    std::scoped_lock g(e.events_lock);
    if (os_poller_remove(e.poller.load(), {OS_POLLER_OBJECT_SOCKET, ls}))
        e.paused.push_back({srv, ls, now + ACCEPT_PAUSE_MS});
}

static void accept_all(sock_srv *srv, os_socket_t ls) {
    if (!srv->accept_proc) {
        accept_to_work_threads(srv, ls);
        return;
    }
    os_sockaddr peer{};
    while (os_socket_t ns = os_socket_accept(ls, &peer)) {
        (void)srv->accept_proc(ns, &peer, srv->arg);  // the procedure owns ns now
        peer = os_sockaddr{};
    }
    accept_failed(srv, ls);
}

// Puts the listeners whose pause is over back into the poller. Returns the wait until the
// next one is due (at most max_ms).
static int resume_listeners(int max_ms) {
    sock_env &e = env();
    std::scoped_lock g(e.events_lock);
    uint64_t now = os_clock_ms();
    int wait = max_ms;
    auto due = [&](const paused_listener &l) {
        if (l.resume_ms > now) {
            wait = std::min(wait, int(l.resume_ms - now));
            return false;
        }
        if (!os_poller_insert(e.poller.load(), {OS_POLLER_OBJECT_SOCKET, l.sock},
                              OS_POLLER_EVENT_READ, l.srv))
            LOG2(LOG2_ERR, NET_TAG, "listener %s could not resume\n", l.srv->name);
        return true;
    };
    std::erase_if(e.paused, due);
    return wait;
}

void sock_env_forget_listener(const sock_srv *srv) {
    sock_env &e = env();
    std::scoped_lock g(e.events_lock);
    std::erase_if(e.paused, [srv](const paused_listener &l) { return l.srv == srv; });
}

static int work_thread_entry(void *arg) {
    auto *job = static_cast<std::pair<sock_work_proc, os_socket_t> *>(arg);
    auto [proc, sock] = *job;
    delete job;
    return proc(sock);
}

static void accept_to_work_threads(sock_srv *srv, os_socket_t ls) {
    PAL_ASSERT_RET(srv->work_proc != nullptr, );
    char name[128];
    pal_snprintf(name, "%s_work", srv->name);
    while (os_socket_t ns = os_socket_accept(ls, nullptr)) {
        auto *job = new std::pair<sock_work_proc, os_socket_t>(srv->work_proc, ns);
        os_thread_opts opts{0, 1, 0};
        os_thread *t = os_thread_init(name, work_thread_entry, job, 0, &opts);
        if (!t) {
            LOG2(int{LOG2_ERR} | LOG2_F_OSERR, NET_TAG, "os_thread_init error: ");
            delete job;
            sock_tcp_close(ns);  // nobody else would ever close it
            return;
        }
        os_thread_close(t);
    }
    accept_failed(srv, ls);
}

static void sock_events_callback(os_poller *, os_poller_object obj, unsigned events, void *ctx) {
    int type = *static_cast<int *>(ctx);
    if (type == SOCKET_TYPE_EVENT) {
        auto *ec = static_cast<sock_event_ctx *>(ctx);
        if (!ec->proc || ec->proc(ec->sock, events, ec->arg) >= 0)
            return;
        // The watch ends here; the record stays the owner's until sock_del_event_proc,
        // so an owner that releases it afterwards never touches freed memory.
        sock_env &e = env();
        std::scoped_lock g(e.events_lock);
        if (e.events.count(ec)) {  // the procedure may have released it itself
            (void)os_poller_remove(e.poller.load(), obj);
            ec->proc = nullptr;
        }
        return;
    }
    if (type == SOCKET_TYPE_LISTEN) {
        accept_all(static_cast<sock_srv *>(ctx), obj.handle);
        return;
    }
    LOG2(LOG2_ERR, NET_TAG, "invalid type=%d\n", type);
}

static int sock_events_thread(void *) {
    LOG2(LOG2_DBG, NET_TAG, "==>\n");
    sock_env &e = env();
    for (;;) {
        int wait = resume_listeners(1000);
        int rc = os_poller_wait(e.poller.load(), sock_events_callback, wait);
        if (e.stop.load())
            break;
        if (rc < 0)
            LOG2(int{LOG2_DBG} | LOG2_F_OSERR, NET_TAG, "os_poller_wait error: ");
    }
    LOG2(LOG2_DBG, NET_TAG, "<==\n");
    return 0;
}

int sock_env_init() {
    sock_env &e = env();
    std::scoped_lock g(e.lock);
    if (e.poller.load())
        return 0;
    // The event thread's poller holds as many sockets as the process may open, so every
    // concurrent transfer keeps its watch; the soft descriptor limit is raised towards the
    // hard one first, since a server's sessions need far more than the usual 1024.
    (void)os_fd_limit_raise(65536);
    os_poller *p = os_poller_init(-1);
    if (!p) {
        LOG2(int{LOG2_CRIT} | LOG2_F_NOEXIT, NET_TAG, "os_poller_init failed\n");
        return 0;
    }
    os_poller_attach(p);
    e.stop = 0;
    e.poller = p;
    os_thread_opts opts{0, 0, 1};
    e.thread = os_thread_init("sock_listen", sock_events_thread, nullptr, 0, &opts);
    if (!e.thread)
        LOG2(int{LOG2_CRIT} | LOG2_F_NOEXIT, NET_TAG, "os_thread_init failed");
    return 0;
}

int sock_env_stop() {
    LOG2(LOG2_DBG, NET_TAG, "==>\n");
    sock_env &e = env();
    std::scoped_lock g(e.lock);
    if (!e.thread)
        return 0;
    e.stop.exchange(1);
    (void)os_poller_kill(e.poller.load());
    int code = 0;
    int rc = os_thread_wait_kill_exit(e.thread, &code);
    if (rc < 0)
        LOG2(LOG2_ERR, NET_TAG, "os_thread_wait_kill_exit ret=%d error=%d\n", rc, code);
    e.thread = nullptr;
    return 0;
}

int sock_env_exit() {
    net_tls_hooks hooks{};
    if (net_tls_hooks_get(&hooks) && hooks.lib_exit)
        hooks.lib_exit();
    LOG2(LOG2_DBG, NET_TAG, "==>\n");
    sock_env &e = env();
    if (!e.poller.load())
        return 0;
    (void)sock_env_stop();
    std::scoped_lock g(e.lock);
    os_poller_exit(e.poller.exchange(nullptr));
    std::scoped_lock ge(e.events_lock);
    for (sock_event_ctx *ec : e.events)
        delete ec;
    e.events.clear();
    return 0;
}

sock_event_ctx *sock_insert_event_proc(os_socket_t s, sock_event_proc proc, void *arg) {
    PAL_ASSERT_RET(s != 0 && proc != nullptr, nullptr);
    sock_env &e = env();
    os_poller *p = e.poller.load();
    if (!p)
        return nullptr;
    auto *ec = new sock_event_ctx{SOCKET_TYPE_EVENT, proc, arg, s};
    {
        std::scoped_lock g(e.events_lock);
        e.events.insert(ec);
    }
    if (!os_poller_insert(p, {OS_POLLER_OBJECT_SOCKET, s}, OS_POLLER_EVENT_READ, ec)) {
        // The socket stays open: it is the caller's connection, only the watch failed.
        std::scoped_lock g(e.events_lock);
        e.events.erase(ec);
        delete ec;
        return nullptr;
    }
    (void)os_poller_spak(p);
    return ec;
}

int sock_del_event_proc(sock_event_ctx *ctx) {
    PAL_ASSERT_RET(ctx != nullptr, 0);
    sock_env &e = env();
    os_socket_t s = 0;
    {
        std::scoped_lock g(e.events_lock);
        PAL_ASSERT_RET(e.events.count(ctx) != 0, 0);
        PAL_ASSERT_RET(ctx->type == SOCKET_TYPE_EVENT, 0);
        s = ctx->sock;
    }
    if (os_poller *p = e.poller.load())
        (void)os_poller_remove(p, {OS_POLLER_OBJECT_SOCKET, s});
    std::scoped_lock g(e.events_lock);
    if (e.events.erase(ctx))
        delete ctx;
    return 0;
}

int sock_event_count() {
    sock_env &e = env();
    std::scoped_lock g(e.events_lock);
    return static_cast<int>(e.events.size());
}
