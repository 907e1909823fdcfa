// pal_sendfile.cpp - zero-copy sends of file contents to a socket (sendfile), with the
// same sliced waits and time-out rule as the stream writes.
#include "pal.h"
#include "pal_socket.h"

#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>

int64_t os_sendfile(os_socket_t s, int fd, int64_t offset, int64_t len, int timeout_ms,
                    const std::atomic<int> *abort) {
    PAL_ASSERT_RET(s != 0 && fd >= 0 && offset >= 0 && len >= 0, -1);
    pl_init();  // a closed peer must give EPIPE, not end the process
    const int sock = static_cast<int>(s - 1);
    int64_t sent = 0;
    uint64_t last = os_clock_ms();
    while (sent < len) {
        off_t off = static_cast<off_t>(offset + sent);
        size_t chunk = static_cast<size_t>(std::min<int64_t>(len - sent, int64_t{1} << 30));
        ssize_t n = sendfile(sock, fd, &off, chunk);
        if (n > 0) {
            sent += n;
            last = os_clock_ms();
            continue;
        }
        if (n == 0)
            break;  // the file ended early
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            os_socket_set_error(pal_errno_code(errno));
            return -1;
        }
        if (abort != nullptr && abort->load() != 0) {
            os_socket_set_error(PAL_ECANCELED);
            return -1;
        }
        int left = timeout_ms - static_cast<int>(std::min<uint64_t>(os_clock_ms() - last, 0x7fffffff));
        if (left <= 0)
            break;
        if (os_socket_wait(s, OS_SOCKET_WRITE, std::min(left, 500)) < 0)
            return -1;
    }
    return sent;
}

bool os_fd_same_status(int fd, uint64_t size, int64_t mtime_sec, uint32_t mtime_nsec) {
    struct stat sb {};
    if (fd < 0 || fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode))
        return false;
    return static_cast<uint64_t>(sb.st_size) == size &&
           static_cast<int64_t>(sb.st_mtim.tv_sec) == mtime_sec &&
           static_cast<uint32_t>(sb.st_mtim.tv_nsec) == mtime_nsec;
}
