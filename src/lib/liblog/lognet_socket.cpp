// lognet_socket.cpp - the sockets of the syslog sink: name resolution, UDP and TCP connect
// and send. The only liblog file that knows the socket interface.
#include "log_internal.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Bounds of a TCP syslog server that accepts slowly or stops reading: the sink runs under
// the log lock, so it must never wait long.
static const int CONNECT_TIMEOUT_MS = 2000;
static const int SEND_TIMEOUT_MS = 1000;

// Well-known ports of the syslog services, for systems whose services list lacks them.
static const char *service_port(const char *service) {
    if (std::strcmp(service, "syslog") == 0)
        return "514";
    if (std::strcmp(service, "syslog-conn") == 0)
        return "601";
    return nullptr;
}

static addrinfo *resolve(const char *host, const char *port, bool tcp) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, port, &hints, &res);
    if (rc == EAI_SERVICE && service_port(port) != nullptr)
        rc = getaddrinfo(host, service_port(port), &hints, &res);
    return rc == 0 ? res : nullptr;
}

// A non-blocking connect bounded by CONNECT_TIMEOUT_MS; the socket is blocking afterwards.
static bool connect_bounded(int fd, const addrinfo *ai) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
        return false;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS)
            return false;
        pollfd p{.fd = fd, .events = POLLOUT, .revents = 0};
        if (poll(&p, 1, CONNECT_TIMEOUT_MS) != 1)
            return false;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return false;
    }
    if (fcntl(fd, F_SETFL, fl) < 0)
        return false;
    timeval tv{.tv_sec = SEND_TIMEOUT_MS / 1000, .tv_usec = (SEND_TIMEOUT_MS % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return true;
}

int lognet_sock_connect(const char *host, const char *port, bool tcp) {
    addrinfo *res = resolve(host, port, tcp);
    if (res == nullptr)
        return -1;
    int fd = -2;
    for (const addrinfo *ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
        int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0)
            continue;
        if (connect_bounded(s, ai))
            fd = s;
        else
            close(s);
    }
    freeaddrinfo(res);
    return fd;
}

int lognet_sock_send(int fd, const void *buf, size_t len) {
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

void lognet_sock_close(int fd) {
    close(fd);
}
