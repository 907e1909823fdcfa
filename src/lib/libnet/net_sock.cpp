// net_sock.cpp - the descriptor layer of net streams: reads and writes that wait in short
// slices (300 ms reading, 500 ms writing) so that an abort or stop request ends them
// quickly, and that notice the end of the stream.
#include <algorithm>

#include "log.h"
#include "net_internal.h"

enum : int { READ_SLICE_MS = 300, WRITE_SLICE_MS = 500 };

namespace {
/// One transfer call on a descriptor handle: os_socket_recv/send or os_fd_read/write.
using xfer_fn = int (*)(os_socket_t h, void *buf, size_t len);
}  // namespace

static int sock_recv(os_socket_t h, void *buf, size_t len) {
    return os_socket_recv(h, buf, len);
}
static int sock_send(os_socket_t h, void *buf, size_t len) {
    return os_socket_send(h, buf, len);
}
static int fd_read(os_socket_t h, void *buf, size_t len) {
    return os_fd_read(static_cast<int>(h - 1), buf, len);
}
static int fd_write(os_socket_t h, void *buf, size_t len) {
    return os_fd_write(static_cast<int>(h - 1), buf, len);
}

static int elapsed_ms(uint64_t start) {
    return static_cast<int>(std::min<uint64_t>(os_clock_ms() - start, 0x7fffffff));
}

// Checks the abort flag and the stop record between slices. Returns true to give up.
static bool stopped(net_stream *s) {
    if (s->abort.load())
        return true;
    if (!s->stop)
        return false;
    if (s->stop->flag.load() || (s->stop->check && s->stop->check(s->stop->arg, s->timeout_ms))) {
        os_socket_set_error(PAL_ECANCELED);
        return true;
    }
    return false;
}

// Waits for readability in slices. Returns 1 when readable, 0 at the time-out, -1 on
// abort or stop, -2 when the wait itself failed.
static int wait_readable(net_stream *s, uint64_t start) {
    for (;;) {
        if (stopped(s))
            return -1;
        int left = s->timeout_ms - elapsed_ms(start);
        if (left <= 0)
            return 0;
        int w = os_socket_wait(s->handle, OS_SOCKET_READ, std::min(left, int{READ_SLICE_MS}));
        if (w < 0) {
            int code = pal_last_error();
            LOG2(LOG2_DBG, NET_TAG, "socket_wait error [%d] [%s]\n", code, pal_strerror(code));
            return -2;
        }
        if (w > 0)
            return 1;
    }
}

static int sliced_read(net_stream *s, void *buf, int len, xfer_fn recv_fn) {
    if (s->disconnected) {
        LOG2(LOG2_VERB, NET_TAG, "_disconnect!!\n");
        return -1;
    }
    if (len <= 0)
        return 0;
    uint64_t start = os_clock_ms();
    int total = 0;
    auto *p = static_cast<char *>(buf);
    for (;;) {
        os_socket_set_error(0);
        int n = recv_fn(s->handle, p + total, static_cast<size_t>(len - total));
        if (n > 0) {
            total += n;
            if (total == len)
                return total;
            continue;
        }
        if (n < 0) {
            int code = os_socket_error();
            LOG2(LOG2_DBG, NET_TAG, "socket_recv error [%d] [%s]\n", code, pal_strerror(code));
            s->disconnected = 1;  // after a reset the socket only reports a clean end
            return -1;
        }
        if (os_socket_error() == 0) {  // the peer closed its side
            s->disconnected = 1;
            return total;
        }
        int w = wait_readable(s, start);
        if (w == -1)
            return total > 0 ? total : -1;  // what came is the caller's; the next wait stops
        if (w == -2) {
            // A broken connection (reset, error pending): nothing more will come.
            s->disconnected = 1;
            return total > 0 ? total : -1;
        }
        if (w == 0)
            return total;
    }
}

static int sliced_write(net_stream *s, const void *data, int len, xfer_fn send_fn) {
    if (s->disconnected) {
        LOG2(LOG2_DBG, NET_TAG, "_disconnect!!\n");
        return -1;
    }
    uint64_t start = os_clock_ms();
    int sent = 0;
    auto *p = static_cast<char *>(const_cast<void *>(data));
    while (sent < len) {
        os_socket_set_error(0);
        int n = send_fn(s->handle, p + sent, static_cast<size_t>(len - sent));
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0) {
            int code = os_socket_error();
            LOG2(LOG2_DBG, NET_TAG, "socket_send error [%d] [%s]\n", code, pal_strerror(code));
            return -1;
        }
        for (;;) {  // would block: wait for room in slices
            if (stopped(s))
                return -1;
            int left = s->timeout_ms - elapsed_ms(start);
            if (left <= 0) {
                LOG2(LOG2_DBG, NET_TAG, "write timeout");
                return sent;
            }
            int w = os_socket_wait(s->handle, OS_SOCKET_WRITE, std::min(left, int{WRITE_SLICE_MS}));
            if (w < 0) {
                int code = pal_last_error();
                LOG2(LOG2_DBG, NET_TAG, "socket_wait error [%d] [%s]\n", code, pal_strerror(code));
                return -1;
            }
            if (w > 0)
                break;
        }
    }
    return len;
}

int net_sock_read(net_stream *s, void *buf, int len) {
    PAL_ASSERT_RET(s != nullptr && s->handle != 0, -1);
    return sliced_read(s, buf, len, sock_recv);
}

int net_sock_write(net_stream *s, const void *buf, int len) {
    PAL_ASSERT_RET(s != nullptr && s->handle != 0, -1);
    return sliced_write(s, buf, len, sock_send);
}

/// Descriptor kind: the same slices over read(2)/write(2).
int net_fd_read(net_stream *s, void *buf, int len) {
    PAL_ASSERT_RET(s != nullptr && s->handle != 0, -1);
    return sliced_read(s, buf, len, fd_read);
}

int net_fd_write(net_stream *s, const void *buf, int len) {
    PAL_ASSERT_RET(s != nullptr && s->handle != 0, -1);
    return sliced_write(s, buf, len, fd_write);
}
