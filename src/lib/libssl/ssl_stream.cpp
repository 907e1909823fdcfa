// ssl_stream.cpp - TLS on net streams: the stream's socket read and write carry the
// records, and after the handshake the stream's io table points at the TLS operations,
// so readers and writers of the stream never ask whether it is encrypted.
#include "ssl.h"
#include "ssl_internal.h"

#include "log.h"
#include "net.h"
#include "pal.h"

static int stream_recv(void *arg, unsigned char *buf, size_t len) {
    int n = net_sock_read(static_cast<net_stream *>(arg), buf, static_cast<int>(len));
    return n < 0 ? -1 : n;
}

static int stream_send(void *arg, const unsigned char *buf, size_t len) {
    int n = net_sock_write(static_cast<net_stream *>(arg), buf, static_cast<int>(len));
    return n < 0 ? -1 : n;
}

static bool stream_closed(void *arg) { return static_cast<net_stream *>(arg)->disconnected != 0; }

static ssl_io stream_io(net_stream *s) {
    return ssl_io{.arg = s,
                  .recv = stream_recv,
                  .send = stream_send,
                  .closed = stream_closed,
                  .timeout_ms = s->timeout_ms};
}

// The session follows the stream's current time-out, which its owner may change.
static ssl_session *stream_session(net_stream *s) {
    auto *sess = static_cast<ssl_session *>(s->tls);
    if (sess)
        sess->io.timeout_ms = s->timeout_ms;
    return sess;
}

int ssl_recv_proc(net_stream *s, void *buf, int len) {
    PAL_ASSERT_RET(s != nullptr, -1);
    ssl_session *sess = stream_session(s);
    if (!sess)
        return -1;
    int n = ssl_session_read(sess, buf, len);
    if (sess->eof && sess->peer_end)
        s->disconnected = 1;  // as a plain stream marks the peer's end
    return n;
}

int ssl_send_proc(net_stream *s, const void *data, int len) {
    PAL_ASSERT_RET(s != nullptr, -1);
    ssl_session *sess = stream_session(s);
    return sess ? ssl_session_write(sess, data, len) : -1;
}

static void ssl_stream_close(net_stream *s) {
    ssl_session_free(static_cast<ssl_session *>(s->tls));
    s->tls = nullptr;
    s->io = nullptr;
}

static const net_io_ops ssl_io_ops = {
    .name = "tls",
    .recv = ssl_recv_proc,
    .send = ssl_send_proc,
    .close = ssl_stream_close,
};

static ssl_session *stream_attach(net_stream *s, ssl_session *sess) {
    if (sess) {
        s->tls = sess;
        s->io = &ssl_io_ops;
    }
    return sess;
}

ssl_session *ssl_cli_connect(net_stream *s, ssl_conf *conf) {
    PAL_ASSERT_RET(s != nullptr && s->tls == nullptr, nullptr);
    ssl_io io = stream_io(s);
    return stream_attach(s, ssl_cli_handshake(conf, &io));
}

ssl_session *ssl_srv_new(net_stream *s, const ssl_conf *conf) {
    PAL_ASSERT_RET(s != nullptr && s->tls == nullptr && conf != nullptr, nullptr);
    ssl_io io = stream_io(s);
    return stream_attach(s, ssl_srv_handshake(conf, &io));
}

static int hook_client_handshake(net_stream *s, const char *host) {
    (void)host;  // no server name is sent and the peer is not verified
    return ssl_cli_connect(s) ? 0 : -1;
}

int ssl_lib_init() {
    libssl_init();
    static const net_tls_hooks hooks = {
        .client_handshake = hook_client_handshake,
        .lib_exit = ssl_lib_exit,
    };
    net_set_tls_hooks(&hooks);
    return ssl_cli_conf_get() ? 0 : -1;
}
