// pal_proc.cpp - termination signals routed to a thread, working directory, sliced wait for
// the end of standard input. A signal handler may only do async-signal-safe work, so it
// writes the signal number into a pipe and the thread "sig" runs the real handler.
#include "pal_proc.h"

#include "pal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {
struct sig_router {
    std::mutex mu;               // serialises set-up and exit
    int rfd = -1;                // read and write ends of the pipe; kept open until the
    int wfd = -1;                // process ends, a late signal must never hit a reused number
    std::atomic<os_signal_fn> fn{nullptr};
    std::atomic<int> quit{0};
    os_thread *thread = nullptr;
};
}  // namespace

static sig_router &router() {
    static sig_router *r = new sig_router;  // reachable from signal context until the end
    return *r;
}

static std::atomic<int> g_sig_wfd{-1};

static void sig_record(int signo) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(signo);
    int fd = g_sig_wfd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        ssize_t n = write(fd, &b, 1);  // a full pipe drops the signal: one is pending anyway
        (void)n;
    }
    errno = saved;
}

static int sig_thread(void *) {
    sig_router &r = router();
    while (!r.quit.load()) {
        pollfd p{r.rfd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        unsigned char buf[16];
        ssize_t n = read(r.rfd, buf, sizeof buf);
        for (ssize_t i = 0; i < n; i++) {
            os_signal_fn fn = r.fn.load();
            if (fn != nullptr)
                fn(buf[i]);
        }
    }
    return 0;
}

/// Creates the pipe and the thread once. Called with the router's lock held.
static int sig_start(sig_router &r) {
    if (r.rfd < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return pal_last_error();
        r.rfd = fds[0];
        r.wfd = fds[1];
        g_sig_wfd.store(r.wfd);
    }
    if (r.thread == nullptr) {
        r.quit.store(0);
        r.thread = os_thread_init("sig", sig_thread, nullptr, 0, nullptr);
        if (r.thread == nullptr)
            return PAL_EFAIL;
    }
    return 0;
}

int os_signal_route(const int *signos, int count, os_signal_fn fn) {
    PAL_ASSERT_RET(signos != nullptr && count >= 0 && fn != nullptr, PAL_EINVAL);
    sig_router &r = router();
    std::scoped_lock lock(r.mu);
    r.fn.store(fn);
    int rc = sig_start(r);
    if (rc != 0)
        return rc;
    for (int i = 0; i < count; i++) {
        struct sigaction sa {};
        sa.sa_handler = sig_record;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        if (sigaction(signos[i], &sa, nullptr) != 0)
            return pal_last_error();
    }
    return 0;
}

void os_signal_default(int signo) {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
}

void os_signal_exit() {
    sig_router &r = router();
    std::scoped_lock lock(r.mu);
    if (r.thread == nullptr)
        return;
    r.quit.store(1);
    (void)os_thread_wait(r.thread, -1, nullptr);
    os_thread_close(r.thread);
    r.thread = nullptr;
}

int os_stdin_wait_end(const std::atomic<int> *stop, int slice_ms) {
    char buf[4096];
    for (;;) {
        if (stop != nullptr && stop->load())
            return 1;
        pollfd p{0, POLLIN, 0};
        int n = poll(&p, 1, slice_ms > 0 ? slice_ms : 200);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (p.revents & POLLNVAL))
            return 0;
        if (n == 0)
            continue;
        ssize_t got = read(0, buf, sizeof buf);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return 0;
    }
}

int os_getcwd(std::span<char> out) {
    if (out.empty())
        return PAL_EINVAL;
    if (getcwd(out.data(), out.size()) == nullptr)
        return errno == ERANGE ? PAL_ETRUNC : pal_last_error();
    return static_cast<int>(std::char_traits<char>::length(out.data()));
}
