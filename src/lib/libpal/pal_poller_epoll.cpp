// pal_poller_epoll.cpp - the epoll(7) back end of the poller: level-triggered, so it
// reports the same readiness as poll, with a cost per round that does not grow with the
// number of watched sockets.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "pal_poller_backend.h"
#include "pal_socket.h"

namespace {
struct epoll_state {
    int fd = -1;
    std::vector<epoll_event> out;
};
}  // namespace

static uint32_t epoll_bits(unsigned events) {
    uint32_t bits = 0;
    if (events & OS_POLLER_EVENT_READ)
        bits |= EPOLLIN;
    if (events & OS_POLLER_EVENT_WRITE)
        bits |= EPOLLOUT;
    return bits;
}

static void *ep_open(int) {
    int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto *st = new epoll_state;
    st->fd = fd;
    st->out.resize(OS_POLLER_MAX_EVENTS + 1);
    return st;
}

static void ep_close(void *be) {
    auto *st = static_cast<epoll_state *>(be);
    close(st->fd);
    delete st;
}

static bool ep_set(void *be, int fd, unsigned events) {
    auto *st = static_cast<epoll_state *>(be);
    epoll_event ev{};
    ev.events = epoll_bits(events);
    ev.data.fd = fd;
    if (epoll_ctl(st->fd, EPOLL_CTL_MOD, fd, &ev) == 0)
        return true;
    return errno == ENOENT && epoll_ctl(st->fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

static void ep_del(void *be, int fd) {
    auto *st = static_cast<epoll_state *>(be);
    epoll_event ev{};
    (void)epoll_ctl(st->fd, EPOLL_CTL_DEL, fd, &ev);  // a closed descriptor is gone already
}

static void ep_prepare(void *) {}  // the kernel keeps the set; changes apply at once

static int ep_wait(void *be, int timeout_ms, pal_poll_ready *out, int cap) {
    auto *st = static_cast<epoll_state *>(be);
    int max = cap < static_cast<int>(st->out.size()) ? cap : static_cast<int>(st->out.size());
    int n = epoll_wait(st->fd, st->out.data(), max, timeout_ms < 0 ? -1 : timeout_ms);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; i++) {
        uint32_t e = st->out[static_cast<size_t>(i)].events;
        unsigned ev = 0;
        if (e & (EPOLLIN | EPOLLHUP | EPOLLRDHUP))
            ev |= OS_POLLER_EVENT_READ;
        // A hang-up ends both directions: a writer must see it as well as a reader.
        if (e & (EPOLLOUT | EPOLLHUP))
            ev |= OS_POLLER_EVENT_WRITE;
        if (e & EPOLLERR)
            ev |= OS_POLLER_EVENT_ERROR;
        out[i] = pal_poll_ready{st->out[static_cast<size_t>(i)].data.fd, ev};
    }
    return n;
}

const pal_poller_backend pal_poller_epoll = {
    .name = "epoll",
    .kind = 7,
    .caps = 0x23,
    .open = ep_open,
    .close = ep_close,
    .set = ep_set,
    .del = ep_del,
    .prepare = ep_prepare,
    .wait = ep_wait,
};
