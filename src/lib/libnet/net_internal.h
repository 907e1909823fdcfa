// net_internal.h - what the files of libnet share and no other library sees.
#pragma once

#include "net.h"

#define NET_TAG "net"

/// Copy of the registered TLS hooks; false when none are registered.
bool net_tls_hooks_get(net_tls_hooks *out);

/// The socket event thread's poller (null before sock_env_init).
os_poller *sock_env_poller();
/// Drops the group's listeners from the event thread's pause list; sock_server_exit calls
/// it before it removes the sockets from the poller.
void sock_env_forget_listener(const sock_srv *srv);

/// Descriptor stream kind (handle = fd + 1): sliced read(2)/write(2).
int net_fd_read(net_stream *s, void *buf, int len);
int net_fd_write(net_stream *s, const void *buf, int len);

/// A new, empty memory buffer for a NET_TYPE_MEM stream's handle.
os_socket_t net_mem_new();
