// ftpd_tls.cpp - FTPS as clients use it today, offered with "nvtd:ftp_extensions": AUTH TLS
// on the plain port, PBSZ and PROT, and TLS on the data connections after PROT P.
// With the extensions off these words stay unknown ("500 Bad command"), as they were.
#include "ftpd_internal.h"
#include "ftpd_reply.h"

#include <cstring>

#include "log.h"
#include "ssl.h"

static constexpr const char *TAG = "ftpd";

// The whole handshake has one deadline, checked in every wait slice: a client that feeds
// it a byte at a time cannot stretch it read by read.
static bool tls_late(void *arg, int) {
    return os_clock_ms() >= *static_cast<uint64_t *>(arg);
}

int ftp_tls_handshake(net_stream *st, int limit_ms) {
    uint64_t deadline = os_clock_ms() + uint64_t(limit_ms > 0 ? limit_ms : 5000);
    net_stop stop;
    stop.check = tls_late;
    stop.arg = &deadline;
    int saved_timeout = st->timeout_ms;
    net_stop *saved_stop = st->stop;
    st->timeout_ms = limit_ms > 0 ? limit_ms : 5000;
    st->stop = &stop;
    ssl_session *tls = ssl_srv_new(st, ftpd_tls_conf());
    st->stop = saved_stop;
    st->timeout_ms = saved_timeout;
    return tls ? 0 : -1;
}

int do_auth(ftp_session *s) {
    const char *mech = s->arg ? s->arg : "";
    if (!pal_iequals(mech, "TLS") && !pal_iequals(mech, "SSL") && !pal_iequals(mech, "TLS-C"))
        return ftp_relply(s, 504, FTP_T_AUTH_UNKNOWN), 0;
    if (s->tls)
        return ftp_relply(s, 503, FTP_T_AUTH_AGAIN), 0;
    if (s->logged_in)
        return ftp_relply(s, 503, FTP_T_AUTH_AFTER_LOGIN), 0;
    if (!ftpd_tls_conf())
        return ftp_relply(s, 431, FTP_T_AUTH_NO_CERT), 0;
    (void)ftp_relply(s, 234, FTP_T_AUTH_OK);
    // Whatever the client sent after AUTH in clear is not trusted as a command.
    s->in.len = 0;
    if (ftp_tls_handshake(&s->conn.stream, g_ftpd_conf.read_timeout_ms) != 0) {
        LOG2(LOG2_DBG, TAG, "AUTH TLS handshake failed [%s]\n", s->peer_addr);
        s->quit = 1;  // the connection is neither clear nor protected now
        return 0;
    }
    s->tls = 1;
    return 0;
}

int do_pbsz(ftp_session *s) {
    if (!s->tls)
        return ftp_relply(s, 503, FTP_T_PBSZ_CLEAR), 0;
    const char *a = s->arg ? s->arg : "";
    size_t n = strspn(a, "0123456789");
    if (n == 0 || a[n] != '\0')
        return ftp_relply(s, 501, FTP_T_SYNTAX_ARGS), 0;
    s->pbsz = 1;  // streams need no buffer size: the answer is always 0
    return ftp_relply(s, 200, FTP_T_PBSZ_OK), 0;
}

int do_prot(ftp_session *s) {
    if (!s->tls)
        return ftp_relply(s, 503, FTP_T_PROT_CLEAR), 0;
    if (!s->pbsz)
        return ftp_relply(s, 503, FTP_T_PBSZ_FIRST), 0;
    const char *a = s->arg ? s->arg : "";
    if (pal_iequals(a, "C")) {
        s->prot_p = 0;
        return ftp_relply(s, 200, FTP_T_PROT_C), 0;
    }
    if (pal_iequals(a, "P")) {
        s->prot_p = 1;
        return ftp_relply(s, 200, FTP_T_PROT_P), 0;
    }
    if (pal_iequals(a, "S") || pal_iequals(a, "E"))
        return ftp_relply(s, 536, FTP_T_PROT_LEVEL), 0;
    return ftp_relply(s, 504, FTP_T_PROT_UNKNOWN), 0;
}

bool ftp_tls_required(ftp_session *s) {
    if (!g_ftpd_conf.ftp_extensions || !g_ftpd_conf.ftps_required || s->tls)
        return false;
    (void)ftp_relply(s, 530, FTP_T_TLS_REQUIRED);
    return true;
}

int ftp_data_protect(ftp_session *s) {
    if (!s->prot_p)
        return 0;
    if (ftp_tls_handshake(&s->dc.stream, g_ftpd_conf.read_timeout_ms) != 0) {
        LOG2(LOG2_ERR, TAG, "TLS handshake on the data connection failed [%s]\n", s->peer_addr);
        (void)ftp_relply(s, 425, FTP_T_DATA_TLS_FAILED);
        return -1;
    }
    // Resuming the control connection's session proves the data connection comes from the
    // same client, not from whoever reached the port first.
    auto *data = static_cast<const ssl_session *>(s->dc.stream.tls);
    auto *ctrl = static_cast<const ssl_session *>(s->conn.stream.tls);
    if (g_ftpd_conf.ftps_data_reuse && !ssl_session_resumes(data, ctrl)) {
        LOG2(LOG2_ERR, TAG, "data connection did not resume the TLS session [%s]\n",
             s->peer_addr);
        (void)ftp_relply(s, 425, FTP_T_DATA_TLS_REUSE);
        return -1;
    }
    return 0;
}
