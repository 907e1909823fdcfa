// net.h - the networking core: the socket event thread, listener groups, connection pools,
// outgoing connects and net streams (TCP, TLS, local sockets, console, descriptors, memory).
//
// Seams for the layers above:
// - TLS: libssl sits above libnet. It registers its client handshake with
//   net_set_tls_hooks(); net_open calls it for "tcps"/"https" (without hooks those schemes
//   fail with "TLS is not available"). A handshake stores its session in net_stream::tls
//   and points net_stream::io at its own operations; its transport is net_sock_read /
//   net_sock_write, which never go through io. net_close calls io->close (end the TLS
//   session) before it closes the socket, so callers never branch on TLS.
// - Proxies: the proxy client (sock_proxy.cpp, proxy_conf.cpp) implements conf_proxy_get
//   and proxy_tcp_connect below. sock_tcp_connect hands a connect whose options name a
//   proxy to proxy_tcp_connect, which reaches the proxy with sock_tcp_connect itself
//   (proxy kind cleared) and runs the handshake on a temporary stream.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pal.h"
#include "pal_socket.h"

// ---------------------------------------------------------------------------------------
// Stop record and error detail.

/// Stop record: consulted between wait slices by connects, reads and writes. Any thread
/// may set flag; check (may be null) returns true to stop.
struct net_stop {
    std::atomic<int> flag{0};
    bool (*check)(void *arg, int timeout_ms) = nullptr;
    void *arg = nullptr;
};

/// Error detail of a failing operation: code (a table code or -1/-2) and message.
struct net_err {
    int code;
    char msg[512];
};
/// Fills e (may be null) with code and a printf message.
[[gnu::format(printf, 3, 4)]] void net_err_set(net_err *e, int code, const char *fmt, ...);
/// The message, or the table text of the code when the message is empty.
const char *net_err_text(const net_err *e);

// ---------------------------------------------------------------------------------------
// Net streams.

enum : int {
    NET_TYPE_TCP = 0,       ///< connected client socket
    NET_TYPE_TCP_SRV = 1,   ///< accepted socket
    NET_TYPE_STDIO = 2,     ///< standard input and output
    NET_PIPE_SRV_TYPE = 3,  ///< accepted local socket ("named pipe" server end)
    NET_PIPE_CLI_TYPE = 4,  ///< connected local socket ("named pipe" client end)
    NET_TYPE_SERIAL = 5,    ///< a descriptor (serial line, file, pipe); handle = fd + 1
    NET_TYPE_MEM = 6,       ///< growable memory buffer
};

struct net_stream;

/// The operations of a stream. recv/send have the results of net_read/net_write; close
/// (may be null) releases what the operations own (the TLS session), not the socket.
struct net_io_ops {
    const char *name;
    int (*recv)(net_stream *s, void *buf, int len);
    int (*send)(net_stream *s, const void *buf, int len);
    void (*close)(net_stream *s);
};

/// The stream record; connection records and sessions begin with one. A zeroed record of
/// a socket kind with its handle set is a valid plain stream (io null means "the kind's
/// own operations"). Used by one thread at a time, except abort and stop->flag, which any
/// thread may set.
struct net_stream {
    int type;                  ///< NET_TYPE_*; negative: every operation fails with -1
    os_socket_t handle;        ///< socket handle, fd + 1 (serial), or net_mem* (memory)
    void *tls;                 ///< TLS session (owned by libssl), null for plain streams
    int timeout_ms;            ///< per read/write call
    std::atomic<int> abort;    ///< non-zero: a blocked read/write returns -1 at its next slice
    net_stop *stop;            ///< may be null; not owned
    const net_io_ops *io;      ///< null: the kind's own operations; libssl swaps in TLS
    int disconnected;          ///< the end of the stream was seen
};

/// Sets up a stream record of kind type on handle (not owned until net_close).
void net_stream_init(net_stream *s, int type, os_socket_t handle, int timeout_ms);

/// Opens a client stream: "net://mem" (memory), or "tcp", "tcps", "http", "https" URLs
/// with optional query keys "proxy" and "proxy_url". Blocks up to timeout_ms to connect
/// (and for the TLS handshake). Returns 0, or -1 (the cause logged with tag "net").
[[nodiscard]] int net_open(net_stream *s, const char *url, int timeout_ms);

/// Reads up to len bytes, waiting at most the stream's time-out in slices of 300 ms (abort
/// and stop checked each slice). Returns the bytes read (fewer only at the time-out, an
/// abort or stop, or the end of the stream; 0 when nothing came in time), or -1 on error,
/// on abort or stop before any byte came, or after the end of the stream was seen.
[[nodiscard]] int net_read(net_stream *s, void *buf, int len);
/// Writes len bytes in slices of 500 ms (abort and stop checked each slice). Returns len,
/// the bytes sent before the time-out or the peer's close, or -1 on error, abort or stop.
[[nodiscard]] int net_write(net_stream *s, const void *buf, int len);
/// Reads what has arrived, up to len bytes, waiting at most wait_ms (in slices of 300 ms,
/// abort and stop checked each slice) for the first byte and never for more; wait_ms 0
/// only takes what is there. For control connections, whose lines come in pieces. Returns
/// the bytes read, 0 when nothing came in time, -1 on error, abort, stop or at the end of
/// the stream. Leaves the stream's time-out as it was.
[[nodiscard]] int net_read_avail(net_stream *s, void *buf, int len, int wait_ms);
/// One byte: returns it with *got = 1; 0 with *got = 0 when nothing came in time; -1.
[[nodiscard]] int net_getc(net_stream *s, int *got);
/// Reads a line (up to LF or NUL) into buf of size bytes, without LF and CRs. Returns the
/// length, 1 for an empty line, 0 when nothing came in time, -1 on error or when the line
/// did not fit (the rest of the line is consumed).
[[nodiscard]] int net_gets(net_stream *s, char *buf, int size);
enum : int { NET_GETS0_SIZE = 16384 };
/// As net_gets into a buffer of NET_GETS0_SIZE bytes, ended only by a NUL byte.
[[nodiscard]] int net_gets0(net_stream *s, char *buf);
/// Ends the TLS session and closes the socket (kinds 0, 1, 3, 4), frees a memory buffer.
/// Kinds 2 and 5 keep their descriptor. The record itself stays the caller's. 0, or -1 for
/// an unknown kind.
int net_close(net_stream *s);

/// Socket transport under net_read/net_write and under TLS (never goes through io).
[[nodiscard]] int net_sock_read(net_stream *s, void *buf, int len);
[[nodiscard]] int net_sock_write(net_stream *s, const void *buf, int len);

/// Local-socket ("named pipe") streams. The socket path comes from os_local_socket_path.
/// Opens the listening socket (stale socket removed, mode 0600), or 0.
[[nodiscard]] os_socket_t npipe_srv_open(const char *name);
/// Waits up to timeout_ms for a client and fills s as NET_PIPE_SRV_TYPE. 0, -2 (time-out,
/// abort of s) or -1.
[[nodiscard]] int npipe_srv_accept(os_socket_t srv, net_stream *s, int timeout_ms);
/// Closes the listening socket and removes its path.
void npipe_srv_close(os_socket_t srv, const char *name);
/// Connects to the server NAME within timeout_ms and fills s as NET_PIPE_CLI_TYPE. 0 or -1.
[[nodiscard]] int npipe_cli_open(net_stream *s, const char *name, int timeout_ms);

/// Memory stream contents not read yet (kind NET_TYPE_MEM), for tests and the shell.
size_t net_mem_pending(const net_stream *s);

// ---------------------------------------------------------------------------------------
// TLS seam.

struct net_tls_hooks {
    /// Client handshake on a connected stream to host; on success sets s->tls and s->io and
    /// returns 0; on failure returns -1 and leaves the socket to the caller.
    int (*client_handshake)(net_stream *s, const char *host);
    /// Frees process-wide TLS state (called by sock_env_exit); may be null.
    void (*lib_exit)();
};
/// Installs the hooks (copied); null removes them. Call before threads use net_open.
void net_set_tls_hooks(const net_tls_hooks *hooks);

// ---------------------------------------------------------------------------------------
// Proxy description and connect options.

enum : int { NET_PROXY_NONE = 0, NET_PROXY_HTTP = 1, NET_PROXY_SOCKS4 = 2, NET_PROXY_SOCKS5 = 3 };

struct net_proxy {
    int type;  ///< NET_PROXY_*; 0 = direct
    char proto[32];
    char host[1024];
    int port;
    char user[4096];
    char pwd[4096];
};

struct sock_cli_opts {
    int timeout_ms;  ///< for the connection to complete
    int buf_size;    ///< SO_RCVBUF and SO_SNDBUF; 0 = system default
    int nowait;      ///< start the connect and return at once
    net_proxy proxy;
    net_stop *stop;  ///< may be null
};

/// Implemented by the proxy client: 1 when no proxy applies, 0 when out was filled, -1.
int conf_proxy_get(const char *proxy_url, const char *proxy_name, net_proxy *out, net_err *e);
/// Implemented by the proxy client: a socket tunnelled to host:port through opts->proxy,
/// or 0 with the cause in e.
[[nodiscard]] os_socket_t proxy_tcp_connect(const char *host, int port, sock_cli_opts *opts,
                                            net_err *e);

// ---------------------------------------------------------------------------------------
// Outgoing connections.

/// A TCP socket of family with buffer size (0: default) and TCP_NODELAY, or 0.
[[nodiscard]] os_socket_t sock_tcp_init(int family, int buf_size, net_err *e);
/// Connects s to addr within opts->timeout_ms, checking the stop record every 200 ms.
/// 0, or -1 with "connect %s timeout", "User request stop" or "connect %s <os error>".
[[nodiscard]] int sock_connect_imp(os_socket_t s, const os_sockaddr *addr,
                                   const sock_cli_opts *opts, net_err *e);
/// Resolves host, connects to port (through the proxy when opts names one). Returns the
/// connected socket (owned by the caller) or 0 with the cause in e. Blocks up to the
/// time-out.
[[nodiscard]] os_socket_t sock_tcp_connect(const char *host, int port, sock_cli_opts *opts,
                                           net_err *e);
/// Plain blocking-with-time-out connect to a literal address or name (no proxy).
[[nodiscard]] os_socket_t sock_connect(const char *host, int port, int timeout_ms,
                                       net_stop *stop, net_err *e);
/// Shuts down and closes s (0 is ignored).
void sock_tcp_close(os_socket_t s);

// ---------------------------------------------------------------------------------------
// Socket event thread.

enum : int { SOCKET_TYPE_LISTEN = 2, SOCKET_TYPE_EVENT = 3 };

/// Event procedure: (socket, events, argument); a negative result unregisters it.
using sock_event_proc = int (*)(os_socket_t s, unsigned events, void *arg);
struct sock_event_ctx;

/// Starts the event thread "sock_listen" once (later calls do nothing). It raises the soft
/// descriptor limit towards the hard one (at most 65536), and its poller holds as many
/// sockets as that limit allows. Returns 0.
int sock_env_init();
/// Stops the event thread (waits for it). Returns 0. No restart afterwards.
int sock_env_stop();
/// Stops the thread, frees the poller, the event contexts and the TLS hooks' state.
int sock_env_exit();
/// Watches s for readability on the event thread; proc runs there (must not block long).
/// A negative result of proc ends the watch; the context stays allocated until its owner
/// calls sock_del_event_proc (or sock_env_exit). Returns the context, or null when the
/// poller refuses it; s stays open and the caller's in every case.
[[nodiscard]] sock_event_ctx *sock_insert_event_proc(os_socket_t s, sock_event_proc proc,
                                                     void *arg);
/// Stops watching and frees ctx; the socket is not closed. After it returns the
/// procedure no longer runs. Safe from the procedure itself. Returns 0.
int sock_del_event_proc(sock_event_ctx *ctx);
/// Number of registered event contexts (for diagnostics and tests).
int sock_event_count();

// ---------------------------------------------------------------------------------------
// Listener groups.

/// Accept procedure, run on the event thread: owns new_sock from the call on.
using sock_accept_proc = int (*)(os_socket_t new_sock, const os_sockaddr *peer, void *arg);
/// Work procedure of a group without accept procedure: runs on its own "%s_work" thread
/// and owns the socket.
using sock_work_proc = int (*)(os_socket_t new_sock);

struct sock_srv_opts {
    const char *name;
    int recv_buf;  ///< 0: system default
    int send_buf;
    int backlog;
    sock_accept_proc accept_proc;
    sock_work_proc work_proc;
    int bound_port;  ///< out: local port of the last socket bound
    void *arg;
    /// One-connection listener only: when set, a connection from any other host is closed
    /// at once and the listener keeps waiting.
    const os_sockaddr *allow_peer;
    /// One-connection listener with a port range only: the port the search starts at (it
    /// wraps round to the range's start); outside the range: the range's start.
    int first_port;
};

enum : int { SOCK_SRV_MAX = 32 };
struct sock_srv {
    int type;  ///< SOCKET_TYPE_LISTEN
    char name[128];
    sock_accept_proc accept_proc;
    sock_work_proc work_proc;
    void *arg;
    int count;
    os_socket_t socks[SOCK_SRV_MAX];
};

/// A bound, listening TCP socket on address text and port, or 0 (logged).
[[nodiscard]] os_socket_t sock_bind(const char *addr, int port, sock_srv_opts *opts);
[[nodiscard]] os_socket_t sock_tcp_bind(const char *addr, int port, sock_srv_opts *opts);
/// Opens a group on up to 32 addresses (';' or ',' separated, empty items skipped; null
/// or empty: "0.0.0.0" and "::") served by the event thread. Port 0: the first socket's
/// port is shared by the rest. Returns the group (close with sock_server_exit) or null.
[[nodiscard]] sock_srv *sock_server_init_imp(const char *addrs, int port, sock_srv_opts *opts);
/// Removes the sockets from the event thread, closes them and frees the group. When it
/// returns, no accept procedure of the group runs any more.
int sock_server_exit(sock_srv *srv);

/// One-connection (passive) listener, served by the thread that waits on it (not by the
/// event thread). Used by one thread at a time.
struct sock_wait_srv;
/// Opens it on the first address of addrs (empty: "0.0.0.0") and the first free port of
/// begin..end-1 (begin 0 or begin > end: a system port; begin == end: fails).
/// opts->bound_port receives the port; opts->allow_peer, when set, is the only host whose
/// connection is taken. Returns the record or null.
[[nodiscard]] sock_wait_srv *sock_tcp_server_wait_open2(const char *addrs, int begin, int end,
                                                        sock_srv_opts *opts);
/// Waits up to timeout_ms (< 0: no limit) for the first connection from the allowed host
/// and takes it (the caller owns the socket from then on); connections from other hosts
/// are closed as they are met. Once one is taken the listening socket closes, so later
/// connects are refused. Returns the socket or 0 (none in time, or taken before).
[[nodiscard]] os_socket_t sock_tcp_server_wait_accept(sock_wait_srv *w, int timeout_ms);
/// The listener's port.
int sock_tcp_server_wait_port(const sock_wait_srv *w);
/// Closes the listener and frees the record; a connection not taken is closed.
int sock_tcp_server_wait_close(sock_wait_srv *w);

// ---------------------------------------------------------------------------------------
// Connection pools: one zeroed record and one worker thread per accepted connection.

struct sock_ctx_pool;
/// Beginning of every connection record; extend it with trivially constructible fields
/// (the record is zeroed raw memory of the pool's record size). stream.abort == 2 means the
/// pool is being torn down.
struct sock_ctx {
    net_stream stream;  ///< stream.handle: the accepted socket, type NET_TYPE_TCP_SRV
    os_thread *thread;
    sock_ctx_pool *pool;
};

struct sock_ctx_opts {
    const char *name;                 ///< names the pool and its worker threads
    size_t size;                      ///< record size, at least sizeof(sock_ctx)
    void (*close_hook)(sock_ctx *c);  ///< before the record is released; may be null
    int (*work)(sock_ctx *c);         ///< runs on the worker; ends with sock_tcp_ctx_close
};

/// Returns the pool or null.
[[nodiscard]] sock_ctx_pool *sock_tcp_ctx_init(const sock_ctx_opts *opts);
/// Takes a record for s and starts its worker. Returns the record, or null (the caller
/// still owns and closes s), also while the pool is being torn down.
sock_ctx *sock_tcp_ctx_open(sock_ctx_pool *pool, os_socket_t s);
/// Gives the record back (close hook, net_close, free); the worker's last step. Does
/// nothing while the pool is being torn down (the teardown owns the record).
void sock_tcp_ctx_close(sock_ctx_pool *pool, sock_ctx *c);
/// Live connections of the pool.
int sock_tcp_ctx_count(sock_ctx_pool *pool);
/// Aborts every connection's stream (blocked reads end within one slice), waits for every
/// worker to end, frees the records and the pool. Close the listeners that feed the pool
/// first.
void sock_tcp_ctx_exit(sock_ctx_pool *pool);
