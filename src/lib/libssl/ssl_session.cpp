// ssl_session.cpp - TLS sessions over a two-callback transport: handshakes in both roles
// and record reads and writes bounded by the transport's time-out.
// A transport that reports "nothing in time" becomes WANT_READ/WANT_WRITE for the library,
// so an idle peer is a time-out for the caller, never the end of the session.
#include "ssl.h"
#include "ssl_internal.h"

#include "log.h"
#include "pal.h"

#include <mbedtls/net_sockets.h>

#include <climits>
#include <new>

ssl_session::ssl_session() : io{} { mbedtls_ssl_init(&ssl); }
ssl_session::~ssl_session() { mbedtls_ssl_free(&ssl); }

static bool io_closed(const ssl_io &io) { return io.closed && io.closed(io.arg); }

static int bio_send(void *ctx, const unsigned char *buf, size_t len) {
    auto *s = static_cast<ssl_session *>(ctx);
    int n = s->io.send(s->io.arg, buf, len > INT_MAX ? INT_MAX : len);
    if (n < 0)
        return MBEDTLS_ERR_NET_SEND_FAILED;
    if (n == 0)
        return io_closed(s->io) ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_SSL_WANT_WRITE;
    return n;
}

static int bio_recv(void *ctx, unsigned char *buf, size_t len) {
    auto *s = static_cast<ssl_session *>(ctx);
    int n = s->io.recv(s->io.arg, buf, len > INT_MAX ? INT_MAX : len);
    if (n < 0)
        return MBEDTLS_ERR_NET_RECV_FAILED;
    if (n == 0)
        return io_closed(s->io) ? 0 : MBEDTLS_ERR_SSL_WANT_READ;
    return n;
}

static bool want_more(int ret) {
    return ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE;
}

static bool timed_out(uint64_t start, int timeout_ms) {
    return os_clock_ms() - start >= static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
}

// Repeats the handshake while the transport only timed out a slice, up to the whole
// time-out, so a silent peer cannot hold the thread.
static int handshake_loop(ssl_session *s) {
    uint64_t start = os_clock_ms();
    for (;;) {
        int ret = mbedtls_ssl_handshake(&s->ssl);
        if (ret == 0 || !want_more(ret))
            return ret;
        if (timed_out(start, s->io.timeout_ms))
            return MBEDTLS_ERR_SSL_TIMEOUT;
    }
}

static ssl_session *session_start(const ssl_conf *conf, const ssl_io *io, bool client) {
    if (!io || !io->recv || !io->send) {
        LOG2(LOG2_ERR, SSL_TAG, "ssl transport is incomplete\n");
        return nullptr;
    }
    auto *s = new (std::nothrow) ssl_session;
    if (!s)
        return nullptr;
    s->io = *io;
    int ret = mbedtls_ssl_setup(&s->ssl, &conf->conf);
    if (ret != 0) {
        if (client)
            LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_setup failed\n");
        else
            LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_setup returned %d\n", ret);
        delete s;
        return nullptr;
    }
    mbedtls_ssl_set_bio(&s->ssl, s, bio_send, bio_recv, nullptr);
    ret = handshake_loop(s);
    if (ret != 0) {
        char err[512];
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_handshake eno=%d err=[%s]\n", ret,
             ssl_err_text(ret, err, sizeof err));
        delete s;
        return nullptr;
    }
    return s;
}

ssl_session *ssl_cli_handshake(ssl_conf *conf, const ssl_io *io) {
    if (!conf)
        conf = ssl_cli_conf_get();
    if (!conf)
        return nullptr;
    return session_start(conf, io, true);
}

ssl_session *ssl_srv_handshake(const ssl_conf *conf, const ssl_io *io) {
    PAL_ASSERT_RET(conf != nullptr, nullptr);
    ssl_session *s = session_start(conf, io, false);
    if (s)
        LOG2(LOG2_DBG, SSL_TAG, "Proto=[%s] Cipher=[%s]\n", ssl_session_proto(s),
             ssl_session_cipher(s));
    return s;
}

const char *ssl_session_proto(const ssl_session *s) {
    // Sessions run over byte streams only, so the datagram names never apply.
    return s && ssl_compat_minor_version(&s->ssl) == 3 ? "TLSv1.2" : "unknown";
}

bool ssl_session_resumes(const ssl_session *b, const ssl_session *a) {
    if (!a || !b)
        return false;
    // Not the session identifier: a client resuming by ticket sends an identifier of its own.
    unsigned char ma[48], mb[48];
    size_t na = ssl_compat_master(&a->ssl, ma);
    size_t nb = ssl_compat_master(&b->ssl, mb);
    bool same = na > 0 && na == nb && std::memcmp(ma, mb, na) == 0;
    mbedtls_platform_zeroize(ma, sizeof ma);
    mbedtls_platform_zeroize(mb, sizeof mb);
    return same;
}

const char *ssl_session_cipher(const ssl_session *s) {
    const char *name = s ? mbedtls_ssl_get_ciphersuite(&s->ssl) : nullptr;
    return name ? name : "unknown";
}

// The peer's close notify and the end of the byte stream end the session quietly.
static bool is_peer_end(int ret) {
    return ret == 0 || ret == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY ||
           ret == MBEDTLS_ERR_SSL_CONN_EOF || ret == MBEDTLS_ERR_NET_CONN_RESET;
}

int ssl_session_read(ssl_session *s, void *buf, int len) {
    if (!s || !buf || len < 0)
        return -1;
    if (s->eof)
        return -1;
    auto *p = static_cast<unsigned char *>(buf);
    uint64_t start = os_clock_ms();
    int total = 0;
    while (total < len) {
        int ret = mbedtls_ssl_read(&s->ssl, p + total, static_cast<size_t>(len - total));
        if (ret > 0) {
            total += ret;
        } else if (!want_more(ret)) {
            if (!is_peer_end(ret))
                LOG2(LOG2_VERB, SSL_TAG, "mbedtls_ssl_read = %d\n", ret);
            s->eof = true;
            s->peer_end = is_peer_end(ret);
            // The peer's close notify is answered with ours at once, before the stream is
            // marked ended: clients that close the data connection wait for it.
            if (ret == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY)
                (void)mbedtls_ssl_close_notify(&s->ssl);
            // What arrived before the end is the caller's; the next read reports the end.
            // A clean end reads as "nothing more" once, as the end of a plain stream does.
            return total > 0 || s->peer_end ? total : -1;
        }
        if (total < len && timed_out(start, s->io.timeout_ms))
            break;
    }
    return total;
}

int ssl_session_write(ssl_session *s, const void *data, int len) {
    if (!s || !data || len < 0)
        return -1;
    auto *p = static_cast<const unsigned char *>(data);
    uint64_t start = os_clock_ms();
    int total = 0;
    while (total < len) {
        int ret = mbedtls_ssl_write(&s->ssl, p + total, static_cast<size_t>(len - total));
        if (ret > 0) {
            total += ret;
        } else if (!want_more(ret)) {
            LOG2(LOG2_VERB, SSL_TAG, "mbedtls_ssl_write = %d\n", ret);
            return -1;
        }
        if (total < len && timed_out(start, s->io.timeout_ms))
            break;
    }
    return total;
}

void ssl_session_free(ssl_session *s) {
    if (!s)
        return;
    if (!s->eof && !io_closed(s->io)) {
        // Best effort: one try, bounded by the transport's own write time-out.
        (void)mbedtls_ssl_close_notify(&s->ssl);
    }
    delete s;
}
