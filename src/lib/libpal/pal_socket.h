// pal_socket.h - socket primitives, addresses, name resolution and the readiness poller.
// A socket handle is the system descriptor plus one, so 0 means "no socket". Every socket
// made here is non-blocking and close-on-exec; TCP sockets get TCP_NODELAY where noted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

/// Socket handle: descriptor + 1; 0 is none.
using os_socket_t = uintptr_t;

enum : int {
    OS_SOCKET_TCP = 0x101,  ///< stream socket type for os_socket_init
};

/// Address families of os_sockaddr and os_socket_init.
enum : int {
    OS_AF_INET = 1,
    OS_AF_INET6 = 2,
    OS_AF_LOCAL = 3,  ///< Unix domain socket (the program's "named pipes")
};

/// os_socket_ctrl codes.
enum : int {
    OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE = 2,
    OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE = 4,
    OS_SOCKET_CTRL_SET_TCP_NODELAY = 6,
};

/// os_socket_wait and poller event bits.
enum : unsigned {
    OS_SOCKET_READ = 0x1,
    OS_SOCKET_WRITE = 0x2,
};

/// Address record: IPv4, IPv6 (with scope) or a local socket path. No system structure.
struct os_sockaddr {
    int family;         ///< OS_AF_*, 0 when empty
    uint16_t port;      ///< host order
    uint32_t scope;     ///< IPv6 scope id
    uint8_t addr[16];   ///< 4 bytes for IPv4, 16 for IPv6, network order
    char path[108];     ///< OS_AF_LOCAL only, terminated
};

// ---------------------------------------------------------------------------------------
// Addresses and names.

/// Parses "%u.%u.%u.%u", an IPv6 text (optionally "[...]", "::ffff:a.b.c.d", "%scope")
/// into out (port 0). No name lookup. Returns true on success.
[[nodiscard]] bool os_ipaddr_parse(const char *text, os_sockaddr *out);
/// Address text into out: "%u.%u.%u.%u", IPv6 as eight "%04x" groups joined by ':' with
/// "%%%u" for a scope, the path for a local socket; with_port adds ":%u" ("[...]:%u" for
/// IPv6). Returns out.data() (always terminated).
const char *os_ipaddr_cstr(const os_sockaddr *a, bool with_port, std::span<char> out);
/// Fills a local-socket address with path (cut to fit). Returns false when it does not fit.
[[nodiscard]] bool os_localaddr_set(os_sockaddr *a, const char *path);
/// True when a and b name the same host: families and bytes equal, an IPv4-mapped IPv6
/// address compared as IPv4. Ports are ignored.
bool os_ipaddr_same_host(const os_sockaddr *a, const os_sockaddr *b);
/// Resolves host (a literal or a name) with getaddrinfo for a stream socket of any family;
/// the first answer is taken. Returns true and fills out (port 0) on success.
[[nodiscard]] bool os_addrinfo_addr(const char *host, os_sockaddr *out);
/// True when the system can make IPv6 sockets.
bool os_has_ipv6();
/// The path of the local socket of a "named pipe" NAME: NAME itself when it holds '/',
/// else "$XDG_RUNTIME_DIR/NAME.sock" (or "/tmp/NAME.sock"). Returns the length or
/// PAL_ETRUNC.
int os_local_socket_path(const char *name, std::span<char> out);
/// Removes path when it is a socket (never another kind of file). True when removed.
bool os_local_socket_remove(const char *path);

// ---------------------------------------------------------------------------------------
// Sockets. Operations assert a non-zero handle (logged, then the failure value).
// Failures leave the system error for pal_last_error() / LOG2_F_OSERR.

/// Creates a socket (type OS_SOCKET_TCP, family OS_AF_*), non-blocking. Returns its
/// handle (owned by the caller; close with os_socket_exit) or 0.
[[nodiscard]] os_socket_t os_socket_init(int type, int family);
/// Sets a socket option by code (OS_SOCKET_CTRL_*). Returns true on success.
bool os_socket_ctrl(os_socket_t s, int code, unsigned long value);
/// Starts or completes a connect: 1 connected (also when already connected), 0 in
/// progress, -1 on error.
[[nodiscard]] int os_socket_connect(os_socket_t s, const os_sockaddr *addr);
/// Binds. IPv6 sockets get IPV6_V6ONLY (so "0.0.0.0" and "::" share a port) and TCP
/// sockets SO_REUSEADDR; a local-socket path is unlinked first when it is a stale socket
/// and made mode 0600 after the bind. Returns true on success.
[[nodiscard]] bool os_socket_bind(os_socket_t s, const os_sockaddr *addr);
[[nodiscard]] bool os_socket_listen(os_socket_t s, int backlog);
/// Takes one pending connection, non-blocking; a TCP connection takes TCP_NODELAY and the
/// buffer sizes from its listener. peer may be null. Returns the new handle (owned by the
/// caller) or 0 when none is pending.
[[nodiscard]] os_socket_t os_socket_accept(os_socket_t s, os_sockaddr *peer);
bool os_socket_local(os_socket_t s, os_sockaddr *out);
bool os_socket_peer(os_socket_t s, os_sockaddr *out);
/// Shuts both directions down (wakes a thread blocked on the socket). The handle stays.
void os_socket_kill(os_socket_t s);
/// Closes the socket.
void os_socket_exit(os_socket_t s);

/// One recv/send. Length 0 returns 0 without a call. Returns the byte count; 0 when the
/// call would block or (recv) at the end of the stream; -1 on any other error. The
/// thread's socket error (os_socket_error) tells the zero cases apart: PAL_EAGAIN for
/// would-block, 0 for the end of the stream. send never raises SIGPIPE.
[[nodiscard]] int os_socket_recv(os_socket_t s, void *buf, size_t len);
[[nodiscard]] int os_socket_send(os_socket_t s, const void *buf, size_t len);
/// The calling thread's last socket error as a table code (0: none).
int os_socket_error();
/// Sets the calling thread's socket error (and errno, so LOG2_F_OSERR shows its text).
void os_socket_set_error(int code);

/// Waits on one descriptor handle (socket or any pollable descriptor + 1) for read
/// (OS_SOCKET_READ) and/or write; timeout_ms < 0 waits without limit. Returns 0 on
/// time-out, -1 when the wait fails or the socket holds a pending error, else the ready
/// bits (a hang-up or error counts as readable so that the read sees it).
[[nodiscard]] int os_socket_wait(os_socket_t s, unsigned events, int timeout_ms);

/// A connected pair of non-blocking stream sockets {a, b}. Returns true; on failure
/// nothing stays open.
[[nodiscard]] bool os_socket_pair(os_socket_t pair[2]);

/// Plain descriptor I/O for the serial/file stream kind: one read/write, -1 on error
/// (would-block gives 0 with os_socket_error() PAL_EAGAIN; end of file gives 0 with 0).
[[nodiscard]] int os_fd_read(int fd, void *buf, size_t len);
[[nodiscard]] int os_fd_write(int fd, const void *buf, size_t len);

/// Highest number of descriptors the process may open (RLIMIT_NOFILE soft limit).
int os_fd_limit();
/// Raises the soft descriptor limit towards want (at most the hard limit). Returns the
/// limit in force afterwards.
int os_fd_limit_raise(int want);

// ---------------------------------------------------------------------------------------
// Poller: readiness of many objects in one wait, woken by a socket pair. One thread waits;
// any thread may insert, remove, modify, spark or kill. Changes are serialised with the
// scan and take effect at the next round (os_poller_spak forces one at once).

enum : int {
    OS_POLLER_OBJECT_SOCKET = 1,
    OS_POLLER_OBJECT_PIPE = 2,
    OS_POLLER_OBJECT_PROC = 3,
};
enum : unsigned {
    OS_POLLER_EVENT_READ = 0x1,
    OS_POLLER_EVENT_WRITE = 0x2,
    OS_POLLER_EVENT_ONESHOT = 0x20,
    OS_POLLER_EVENT_ERROR = 0x200,  ///< reported only
};
enum : int {
    OS_POLLER_DEFAULT_CAPACITY = 64,
    OS_POLLER_MAX_EVENTS = 512,  ///< events delivered in one round at most
};

struct os_poller_object {
    int kind;          ///< OS_POLLER_OBJECT_*
    os_socket_t handle;
};
struct os_poller;

/// Called on the waiting thread for each ready object. One-shot objects are removed from
/// the poller before the call. The callback may insert and remove objects.
using os_poller_cb = void (*)(os_poller *p, os_poller_object obj, unsigned events,
                              void *user);

/// Makes a poller holding at most capacity objects besides its own wake-up socket
/// (0: OS_POLLER_DEFAULT_CAPACITY; -1: as many as the process may open descriptors) on
/// the back end named backend ("epoll" or "poll"; null: epoll). Returns the poller (free
/// with os_poller_exit) or null.
[[nodiscard]] os_poller *os_poller_init(int capacity = 0, const char *backend = nullptr);
/// The back end's name ("epoll", "poll").
const char *os_poller_backend_name(os_poller *p);
/// Sends the kill byte, then frees the poller and its wake-up pair. Inserted sockets stay
/// open. No thread may be waiting on it any more.
void os_poller_exit(os_poller *p);
/// Sends the kill byte 'k': the next (or running) wait returns -1.
bool os_poller_kill(os_poller *p);
/// Sends the spark byte 'p': the next (or running) wait returns 0 after its round.
bool os_poller_spak(os_poller *p);
/// Watches obj (kind SOCKET) for events with the user word (top bit must be clear).
/// Inserting an object again replaces its events and user word without counting it again.
/// Returns false when the poller is full or the object is refused.
[[nodiscard]] bool os_poller_insert(os_poller *p, os_poller_object obj, unsigned events,
                                    void *user);
/// Stops watching obj. Always true for a valid object (also when it was not inserted).
/// After it returns, no callback for obj runs any more.
bool os_poller_remove(os_poller *p, os_poller_object obj);
/// Changes events and user word; inserts the object when it is absent (without counting).
bool os_poller_modify(os_poller *p, os_poller_object obj, unsigned events, void *user);
/// Waits up to timeout_ms (< 0: no limit, 0: one poll) and delivers ready objects to cb in
/// ascending descriptor order. Returns the number of events delivered in the last round,
/// 0 for a time-out or a spark, -1 for a kill byte, a failed wait or a lost wake-up pair.
int os_poller_wait(os_poller *p, os_poller_cb cb, int timeout_ms);
/// Whether the back end supports attaching (never here).
bool os_poller_support(os_poller *p);
void os_poller_attach(os_poller *p);
/// Objects inserted now (the wake-up socket not counted) and the capacity.
int os_poller_count(os_poller *p);
int os_poller_capacity(os_poller *p);

// ---------------------------------------------------------------------------------------
// File contents to and from sockets (pal_sendfile.cpp).

/// How a long file transfer learns that it should end: fn(arg) is asked between system
/// calls and after every slice of a wait; true ends the call with PAL_ECANCELED.
struct os_cancel {
    bool (*fn)(void *arg);
    void *arg;
};

/// Sends len bytes of the file descriptor fd, from offset, on the socket s without copying
/// them through user memory, at most block bytes per system call. The socket is set up for
/// the bulk send once per call. Waits for room in slices of 500 ms; gives up after
/// timeout_ms without progress, or when cancel (may be null) says so. Never raises SIGPIPE.
/// Returns the bytes sent (len, or fewer at the time-out, at a cancel or when the file ended
/// early; a cancel sets the socket error to PAL_ECANCELED), or -1 on an error or a cancel
/// before the first byte (the socket error set).
[[nodiscard]] int64_t os_sendfile(os_socket_t s, int fd, int64_t offset, int64_t len,
                                  int64_t block, int timeout_ms, const os_cancel *cancel);
/// Moves up to len bytes from the socket s into the file fd at its current position,
/// through buf (size bytes), waking for batches of up to half of buf rather than for every
/// segment. Returns when len bytes moved, the peer closed (*eof set) or nothing came for
/// timeout_ms (waits in slices of 300 ms, cancel asked; may be null). Returns the bytes
/// moved (0: nothing within the time-out, or the end; after a cancel what moved before it,
/// with the socket error PAL_ECANCELED), -1 on a socket error or a cancel before any byte,
/// -2 when writing the file failed (a full disk); the socket error tells the cause.
[[nodiscard]] int64_t os_socket_recv_file(os_socket_t s, int fd, char *buf, size_t size,
                                          int64_t len, int timeout_ms, const os_cancel *cancel,
                                          int *eof);
