// pal_socket.cpp - socket primitives over BSD sockets: handles are descriptor + 1, every
// socket is non-blocking and close-on-exec, and single-socket waits use poll so that
// descriptors above 1023 work.
#include "pal_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "pal.h"

namespace {
thread_local int t_sock_err = 0;

struct sys_addr {
    sockaddr_storage ss;
    socklen_t len;
};
}  // namespace

static int fd_of(os_socket_t s) {
    return static_cast<int>(s - 1);
}

static os_socket_t handle_of(int fd) {
    return static_cast<os_socket_t>(fd) + 1;
}

static void set_sock_err_from_errno() {
    t_sock_err = pal_errno_code(errno);
}

static bool to_sys(const os_sockaddr *a, sys_addr *out) {
    memset(out, 0, sizeof(*out));
    if (a->family == OS_AF_INET) {
        auto *in = reinterpret_cast<sockaddr_in *>(&out->ss);
        in->sin_family = AF_INET;
        in->sin_port = htons(a->port);
        memcpy(&in->sin_addr, a->addr, 4);
        out->len = sizeof(*in);
        return true;
    }
    if (a->family == OS_AF_INET6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out->ss);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(a->port);
        in6->sin6_scope_id = a->scope;
        memcpy(&in6->sin6_addr, a->addr, 16);
        out->len = sizeof(*in6);
        return true;
    }
    if (a->family == OS_AF_LOCAL) {
        auto *un = reinterpret_cast<sockaddr_un *>(&out->ss);
        un->sun_family = AF_UNIX;
        if (pal_strlcpy(std::span<char>(un->sun_path, sizeof(un->sun_path)), a->path) < 0)
            return false;
        out->len = sizeof(*un);
        return true;
    }
    return false;
}

static void from_sys(const sockaddr *sa, os_sockaddr *out) {
    memset(out, 0, sizeof(*out));
    if (sa->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        out->family = OS_AF_INET;
        out->port = ntohs(in->sin_port);
        memcpy(out->addr, &in->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        out->family = OS_AF_INET6;
        out->port = ntohs(in6->sin6_port);
        out->scope = in6->sin6_scope_id;
        memcpy(out->addr, &in6->sin6_addr, 16);
    } else if (sa->sa_family == AF_UNIX) {
        auto *un = reinterpret_cast<const sockaddr_un *>(sa);
        out->family = OS_AF_LOCAL;
        (void)pal_strlcpy(out->path, std::string_view(un->sun_path, strnlen(un->sun_path,
                                                                            sizeof(un->sun_path))));
    }
}

// ---------------------------------------------------------------------------------------
// Addresses and names.

bool os_ipaddr_parse(const char *text, os_sockaddr *out) {
    PAL_ASSERT_RET(text != nullptr && out != nullptr, false);
    memset(out, 0, sizeof(*out));
    char buf[128];
    std::string_view t(text);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']')
        t = t.substr(1, t.size() - 2);
    if (pal_strlcpy(buf, t) < 0 || buf[0] == '\0')
        return false;
    if (inet_pton(AF_INET, buf, out->addr) == 1) {
        out->family = OS_AF_INET;
        return true;
    }
    char *pct = strchr(buf, '%');
    if (pct) {
        *pct = '\0';
        const char *scope = pct + 1;
        unsigned idx = if_nametoindex(scope);
        if (idx == 0) {
            char *end = nullptr;
            unsigned long v = strtoul(scope, &end, 10);
            if (!*scope || *end || v > 0xffffffffUL)
                return false;
            idx = static_cast<unsigned>(v);
        }
        out->scope = idx;
    }
    if (inet_pton(AF_INET6, buf, out->addr) == 1) {
        out->family = OS_AF_INET6;
        return true;
    }
    return false;
}

const char *os_ipaddr_cstr(const os_sockaddr *a, bool with_port, std::span<char> out) {
    if (out.empty())
        return "";
    out[0] = '\0';
    char host[96] = "";
    if (a->family == OS_AF_INET) {
        pal_snprintf(host, "%u.%u.%u.%u", a->addr[0], a->addr[1], a->addr[2], a->addr[3]);
    } else if (a->family == OS_AF_INET6) {
        size_t n = 0;
        for (int i = 0; i < 8; i++)
            n += static_cast<size_t>(pal_snprintf(std::span<char>(host + n, sizeof(host) - n),
                                                  "%s%04x", i ? ":" : "",
                                                  (a->addr[2 * i] << 8) | a->addr[2 * i + 1]));
        if (a->scope)
            pal_snprintf(std::span<char>(host + n, sizeof(host) - n), "%%%u", a->scope);
    } else if (a->family == OS_AF_LOCAL) {
        pal_strlcpy(out, a->path);
        return out.data();
    }
    if (!with_port)
        pal_strlcpy(out, host);
    else if (a->family == OS_AF_INET6)
        pal_snprintf(out, "[%s]:%u", host, a->port);
    else
        pal_snprintf(out, "%s:%u", host, a->port);
    return out.data();
}

bool os_localaddr_set(os_sockaddr *a, const char *path) {
    memset(a, 0, sizeof(*a));
    a->family = OS_AF_LOCAL;
    return pal_strlcpy(a->path, path ? path : "") >= 0 &&
           strlen(a->path) < sizeof(sockaddr_un::sun_path);
}

static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

static const uint8_t *ipv4_bytes(const os_sockaddr *a) {
    if (a->family == OS_AF_INET)
        return a->addr;
    if (a->family == OS_AF_INET6 && memcmp(a->addr, kMapped, 12) == 0)
        return a->addr + 12;
    return nullptr;
}

bool os_ipaddr_same_host(const os_sockaddr *a, const os_sockaddr *b) {
    const uint8_t *a4 = ipv4_bytes(a);
    const uint8_t *b4 = ipv4_bytes(b);
    if (a4 || b4)
        return a4 && b4 && memcmp(a4, b4, 4) == 0;
    if (a->family != b->family)
        return false;
    if (a->family == OS_AF_INET6)
        return memcmp(a->addr, b->addr, 16) == 0;
    return a->family == OS_AF_LOCAL && strcmp(a->path, b->path) == 0;
}

bool os_addrinfo_addr(const char *host, os_sockaddr *out) {
    PAL_ASSERT_RET(host != nullptr && out != nullptr, false);
    if (os_ipaddr_parse(host, out))
        return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || !res) {
        errno = (rc == EAI_SYSTEM) ? errno : ENOENT;
        return false;
    }
    from_sys(res->ai_addr, out);
    out->port = 0;
    freeaddrinfo(res);
    return out->family != 0;
}

bool os_has_ipv6() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

int os_local_socket_path(const char *name, std::span<char> out) {
    if (strchr(name, '/'))
        return pal_strlcpy(out, name);
    const char *dir = getenv("XDG_RUNTIME_DIR");
    if (!dir || !*dir)
        dir = "/tmp";
    std::string path = pal_format("%s/%s.sock", dir, name);
    return pal_strlcpy(out, path);
}

bool os_local_socket_remove(const char *path) {
    struct stat st {};
    return path && lstat(path, &st) == 0 && S_ISSOCK(st.st_mode) && unlink(path) == 0;
}

// ---------------------------------------------------------------------------------------
// Sockets.

static int sys_family(int family) {
    switch (family) {
    case OS_AF_INET: return AF_INET;
    case OS_AF_INET6: return AF_INET6;
    case OS_AF_LOCAL: return AF_UNIX;
    default: return -1;
    }
}

os_socket_t os_socket_init(int type, int family) {
    PAL_ASSERT_RET(type == OS_SOCKET_TCP, 0);
    int af = sys_family(family);
    PAL_ASSERT_RET(af >= 0, 0);
    int fd = socket(af, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd < 0 ? 0 : handle_of(fd);
}

bool os_socket_ctrl(os_socket_t s, int code, unsigned long value) {
    PAL_ASSERT_RET(s != 0, false);
    int v = static_cast<int>(value);
    switch (code) {
    case OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE:
        return setsockopt(fd_of(s), SOL_SOCKET, SO_RCVBUF, &v, sizeof(v)) == 0;
    case OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE:
        return setsockopt(fd_of(s), SOL_SOCKET, SO_SNDBUF, &v, sizeof(v)) == 0;
    case OS_SOCKET_CTRL_SET_TCP_NODELAY:
        return setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &v, sizeof(v)) == 0;
    default:
        PAL_LOG(3, "pal", "unknown socket ctrl: %lu\n", static_cast<unsigned long>(code));
        return false;
    }
}

int os_socket_connect(os_socket_t s, const os_sockaddr *addr) {
    PAL_ASSERT_RET(s != 0, -1);
    PAL_ASSERT_RET(addr != nullptr && addr->family != 0, -1);
    sys_addr sa;
    if (!to_sys(addr, &sa)) {
        errno = EINVAL;
        return -1;
    }
    int rc;
    do {
        rc = connect(fd_of(s), reinterpret_cast<sockaddr *>(&sa.ss), sa.len);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0 || errno == EISCONN)
        return 1;
    if (errno == EINPROGRESS || errno == EALREADY || errno == EAGAIN)
        return 0;
    return -1;
}


bool os_socket_bind(os_socket_t s, const os_sockaddr *addr) {
    PAL_ASSERT_RET(s != 0 && addr != nullptr, false);
    sys_addr sa;
    if (!to_sys(addr, &sa)) {
        errno = EINVAL;
        return false;
    }
    int one = 1;
    if (addr->family == OS_AF_INET6)
        (void)setsockopt(fd_of(s), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    if (addr->family != OS_AF_LOCAL)
        (void)setsockopt(fd_of(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    else
        (void)os_local_socket_remove(addr->path);  // a stale socket of an earlier run
    if (bind(fd_of(s), reinterpret_cast<sockaddr *>(&sa.ss), sa.len) != 0)
        return false;
    if (addr->family == OS_AF_LOCAL && chmod(addr->path, 0600) != 0)
        return false;
    return true;
}

bool os_socket_listen(os_socket_t s, int backlog) {
    PAL_ASSERT_RET(s != 0, false);
    return listen(fd_of(s), backlog > 0 ? backlog : SOMAXCONN) == 0;
}

os_socket_t os_socket_accept(os_socket_t s, os_sockaddr *peer) {
    PAL_ASSERT_RET(s != 0, 0);
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    int fd;
    do {
        fd = accept4(fd_of(s), reinterpret_cast<sockaddr *>(&ss), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED));
    if (fd < 0)
        return 0;
    if (peer)
        from_sys(reinterpret_cast<sockaddr *>(&ss), peer);
    return handle_of(fd);
}

bool os_socket_local(os_socket_t s, os_sockaddr *out) {
    PAL_ASSERT_RET(s != 0 && out != nullptr, false);
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getsockname(fd_of(s), reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return false;
    from_sys(reinterpret_cast<sockaddr *>(&ss), out);
    return true;
}

bool os_socket_peer(os_socket_t s, os_sockaddr *out) {
    PAL_ASSERT_RET(s != 0 && out != nullptr, false);
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getpeername(fd_of(s), reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return false;
    from_sys(reinterpret_cast<sockaddr *>(&ss), out);
    return true;
}

void os_socket_kill(os_socket_t s) {
    PAL_ASSERT_RET(s != 0, );
    // A socket that never connected reports ENOTCONN; that is not worth an error line.
    if (shutdown(fd_of(s), SHUT_RDWR) != 0 && errno != ENOTCONN)
        PAL_LOG(3, "pal", "kill: %p failed, errno: %d\n", reinterpret_cast<void *>(s), errno);
}

void os_socket_exit(os_socket_t s) {
    PAL_ASSERT_RET(s != 0, );
    if (close(fd_of(s)) != 0)
        PAL_LOG(7, "pal", "close: %p failed, errno: %d\n", reinterpret_cast<void *>(s), errno);
}

static int io_result(ssize_t n) {
    if (n > 0) {
        t_sock_err = 0;
        return static_cast<int>(n);
    }
    if (n == 0) {
        t_sock_err = 0;
        return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        t_sock_err = PAL_EAGAIN;
        return 0;
    }
    set_sock_err_from_errno();
    return -1;
}

int os_socket_recv(os_socket_t s, void *buf, size_t len) {
    PAL_ASSERT_RET(s != 0, -1);
    if (len == 0)
        return 0;
    ssize_t n;
    do {
        n = recv(fd_of(s), buf, len, 0);
    } while (n < 0 && errno == EINTR);
    return io_result(n);
}

int os_socket_send(os_socket_t s, const void *buf, size_t len) {
    PAL_ASSERT_RET(s != 0, -1);
    if (len == 0)
        return 0;
    ssize_t n;
    do {
        n = send(fd_of(s), buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {  // a stream send of len > 0 never sends nothing; treat as would-block
        t_sock_err = PAL_EAGAIN;
        return 0;
    }
    return io_result(n);
}

int os_socket_error() {
    return t_sock_err;
}

void os_socket_set_error(int code) {
    t_sock_err = code;
    switch (code) {
    case 0: errno = 0; break;
    case PAL_ECANCELED: errno = ECANCELED; break;
    case PAL_ETIMEDOUT: errno = ETIMEDOUT; break;
    case PAL_EAGAIN: errno = EAGAIN; break;
    default: break;
    }
}

int os_socket_wait(os_socket_t s, unsigned events, int timeout_ms) {
    PAL_ASSERT_RET(s != 0, -1);
    pollfd pfd{fd_of(s), 0, 0};
    if (events & OS_SOCKET_READ)
        pfd.events |= POLLIN;
    if (events & OS_SOCKET_WRITE)
        pfd.events |= POLLOUT;
    int rc;
    uint64_t start = os_clock_ms();
    int left = timeout_ms;
    for (;;) {
        rc = poll(&pfd, 1, left < 0 ? -1 : left);
        if (rc >= 0 || errno != EINTR)
            break;
        if (timeout_ms >= 0) {
            uint64_t spent = os_clock_ms() - start;
            left = spent >= static_cast<uint64_t>(timeout_ms) ? 0
                                                               : timeout_ms - static_cast<int>(spent);
        }
    }
    if (rc <= 0)
        return rc < 0 ? -1 : 0;
    if (pfd.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    int soerr = 0;
    socklen_t len = sizeof(soerr);
    if ((pfd.revents & POLLERR) &&
        getsockopt(pfd.fd, SOL_SOCKET, SO_ERROR, &soerr, &len) == 0 && soerr != 0) {
        errno = soerr;
        return -1;
    }
    unsigned ready = 0;
    if (pfd.revents & (POLLIN | POLLHUP | POLLERR))
        ready |= events & OS_SOCKET_READ;
    if (pfd.revents & (POLLOUT | POLLHUP | POLLERR))
        ready |= events & OS_SOCKET_WRITE;
    return static_cast<int>(ready);
}

bool os_socket_pair(os_socket_t pair[2]) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    pair[0] = handle_of(fds[0]);
    pair[1] = handle_of(fds[1]);
    return true;
}

int os_fd_read(int fd, void *buf, size_t len) {
    if (len == 0)
        return 0;
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return io_result(n);
}

int os_fd_write(int fd, const void *buf, size_t len) {
    if (len == 0)
        return 0;
    ssize_t n;
    do {
        n = write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return io_result(n);
}

int os_fd_limit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
        rl.rlim_cur > 1048576)
        return 1048576;
    return static_cast<int>(rl.rlim_cur);
}

int os_fd_limit_raise(int want) {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return os_fd_limit();
    rlim_t target = static_cast<rlim_t>(want);
    if (rl.rlim_max != RLIM_INFINITY && target > rl.rlim_max)
        target = rl.rlim_max;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < target) {
        rl.rlim_cur = target;
        (void)setrlimit(RLIMIT_NOFILE, &rl);
    }
    return os_fd_limit();
}
