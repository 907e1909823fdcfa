// pal_poller_poll.cpp - the poll(2) back end of the poller: any descriptor number works
// and the capacity is only bounded by the front end.
#include <poll.h>

#include <cerrno>
#include <unordered_map>
#include <vector>

#include "pal_poller_backend.h"
#include "pal_socket.h"

namespace {
struct poll_state {
    std::vector<pollfd> master;  // changed under the poller lock
    std::unordered_map<int, size_t> index;
    std::vector<pollfd> working;  // the waiting thread's copy
};
}  // namespace

static short poll_bits(unsigned events) {
    short bits = 0;
    if (events & OS_POLLER_EVENT_READ)
        bits |= POLLIN;
    if (events & OS_POLLER_EVENT_WRITE)
        bits |= POLLOUT;
    return bits;
}

static void *pp_open(int capacity) {
    auto *st = new poll_state;
    st->master.reserve(static_cast<size_t>(capacity > 0 && capacity < 4096 ? capacity + 1 : 64));
    return st;
}

static void pp_close(void *be) {
    delete static_cast<poll_state *>(be);
}

static bool pp_set(void *be, int fd, unsigned events) {
    auto *st = static_cast<poll_state *>(be);
    auto it = st->index.find(fd);
    if (it != st->index.end()) {
        st->master[it->second].events = poll_bits(events);
        return true;
    }
    st->index[fd] = st->master.size();
    st->master.push_back(pollfd{fd, poll_bits(events), 0});
    return true;
}

static void pp_del(void *be, int fd) {
    auto *st = static_cast<poll_state *>(be);
    auto it = st->index.find(fd);
    if (it == st->index.end())
        return;
    size_t pos = it->second;
    st->index.erase(it);
    if (pos != st->master.size() - 1) {
        st->master[pos] = st->master.back();
        st->index[st->master[pos].fd] = pos;
    }
    st->master.pop_back();
}

static void pp_prepare(void *be) {
    auto *st = static_cast<poll_state *>(be);
    st->working = st->master;
}

static int pp_wait(void *be, int timeout_ms, pal_poll_ready *out, int cap) {
    auto *st = static_cast<poll_state *>(be);
    int rc = poll(st->working.data(), st->working.size(), timeout_ms < 0 ? -1 : timeout_ms);
    if (rc < 0)
        return errno == EINTR ? 0 : -1;
    int n = 0;
    for (const pollfd &p : st->working) {
        if (!p.revents || n >= cap)
            continue;
        unsigned ev = 0;
        if (p.revents & (POLLIN | POLLHUP))
            ev |= OS_POLLER_EVENT_READ;
        // A hang-up ends both directions: a writer must see it as well as a reader.
        if (p.revents & (POLLOUT | POLLHUP))
            ev |= OS_POLLER_EVENT_WRITE;
        if (p.revents & (POLLERR | POLLNVAL))
            ev |= OS_POLLER_EVENT_ERROR;
        out[n++] = pal_poll_ready{p.fd, ev};
    }
    return n;
}

const pal_poller_backend pal_poller_poll = {
    .name = "poll",
    .kind = 6,
    .caps = 0x23,
    .open = pp_open,
    .close = pp_close,
    .set = pp_set,
    .del = pp_del,
    .prepare = pp_prepare,
    .wait = pp_wait,
};
