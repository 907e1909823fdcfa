// pal_secret_file.cpp - files that must not leak: a whole-file replacement that never
// writes through a symbolic link and never shows a half-written file, and the creation of
// files readable by their owner only whatever the umask.
#include "pal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

// Writes all of data to fd, repeating short and interrupted writes. 0 or -1 with errno.
static int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

// Fills the temporary file fd and gives it its final mode; fchmod ignores the umask, so a
// key file ends 0600 even where the umask would allow more or less. 0 or -1 with errno.
static int fill_temp(int fd, std::string_view data, mode_t mode) {
    if (write_all(fd, data) != 0 || fchmod(fd, mode) != 0)
        return -1;
    return fsync(fd);
}

// The rename is durable only once the directory's entry is on disk; a failure here changes
// nothing the caller could act on, so it is not reported.
static void sync_dir_of(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
    pal_fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.valid())
        (void)fsync(d.get());
}

// The mode the new file gets: the old file's with keep_mode, else mode. A symbolic link is
// refused here already; rename would replace the link itself, never write through it, so a
// link swapped in later cannot redirect the data either.
static int target_mode(const char *path, int mode, bool keep_mode, mode_t *out) {
    struct stat sb;
    *out = static_cast<mode_t>(mode) & 07777;
    if (lstat(path, &sb) != 0)
        return errno == ENOENT ? 0 : pal_last_error();
    if (S_ISLNK(sb.st_mode)) {
        errno = ELOOP;
        return PAL_ELOOP;
    }
    if (keep_mode)
        *out = sb.st_mode & 07777;
    return 0;
}

int os_replace_file(const char *path, std::string_view data, int mode, bool keep_mode) {
    PAL_ASSERT_RET(path != nullptr && *path != '\0', PAL_EINVAL);
    mode_t final_mode = 0;
    if (int rc = target_mode(path, mode, keep_mode, &final_mode); rc != 0)
        return rc;
    // Same directory, so the rename stays on one file system; mkostemp makes it 0600 and
    // exclusive, so nobody can open it before it is complete.
    std::string tmp = std::string(path) + ".XXXXXX";
    pal_fd fd(mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd.valid())
        return pal_last_error();
    int rc = fill_temp(fd.get(), data, final_mode);
    fd.reset();
    if (rc == 0)
        rc = rename(tmp.c_str(), path);
    if (rc != 0) {
        int saved = errno;
        (void)unlink(tmp.c_str());
        errno = saved;
        return pal_errno_code(saved);
    }
    sync_dir_of(path);
    return 0;
}

int os_create_private_file(const char *path) {
    PAL_ASSERT_RET(path != nullptr && *path != '\0', PAL_EINVAL);
    // O_EXCL | O_NOFOLLOW: an existing file (or link) is left as it is.
    pal_fd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return errno == EEXIST ? 0 : pal_last_error();
    // The umask may have taken bits away from 0600; the owner needs both.
    return fchmod(fd.get(), 0600) == 0 ? 0 : pal_last_error();
}
