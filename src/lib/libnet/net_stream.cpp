// net_stream.cpp - the net stream record: dispatch by kind through operation tables (libssl
// swaps a socket stream's table for its TLS one), line reading and closing, and the
// memory kind.
#include <algorithm>
#include <cstdio>
#include <string>

#include "log.h"
#include "net_internal.h"

namespace {
// Memory stream buffer. A write that follows any read first empties the buffer, so a
// request/response exchange through one buffer never reads its own old bytes.
struct net_mem {
    std::string data;
    size_t rpos = 0;
    bool was_read = false;
};
}  // namespace

static net_mem *mem_of(const net_stream *s) {
    return reinterpret_cast<net_mem *>(s->handle);
}

os_socket_t net_mem_new() {
    auto *m = new net_mem;
    m->data.reserve(4096);
    return reinterpret_cast<os_socket_t>(m);
}

static int mem_read(net_stream *s, void *buf, int len) {
    net_mem *m = mem_of(s);
    PAL_ASSERT_RET(m != nullptr, -1);
    m->was_read = true;
    size_t n = std::min(m->data.size() - m->rpos, static_cast<size_t>(len < 0 ? 0 : len));
    m->data.copy(static_cast<char *>(buf), n, m->rpos);
    m->rpos += n;
    return static_cast<int>(n);
}

static int mem_write(net_stream *s, const void *buf, int len) {
    net_mem *m = mem_of(s);
    PAL_ASSERT_RET(m != nullptr && len >= 0, -1);
    if (m->was_read) {
        m->data.clear();
        m->rpos = 0;
        m->was_read = false;
    }
    m->data.append(static_cast<const char *>(buf), static_cast<size_t>(len));
    return len;
}

size_t net_mem_pending(const net_stream *s) {
    if (!s || s->type != NET_TYPE_MEM || !s->handle)
        return 0;
    return mem_of(s)->data.size() - mem_of(s)->rpos;
}

static int stdio_read(net_stream *, void *buf, int len) {
    if (len <= 0)
        return 0;
    size_t n = fread(buf, 1, static_cast<size_t>(len), stdin);
    return n == 0 && ferror(stdin) ? -1 : static_cast<int>(n);
}

static int stdio_write(net_stream *, const void *buf, int len) {
    if (len > 0)
        (void)fwrite(buf, 1, static_cast<size_t>(len), stdout);
    fflush(stdout);
    return len;
}

static const net_io_ops sock_ops = {"tcp", net_sock_read, net_sock_write, nullptr};
static const net_io_ops stdio_ops = {"stdio", stdio_read, stdio_write, nullptr};
static const net_io_ops pipe_ops = {"pipe", net_sock_read, net_sock_write, nullptr};
static const net_io_ops fd_ops = {"serial", net_fd_read, net_fd_write, nullptr};
static const net_io_ops mem_ops = {"mem", mem_read, mem_write, nullptr};

// The kind's own operations, indexed by kind.
static const net_io_ops *const kind_ops[] = {&sock_ops, &sock_ops, &stdio_ops, &pipe_ops,
                                             &pipe_ops, &fd_ops,   &mem_ops};

static const net_io_ops *ops_of(const net_stream *s) {
    if (s->type < 0 || s->type > NET_TYPE_MEM)
        return nullptr;
    return s->io ? s->io : kind_ops[s->type];
}

void net_stream_init(net_stream *s, int type, os_socket_t handle, int timeout_ms) {
    PAL_ASSERT_RET(s != nullptr, );
    s->type = type;
    s->handle = handle;
    s->tls = nullptr;
    s->timeout_ms = timeout_ms;
    s->abort.store(0);
    s->stop = nullptr;
    s->io = nullptr;
    s->disconnected = 0;
}

int net_read(net_stream *s, void *buf, int len) {
    PAL_ASSERT_RET(s != nullptr && (buf != nullptr || len == 0), -1);
    const net_io_ops *ops = ops_of(s);
    return ops ? ops->recv(s, buf, len) : -1;
}

int net_write(net_stream *s, const void *buf, int len) {
    PAL_ASSERT_RET(s != nullptr && (buf != nullptr || len == 0), -1);
    const net_io_ops *ops = ops_of(s);
    return ops ? ops->send(s, buf, len) : -1;
}

// One read that takes only what is there. A plain socket needs a single receive (fewer
// bytes than asked means it is drained); other kinds and TLS read with a zero time-out,
// which returns at the first empty wait instead of filling the whole buffer.
static int read_now(net_stream *s, void *buf, int len) {
    if (s->disconnected)
        return -1;
    bool plain = s->io == nullptr && s->type != NET_TYPE_SERIAL;
    if (plain) {
        os_socket_set_error(0);
        int n = os_socket_recv(s->handle, buf, size_t(len));
        if (n > 0)
            return n;
        if (n < 0 || os_socket_error() == 0) {  // an error, or the peer's end
            s->disconnected = 1;
            return -1;
        }
        return 0;
    }
    int saved = s->timeout_ms;
    s->timeout_ms = 0;
    int n = net_read(s, buf, len);
    s->timeout_ms = saved;
    if (n == 0 && s->disconnected)
        return -1;
    return n;
}

int net_read_avail(net_stream *s, void *buf, int len, int wait_ms) {
    PAL_ASSERT_RET(s != nullptr && buf != nullptr && len > 0, -1);
    if (s->type == NET_TYPE_MEM || s->type == NET_TYPE_STDIO)
        return net_read(s, buf, len);
    uint64_t start = os_clock_ms();
    for (;;) {
        int n = read_now(s, buf, len);
        if (n != 0)
            return n;
        if (s->abort.load() || (s->stop && s->stop->flag.load()))
            return -1;
        int left = wait_ms - static_cast<int>(std::min<uint64_t>(os_clock_ms() - start, 0x7fffffff));
        if (left <= 0)
            return 0;
        if (os_socket_wait(s->handle, OS_SOCKET_READ, std::min(left, 300)) < 0)
            return -1;
    }
}

int net_getc(net_stream *s, int *got) {
    unsigned char c = 0;
    int n = net_read(s, &c, 1);
    *got = n > 0 ? 1 : 0;
    if (n < 0)
        return -1;
    return n == 0 ? 0 : c;
}

// Reads bytes into buf until a terminator; bytes beyond size are read and dropped.
// Returns the bytes stored (size when the line did not fit), or -1 on error.
static int read_until(net_stream *s, char *buf, int size, bool lf_ends, int first) {
    int n = 0;
    int c = first;
    for (;;) {
        if (n < size)
            buf[n++] = static_cast<char>(c);
        int got = 0;
        c = net_getc(s, &got);
        if (c < 0)
            return -1;
        if (!got || c == 0 || (lf_ends && c == '\n'))
            return n;  // the end, or a partial line when nothing came in time
    }
}

static int gets_imp(net_stream *s, char *buf, int size, bool lf_ends) {
    PAL_ASSERT_RET(s != nullptr && buf != nullptr && size > 0, -1);
    buf[0] = '\0';
    int got = 0;
    int c = net_getc(s, &got);
    if (c < 0)
        return -1;
    if (!got)
        return 0;
    if (c == 0 || (lf_ends && c == '\n'))
        return 1;
    int n = read_until(s, buf, size, lf_ends, c);
    if (n < 0 || n >= size) {
        buf[0] = '\0';
        return -1;
    }
    int out = 0;
    for (int i = 0; i < n; i++)
        if (buf[i] != '\r')
            buf[out++] = buf[i];
    buf[out] = '\0';
    return out > 0 ? out : 1;  // a line of carriage returns only is an empty line
}

int net_gets(net_stream *s, char *buf, int size) {
    return gets_imp(s, buf, size, true);
}

int net_gets0(net_stream *s, char *buf) {
    return gets_imp(s, buf, NET_GETS0_SIZE, false);
}

int net_close(net_stream *s) {
    PAL_ASSERT_RET(s != nullptr, -1);
    s->abort.store(0);
    s->disconnected = 0;
    switch (s->type) {
    case NET_TYPE_TCP:
    case NET_TYPE_TCP_SRV:
    case NET_PIPE_SRV_TYPE:
    case NET_PIPE_CLI_TYPE:
        if (s->io && s->io->close)
            s->io->close(s);  // ends the TLS session
        s->tls = nullptr;
        s->io = nullptr;
        sock_tcp_close(s->handle);
        s->handle = 0;
        return 0;
    case NET_TYPE_MEM:
        delete mem_of(s);
        s->handle = 0;
        return 0;
    case NET_TYPE_STDIO:
    case NET_TYPE_SERIAL:
        return 0;
    default:
        return -1;
    }
}
