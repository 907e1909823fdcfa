// bsvf_internal.h - the UDP socket back end of the binary stream.
#pragma once

#include <cstddef>

/// A UDP socket connected to host:port (name or literal), or -1.
int bsvf_udp_open(const char *host, int port);
/// Sends one datagram without waiting. Returns the bytes sent or -1.
int bsvf_udp_send(int fd, const void *data, size_t len);
void bsvf_udp_close(int fd);
