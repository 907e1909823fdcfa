// sock_ctx.cpp - connection pools: one zeroed record and one named worker thread per
// accepted connection. The teardown aborts every stream and waits for every worker before
// it frees anything, so no record is freed under a running thread.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "log.h"
#include "net_internal.h"

struct sock_ctx_pool {
    char name[256];
    size_t size;
    void (*close_hook)(sock_ctx *c);
    int (*work)(sock_ctx *c);
    std::recursive_mutex lock;  // the close hook may ask for the count
    std::set<sock_ctx *> live;
    bool closing = false;
    int releasing = 0;  // workers between leaving live and the end of their release
    std::condition_variable_any released;
};

sock_ctx_pool *sock_tcp_ctx_init(const sock_ctx_opts *opts) {
    PAL_ASSERT_RET(opts != nullptr && opts->work != nullptr, nullptr);
    auto *pool = new sock_ctx_pool;
    (void)pal_strlcpy(pool->name, opts->name ? opts->name : "");
    pool->size = opts->size < sizeof(sock_ctx) ? sizeof(sock_ctx) : opts->size;
    pool->close_hook = opts->close_hook;
    pool->work = opts->work;
    return pool;
}

static int worker_call(void *arg) {
    auto *c = static_cast<sock_ctx *>(arg);
    return c->pool->work(c);
}

// A fault ends the work procedure without its own release: the record and its socket are
// given back here, so that the pool's count stays right.
static int worker_entry(void *arg) {
    auto *c = static_cast<sock_ctx *>(arg);
    sock_ctx_pool *pool = c->pool;
    int result = -1;
    if (os_thread_call(worker_call, c, &result) != 0)
        sock_tcp_ctx_close(pool, c);
    return result;
}

static void record_free(sock_ctx *c) {
    free(c);
}

sock_ctx *sock_tcp_ctx_open(sock_ctx_pool *pool, os_socket_t s) {
    PAL_ASSERT_RET(pool != nullptr && s != 0, nullptr);
    std::scoped_lock g(pool->lock);
    if (pool->closing)
        return nullptr;
    auto *c = static_cast<sock_ctx *>(calloc(1, pool->size));
    if (!c)
        return nullptr;
    c->stream.type = NET_TYPE_TCP_SRV;
    c->stream.handle = s;
    c->pool = pool;
    pool->live.insert(c);
    // The lock is held until the handle is stored: a worker that ends at once waits in
    // sock_tcp_ctx_close instead of freeing the record under this write.
    os_thread_opts opts{0, 1, 0};
    c->thread = os_thread_init(pool->name, worker_entry, c, 0, &opts);
    if (!c->thread) {
        LOG2(int{LOG2_ERR} | LOG2_F_OSERR, NET_TAG, "os_thread_init error: ");
        pool->live.erase(c);
        record_free(c);
        return nullptr;
    }
    return c;
}

// Runs the close hook, closes the stream and frees the record. Called without the pool's
// lock: a hook may take the event thread's lock (removing a watch, closing a passive
// listener), and the event thread takes the pool's lock when it opens a record.
static void record_release(void (*hook)(sock_ctx *), sock_ctx *c) {
    if (hook)
        hook(c);
    if (c->stream.handle)
        (void)net_close(&c->stream);
    record_free(c);
}

void sock_tcp_ctx_close(sock_ctx_pool *pool, sock_ctx *c) {
    PAL_ASSERT_RET(pool != nullptr && c != nullptr, );
    void (*hook)(sock_ctx *) = nullptr;
    {
        std::scoped_lock g(pool->lock);
        // Membership first: after a fault the record may have been given back already.
        if (!pool->live.count(c) || c->stream.abort.load() == 2)
            return;  // the teardown owns the record
        pool->live.erase(c);
        pool->releasing++;
        hook = pool->close_hook;
        if (c->thread)
            os_thread_close(c->thread);  // the calling worker goes on detached to its end
        c->thread = nullptr;
    }
    record_release(hook, c);
    std::scoped_lock g(pool->lock);
    pool->releasing--;
    pool->released.notify_all();
}

int sock_tcp_ctx_count(sock_ctx_pool *pool) {
    PAL_ASSERT_RET(pool != nullptr, 0);
    std::scoped_lock g(pool->lock);
    return static_cast<int>(pool->live.size());
}

void sock_tcp_ctx_exit(sock_ctx_pool *pool) {
    if (!pool)
        return;
    std::vector<sock_ctx *> recs;
    {
        std::scoped_lock g(pool->lock);
        pool->closing = true;
        for (sock_ctx *c : pool->live) {
            c->stream.abort.store(2);
            recs.push_back(c);
        }
        pool->live.clear();
    }
    // Waiting happens without the lock: a worker may still be inside sock_tcp_ctx_close.
    for (sock_ctx *c : recs) {
        int code = 0;
        int rc = os_thread_wait_kill_exit(c->thread, &code);
        if (rc < 0)
            LOG2(LOG2_DBG, NET_TAG, "os_thread_wait_kill_exit ret=%d\n", rc);
        c->thread = nullptr;
        record_release(pool->close_hook, c);  // the worker skipped its own release
    }
    {
        std::unique_lock g(pool->lock);
        pool->released.wait(g, [pool] { return pool->releasing == 0; });
    }
    delete pool;
}
