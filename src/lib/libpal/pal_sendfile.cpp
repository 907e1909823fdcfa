// pal_sendfile.cpp - file contents to and from a socket: zero-copy sends (sendfile) and
// batched receives, with the same sliced waits and time-out rule as the stream calls.
#include "pal.h"
#include "pal_socket.h"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>

// The receive low-water mark of uploads.
static constexpr size_t RECV_BATCH = 512 * 1024;

static bool cancelled(const os_cancel *c) {
    return c != nullptr && c->fn != nullptr && c->fn(c->arg);
}

// Makes the socket blocking with a send time-out of slice_ms for the length of a send, so
// that sendfile sleeps in the kernel until the whole block left instead of waking the
// thread each time a little room appears; restores it afterwards.
namespace {
class blocking_slices {
public:
    blocking_slices(int sock, int slice_ms) : sock_(sock) {
        flags_ = fcntl(sock, F_GETFL);
        socklen_t len = sizeof(old_);
        have_old_ = getsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &old_, &len) == 0;
        timeval tv{slice_ms / 1000, (slice_ms % 1000) * 1000};
        ok_ = flags_ >= 0 && setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0 &&
              fcntl(sock, F_SETFL, flags_ & ~O_NONBLOCK) == 0;
        // Full segments while the block goes out; the last partial one leaves at the end.
        int one = 1;
        corked_ = setsockopt(sock, IPPROTO_TCP, TCP_CORK, &one, sizeof(one)) == 0;
    }
    ~blocking_slices() {
        int zero = 0;
        if (corked_)
            (void)setsockopt(sock_, IPPROTO_TCP, TCP_CORK, &zero, sizeof(zero));
        if (flags_ >= 0)
            (void)fcntl(sock_, F_SETFL, flags_);
        if (have_old_)
            (void)setsockopt(sock_, SOL_SOCKET, SO_SNDTIMEO, &old_, sizeof(old_));
    }
    bool ok() const { return ok_; }

private:
    int sock_;
    int flags_ = -1;
    timeval old_{};
    bool have_old_ = false;
    bool ok_ = false;
    bool corked_ = false;
};
}  // namespace

int64_t os_sendfile(os_socket_t s, int fd, int64_t offset, int64_t len, int64_t block,
                    int timeout_ms, const os_cancel *cancel) {
    PAL_ASSERT_RET(s != 0 && fd >= 0 && offset >= 0 && len >= 0 && block > 0, -1);
    pl_init();  // a closed peer must give EPIPE, not end the process
    const int sock = static_cast<int>(s - 1);
    int64_t sent = 0;
    // What fits the socket's buffer leaves in one call on the socket as it is: the
    // blocking set-up below pays off only for the rest of a larger file.
    if (len <= block) {
        off_t off = static_cast<off_t>(offset);
        ssize_t n = sendfile(sock, fd, &off, static_cast<size_t>(len));
        if (n == len || n == 0)
            return n;  // all of it, or the file ended early
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            os_socket_set_error(pal_errno_code(errno));
            return -1;
        }
        sent = n > 0 ? n : 0;
    }
    blocking_slices mode(sock, 500);
    uint64_t last = os_clock_ms();
    while (sent < len) {
        off_t off = static_cast<off_t>(offset + sent);
        size_t chunk = static_cast<size_t>(std::min({len - sent, block, int64_t{1} << 30}));
        ssize_t n = sendfile(sock, fd, &off, chunk);
        if (n > 0) {
            sent += n;
            last = os_clock_ms();
            if (!cancelled(cancel))
                continue;
        }
        if (n == 0)
            break;  // the file ended early
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            os_socket_set_error(pal_errno_code(errno));
            return -1;
        }
        if (cancelled(cancel)) {
            os_socket_set_error(PAL_ECANCELED);
            return sent > 0 ? sent : -1;
        }
        int left = timeout_ms - static_cast<int>(std::min<uint64_t>(os_clock_ms() - last, 0x7fffffff));
        if (left <= 0)
            break;
        // Non-blocking after all (the mode could not be set): wait for room here.
        if (!mode.ok() && os_socket_wait(s, OS_SOCKET_WRITE, std::min(left, 500)) < 0)
            return -1;
    }
    return sent;
}

// Writes all n bytes of buf to fd. 0, or -1 with the error set.
static int write_all(int fd, const char *buf, size_t n) {
    while (n > 0) {
        ssize_t m = write(fd, buf, n);
        if (m < 0 && errno == EINTR)
            continue;
        if (m <= 0) {
            os_socket_set_error(m < 0 ? pal_errno_code(errno) : PAL_EIO);
            return -1;
        }
        buf += m;
        n -= static_cast<size_t>(m);
    }
    return 0;
}

int64_t os_socket_recv_file(os_socket_t s, int fd, char *buf, size_t size, int64_t len,
                            int timeout_ms, const os_cancel *cancel, int *eof) {
    PAL_ASSERT_RET(s != 0 && fd >= 0 && buf != nullptr && size > 0 && len > 0 && eof != nullptr,
                   -1);
    *eof = 0;
    const int sock = static_cast<int>(s - 1);
    // Wake only when a good batch has come: fewer, larger copies for the same data. Less
    // than that is still taken after every slice of the wait, so a slow sender is never
    // mistaken for a stalled one.
    // Set before the first wait only: a small upload that has arrived whole never waits.
    int lowat = static_cast<int>(std::min<size_t>(size / 2, RECV_BATCH));
    bool lowat_set = false;
    uint64_t last = os_clock_ms();
    int64_t moved = 0;
    while (moved < len) {
        size_t want = std::min(static_cast<size_t>(len - moved), size);
        ssize_t n = recv(sock, buf, want, MSG_DONTWAIT);
        if (n > 0) {
            if (write_all(fd, buf, static_cast<size_t>(n)) != 0)
                return -2;
            moved += n;
            last = os_clock_ms();
            continue;
        }
        if (n == 0) {
            *eof = 1;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            os_socket_set_error(pal_errno_code(errno));
            return -1;
        }
        if (cancelled(cancel)) {
            os_socket_set_error(PAL_ECANCELED);
            return moved > 0 ? moved : -1;
        }
        int idle = static_cast<int>(std::min<uint64_t>(os_clock_ms() - last, 0x7fffffff));
        int left = timeout_ms - idle;
        if (left <= 0)
            break;  // nothing more within the time-out: hand back what came
        if (!lowat_set)
            lowat_set = setsockopt(sock, SOL_SOCKET, SO_RCVLOWAT, &lowat, sizeof(lowat)) == 0;
        if (os_socket_wait(s, OS_SOCKET_READ, std::min(left, 300)) < 0)
            return -1;
    }
    return moved;
}
