// pal_file.cpp - files, directories and facts about the process and the machine.
#include "pal.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

void pal_fd::reset(int fd) noexcept {
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

int os_exe_get_path(std::span<char> out) {
    if (out.empty())
        return PAL_EINVAL;
    ssize_t n = readlink("/proc/self/exe", out.data(), out.size() - 1);
    if (n < 0)
        return pal_last_error();
    if (static_cast<size_t>(n) >= out.size() - 1)
        return PAL_ETRUNC;
    out[static_cast<size_t>(n)] = '\0';
    return static_cast<int>(n);
}

int os_exe_get_dir(std::span<char> out) {
    int n = os_exe_get_path(out);
    if (n < 0)
        return n;
    std::string_view path(out.data(), static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    size_t len = slash == 0 ? 1 : slash;  // the executable in "/" keeps "/"
    if (slash == std::string_view::npos)
        len = 0;
    out[len] = '\0';
    return static_cast<int>(len);
}

bool path_is_absolute(const char *path) {
    return path != nullptr && path[0] == '/';
}

int os_chdir(const char *dir) {
    return chdir(dir) == 0 ? 0 : pal_last_error();
}

bool os_file_exists(const char *path) {
    struct stat st {};
    return path != nullptr && lstat(path, &st) == 0;
}

bool os_is_dir(const char *path) {
    struct stat st {};
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t os_file_size(const char *path) {
    struct stat st {};
    if (stat(path, &st) != 0)
        return pal_last_error();
    return static_cast<int64_t>(st.st_size);
}

int os_mkdirs(const char *dir) {
    if (dir == nullptr || dir[0] == '\0')
        return PAL_EINVAL;
    std::string path(dir);
    for (size_t i = 1; i <= path.size(); i++) {
        if (i != path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return pal_last_error();
    }
    return os_is_dir(dir) ? 0 : PAL_ENOTDIR;
}

int os_getpid() {
    return static_cast<int>(getpid());
}

bool os_is_root() {
    return geteuid() == 0;
}

std::string os_hostname() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::string os_machine_name() {
    struct utsname u {};
    if (uname(&u) != 0)
        return "unknown";
    return u.machine;
}

std::string os_description() {
    struct utsname u {};
    if (uname(&u) != 0)
        return "Linux";
    return pal_format("%s %s %s", u.sysname, u.release, u.machine);
}

int os_read_file(const char *path, std::string *out) {
    pal_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return pal_last_error();
    out->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return pal_last_error();
        if (n == 0)
            return 0;
        out->append(buf, static_cast<size_t>(n));
    }
}

int os_write_file(const char *path, std::string_view data, int mode) {
    pal_fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.valid())
        return pal_last_error();
    while (!data.empty()) {
        ssize_t n = write(fd.get(), data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return pal_last_error();
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

int os_random(void *buf, size_t len) {
    auto *p = static_cast<unsigned char *>(buf);
    while (len > 0) {
        ssize_t n = getrandom(p, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return pal_last_error();
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

void pl_init() {
    // A peer that closes a socket must give EPIPE on the next write, not end the process.
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
    os_env_init();
}

void pl_exit() {}
