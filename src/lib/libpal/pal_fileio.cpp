// pal_fileio.cpp - plain descriptor reads for callers that measure or bypass the VFS
// (benchmarks comparing against the system's own positioned read).
#include "pal.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

int os_file_open_read(const char *path) {
    if (!path)
        return PAL_EINVAL;
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? pal_errno_code(errno) : fd;
}

int64_t os_file_pread(int fd, void *buf, size_t len, int64_t offset) {
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, p + done, len - done, static_cast<off_t>(offset) +
                                                        static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return pal_errno_code(errno);
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}
