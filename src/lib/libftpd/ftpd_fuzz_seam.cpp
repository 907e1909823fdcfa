// ftpd_fuzz_seam.cpp - one control session on a stream the caller hands in, without the
// worker pool, the listeners, TLS or the time-outs: the fuzz target drives the command
// reader, the dispatcher and every handler with bytes from memory this way.
#include <cstring>
#include <memory>

#include "ftpd_internal.h"
#include "ftpd_reply.h"
#include "nvtd_version.h"

void ftpd_srv_stream(const net_stream *like, const char *root, const char *peer) {
    // The pool hands sessions out as zeroed raw memory; this does the same.
    auto mem = std::make_unique<unsigned char[]>(sizeof(ftp_session));
    auto *s = reinterpret_cast<ftp_session *>(mem.get());
    net_stream_init(&s->conn.stream, like->type, like->handle, 0);
    s->conn.stream.io = like->io;
    s->dc.stream.timeout_ms = g_ftpd_conf.read_timeout_ms;
    s->start_ms = s->last_activity_ms = int64_t(os_clock_ms());
    if (!os_ipaddr_parse(peer, &s->peer_sa))
        return;
    s->local_sa = s->peer_sa;
    (void)pal_strlcpy(s->peer_addr, peer);
    (void)pal_strlcpy(s->local_addr, peer);
    (void)pal_strlcpy(s->cdir, "/");
    vfs_err err{};
    s->mount = vfs_mount2(root, &err);
    if (!s->mount)
        return;
    (void)ftp_relply(s, 220, FTP_T_GREETING, "nvtd", NVTD_VERSION);
    while (ftp_ctrl_gets(s, 0) > 0) {
        ftp_dispatch(s);
        if (s->quit || s->in.broken)
            break;
    }
    // The teardown of a pooled session, in its order.
    data_close(s);
    ftp_xfer_buf_free(s);
    (void)vfs_umount(s->mount);
}
