// bsvf_udp_socket.cpp - UDP datagrams for the binary stream, the only file of libbsvf that
// uses the socket calls. Sends never wait: a full socket buffer drops the frame.
#include "bsvf_internal.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

int bsvf_udp_open(const char *host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *list = nullptr;
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    if (getaddrinfo(host, service, &hints, &list) != 0)
        return -1;
    int fd = -1;
    for (addrinfo *a = list; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    return fd;
}

int bsvf_udp_send(int fd, const void *data, size_t len) {
    return int(send(fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL));
}

void bsvf_udp_close(int fd) {
    if (fd >= 0)
        close(fd);
}
