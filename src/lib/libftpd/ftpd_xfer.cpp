// ftpd_xfer.cpp - file transfers: TYPE, REST, RETR, STOR, APPE, the per-session rate
// limiter and the lazily allocated transfer buffer.
//
// Data moves block by block on the session's worker, which also watches the control
// connection for ABOR after every block and inside every wait, so an ABOR ends a transfer
// within one block or one wait slice.
#include "ftpd_internal.h"
#include "ftpd_reply.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>

#include "log.h"

static constexpr const char *TAG = "ftpd";

std::atomic<bool> g_ftp_zero_copy{true};

enum : int { XFER_OK = 0, XFER_LOCAL = 1, XFER_NET = 2, XFER_STALL = 3, XFER_ABORT = 4 };

int ftp_xfer_buf(ftp_session *s) {
    if (s->xf.read_bs == 0)
        s->xf.read_bs = static_cast<uint32_t>(std::max(g_ftpd_conf.read_bs, 4096));
    if (s->xf.write_bs == 0)
        s->xf.write_bs = static_cast<uint32_t>(std::max(g_ftpd_conf.write_bs, 4096));
    if (s->xf.buf != nullptr)
        return 0;
    uint32_t size = std::max(s->xf.read_bs, s->xf.write_bs);
    s->xf.buf = static_cast<char *>(malloc(size));
    if (s->xf.buf == nullptr) {
        LOG2(LOG2_ERR, TAG, "transfer buffer of %u bytes: out of memory\n", size);
        return -1;
    }
    s->xf.size = size;
    return 0;
}

void ftp_xfer_buf_free(ftp_session *s) {
    free(s->xf.buf);
    s->xf.buf = nullptr;
    s->xf.size = 0;
    s->xf.list_fill = 0;
}

int do_type(ftp_session *s) {
    const char *a = s->arg ? s->arg : "";
    if (strcmp(a, "A") == 0) {
        s->xf.ascii = 1;
        ftp_relply(s, 200, FTP_T_TYPE_ASCII);
    } else if (strcmp(a, "I") == 0) {
        s->xf.ascii = 0;
        ftp_relply(s, 200, FTP_T_TYPE_BINARY);
    } else {
        ftp_relply(s, 500, FTP_T_TYPE_UNKNOWN);
    }
    return 0;
}

int do_rest(ftp_session *s) {
    long long v = s->arg ? pal_atoll(s->arg) : 0;
    if (v < 0) {
        // A negative offset would read or write before the file's start.
        ftp_relply(s, 501, FTP_T_SYNTAX_ARGS);
        return 0;
    }
    s->xf.rest = v;
    ftp_relply(s, 350, FTP_T_REST_OK, v);
    return 0;
}

static void rate_limit(ftp_session *s, int64_t bytes, int upload) {
    int limit = upload ? g_ftpd_conf.upload_max_rate : g_ftpd_conf.download_max_rate;
    int64_t now = static_cast<int64_t>(os_clock_us());
    if (limit > 0 && bytes > 0) {
        // The block may take bytes/limit seconds; wait out what the network did not use.
        int64_t want_us = bytes * 1000000 / limit;
        int64_t pause_us = want_us - (now - s->xf.clock_us);
        int64_t end = now + pause_us;
        while (pause_us > 0 && s->xf.abort.load() == 0 && s->conn.stream.abort.load() == 0) {
            ftp_ctrl_watch(s);
            os_sleep_ms(static_cast<int>(std::min<int64_t>(pause_us / 1000 + 1, 100)));
            pause_us = end - static_cast<int64_t>(os_clock_us());
        }
        now = static_cast<int64_t>(os_clock_us());
    }
    s->xf.clock_us = now;
}

/// Looked at after every block and in every wait slice: XFER_ABORT for the client's ABOR,
/// XFER_NET when the session is being torn down or its control connection broke, else
/// XFER_OK.
static int xfer_interrupted(ftp_session *s) {
    ftp_ctrl_watch(s);
    if (s->xf.abort.load() != 0)
        return XFER_ABORT;
    return s->conn.stream.abort.load() != 0 || s->in.broken ? XFER_NET : XFER_OK;
}

/// Stop check of the data stream.
static bool xfer_stopped(void *arg, int) {
    return xfer_interrupted(static_cast<ftp_session *>(arg)) != XFER_OK;
}

/// The stop check for the direct file transfers of libpal.
static bool xfer_cancelled(void *arg) { return xfer_stopped(arg, 0); }

/// The result reply of each outcome, for downloads and uploads. A client that closes the
/// data connection early hears 426 (the connection closed, the transfer aborted), which
/// is what clients that fetch parts of a file on several connections expect.
static const struct {
    int code;
    const char *text[2];  // download, upload
} xfer_replies[] = {
    /* XFER_OK */ {226, {FTP_T_XFER_OK, FTP_T_XFER_OK}},
    /* XFER_LOCAL */ {451, {FTP_T_READ_LOCAL_FAILED, FTP_T_LOCAL_FAILED_UPLOAD}},
    /* XFER_NET */ {426, {FTP_T_WRITE_NET_FAILED, FTP_T_RECV_NET_FAILED}},
    /* XFER_STALL */ {426, {FTP_T_WRITE_NET_FAILED, FTP_T_RECV_NET_FAILED}},
    /* XFER_ABORT */ {426, {FTP_T_XFER_ABORTED, FTP_T_XFER_ABORTED}},
};
static_assert(sizeof xfer_replies / sizeof xfer_replies[0] == XFER_ABORT + 1,
              "one reply per transfer outcome, in the outcomes' order");

/// The result reply of a transfer, then the ABOR reply when one came.
static void xfer_reply(ftp_session *s, int outcome, bool upload) {
    if (outcome != XFER_OK && s->xf.abort.load() != 0)
        outcome = XFER_ABORT;  // the failure is what the ABOR caused
    ftpd_count_xfer(s->cmd, outcome == XFER_OK ? FTPD_XRES_OK
                            : outcome == XFER_ABORT ? FTPD_XRES_ABORTED : FTPD_XRES_FAILED);
    ftp_relply(s, xfer_replies[outcome].code, "%s", xfer_replies[outcome].text[upload]);
    abor_reply(s);
}

/// Starts the part of a transfer during which ABOR is watched.
static void xfer_begin(ftp_session *s, net_stop *stop) {
    stop->check = xfer_stopped;
    stop->arg = s;
    s->dc.stream.stop = stop;
    s->xf.clock_us = static_cast<int64_t>(os_clock_us());
}

static void xfer_end(ftp_session *s, vfs_file *f) {
    s->dc.stream.stop = nullptr;
    vfs_close(f);
    data_close(s);
}

/// Opens the download, checks it is a regular file. Replies 550 and returns null on
/// failure.
static vfs_file *retr_open(ftp_session *s, const char *path, vfs_stat_rec *st) {
    vfs_file *f = vfs_open(s->mount, path, VFS_O_DOWNLOAD);
    if (f == nullptr) {
        LOG2(LOG2_ERR, TAG, "open [%s] error: %s\n", path, vfs_strerror(s->mount));
        ftp_relply(s, 550, FTP_T_OPEN_FAILED);
        return nullptr;
    }
    if (vfs_fstat(f, st) < 0 || (st->kind & VFS_K_FILE) == 0) {
        LOG2(LOG2_DBG, TAG, "[%s] not file type=%u\n", path, st->kind);
        vfs_close(f);
        ftp_relply(s, 550, FTP_T_OPEN_FAILED);
        return nullptr;
    }
    return f;
}

/// Sends one block of a download: with sendfile when fd is the file's descriptor, else
/// read into the transfer buffer and written. Returns the bytes sent, or an XFER_* failure
/// as a negative number.
static int64_t retr_block(ftp_session *s, vfs_file *f, int fd, const char *path,
                          int64_t offset, int64_t len) {
    if (fd >= 0) {
        const os_cancel cancel{xfer_cancelled, s};
        int64_t n = os_sendfile(s->dc.stream.handle, fd, offset, len, s->xf.write_bs,
                                s->dc.stream.timeout_ms, &cancel);
        ftpd_count_bytes(false, n);
        if (n == len)
            return n;
        if (n < 0 || s->xf.abort.load() != 0)
            return s->xf.abort.load() ? -XFER_ABORT : -XFER_NET;
        vfs_stat_rec st{};
        if (vfs_fstat(f, &st) == 0 && static_cast<int64_t>(st.size) < offset + len) {
            LOG2(LOG2_ERR, TAG, "sendfile [%s]: file shorter than announced\n", path);
            return -XFER_LOCAL;
        }
        LOG2(LOG2_ERR, TAG, "sendfile [%s] wlen=%lli ret=%lli timeout=%d failed\n", path,
             static_cast<long long>(len), static_cast<long long>(n), s->dc.stream.timeout_ms);
        return -XFER_NET;
    }
    int64_t n = vfs_pread(f, s->xf.buf, static_cast<size_t>(len), offset);
    if (n <= 0) {
        // An error, or the file shrank below the size announced in the 150 reply.
        LOG2(LOG2_ERR, TAG, "pread [%s] error: %s\n", path,
             n < 0 ? vfs_strerror(f) : "file shorter than announced");
        return -XFER_LOCAL;
    }
    int w = net_write(&s->dc.stream, s->xf.buf, static_cast<int>(n));
    ftpd_count_bytes(false, w);
    if (w != n) {
        LOG2(LOG2_ERR, TAG, "net_write [%s] wlen=%d ret=%d timeout=%d failed\n", path,
             static_cast<int>(n), w, s->dc.stream.timeout_ms);
        return s->xf.abort.load() ? -XFER_ABORT : -XFER_NET;
    }
    return n;
}

/// Sends remaining bytes of f from offset, block by block. Returns an XFER_* outcome.
static int retr_loop(ftp_session *s, vfs_file *f, const char *path, int64_t offset,
                     int64_t remaining) {
    // Local files go out with sendfile; the data stream is always plain TCP.
    int fd = g_ftp_zero_copy.load() && s->dc.stream.io == nullptr && s->dc.stream.tls == nullptr
                 ? vfs_file_fd(f)
                 : -1;
    // Without a rate limit, sendfile takes the whole rest in one call: the socket is set up
    // once, and ABOR is still seen after every block of write_bs bytes.
    int64_t step = fd >= 0 && g_ftpd_conf.download_max_rate <= 0 ? remaining : s->xf.write_bs;
    while (remaining > 0) {
        int64_t len = std::min<int64_t>(remaining, step);
        int64_t n = retr_block(s, f, fd, path, offset, len);
        if (n < 0)
            return static_cast<int>(-n);
        rate_limit(s, n, 0);
        if (int why = xfer_interrupted(s)) {
            LOG2(LOG2_DBG, TAG, "user abor_received\n");
            return why;
        }
        remaining -= n;
        offset += n;
    }
    return XFER_OK;
}

int do_retr(ftp_session *s) {
    const char *path = s->path;  // resolved by the dispatcher
    if (ftp_xfer_buf(s) != 0) {
        ftp_relply(s, 451, FTP_T_READ_LOCAL_FAILED);
        return 0;
    }
    if (get_fd(s) != 0)
        return 0;
    int64_t offset = s->xf.rest;
    s->xf.rest = 0;
    vfs_stat_rec st{};
    vfs_file *f = retr_open(s, path, &st);
    if (f == nullptr) {
        data_close(s);
        return 0;
    }
    int64_t size = static_cast<int64_t>(st.size);
    int64_t remaining = offset <= size ? size - offset : 0;
    ftp_relply(s, 150, FTP_T_RETR_BEGIN,
               s->xf.ascii ? "ASCII" : "BINARY", s->arg, static_cast<long long>(size));
    // Clients start TLS on the data connection once they have the 150 reply.
    if (ftp_data_protect(s) != 0) {
        vfs_close(f);
        data_close(s);
        return 0;
    }
    net_stop stop;
    xfer_begin(s, &stop);
    int outcome = retr_loop(s, f, path, offset, remaining);
    xfer_end(s, f);
    xfer_reply(s, outcome, false);
    return 0;
}

/// Opens and positions the upload target. Replies and returns null on failure.
static vfs_file *upload_open(ftp_session *s, const char *path, int append, int64_t offset) {
    vfs_file *f = vfs_open(s->mount, path, VFS_O_UPLOAD);
    if (f == nullptr) {
        LOG2(LOG2_ERR, TAG, "open [%s] error: %s\n", path, vfs_strerror(s->mount));
        ftp_relply(s, 553, FTP_T_UPLOAD_OPEN_FAILED);
        return nullptr;
    }
    vfs_stat_rec st{};
    if (vfs_fstat(f, &st) < 0) {
        LOG2(LOG2_ERR, TAG, "fstat [%s] error: %s\n", path, vfs_strerror(f));
        vfs_close(f);
        ftp_relply(s, 550, FTP_T_FSTAT_FAILED);
        return nullptr;
    }
    int64_t pos = 0;
    if (append)
        pos = vfs_lseek(f, 0, 2);
    else if (offset != 0)
        pos = vfs_lseek(f, offset, 0);
    else if (st.size != 0 && vfs_ftruncate(f, 0) < 0)
        pos = -1;  // an empty file is left alone: ext4 flushes a truncated file on close
    else
        pos = vfs_lseek(f, 0, 0);
    if (pos < 0) {
        LOG2(LOG2_ERR, TAG, "lseek [%s] error: %s\n", path, vfs_strerror(f));
        vfs_close(f);
        ftp_relply(s, 550, FTP_T_SEEK_FAILED);
        return nullptr;
    }
    return f;
}

/// Upload loop straight from the socket to the file's descriptor, in batches as large as
/// the socket has ready. Returns XFER_*.
static int upload_direct(ftp_session *s, int fd, const char *path) {
    const os_cancel cancel{xfer_cancelled, s};
    for (;;) {
        int eof = 0;
        int64_t n = os_socket_recv_file(s->dc.stream.handle, fd, s->xf.buf, s->xf.size,
                                        s->xf.read_bs, s->dc.stream.timeout_ms, &cancel, &eof);
        ftpd_count_bytes(true, n);
        if (int why = xfer_interrupted(s))
            return why;  // what arrived is already in the file
        if (n == -2) {
            LOG2(LOG2_ERR, TAG, "write [%s] error: %s\n", path, pal_strerror(os_socket_error()));
            return XFER_LOCAL;
        }
        if (n < 0) {
            LOG2(LOG2_DBG, TAG, "net_read [%s] failed\n", path);
            return XFER_NET;
        }
        if (n > 0)
            rate_limit(s, n, 1);
        if (eof)
            return XFER_OK;
        if (n == 0) {
            LOG2(LOG2_ERR, TAG, "net_read [%s] stalled for %d ms\n", path, s->dc.stream.timeout_ms);
            return XFER_STALL;
        }
    }
}

/// Receives into f until the client closes the data connection. Returns XFER_*.
static int upload_loop(ftp_session *s, vfs_file *f, const char *path) {
    int fd = g_ftp_zero_copy.load() && s->dc.stream.io == nullptr && s->dc.stream.tls == nullptr
                 ? vfs_file_fd(f)
                 : -1;
    if (fd >= 0)
        return upload_direct(s, fd, path);
    for (;;) {
        int n = net_read(&s->dc.stream, s->xf.buf, static_cast<int>(s->xf.read_bs));
        ftpd_count_bytes(true, n);
        if (n > 0 && vfs_write(f, s->xf.buf, static_cast<size_t>(n)) != n) {
            LOG2(LOG2_ERR, TAG, "write [%s] error: %s\n", path, vfs_strerror(f));
            return XFER_LOCAL;
        }
        if (int why = xfer_interrupted(s))
            return why;
        if (n < 0) {
            LOG2(LOG2_DBG, TAG, "net_read [%s] failed\n", path);
            return XFER_NET;  // a reset or a read error: the file may be incomplete
        }
        if (n > 0)
            rate_limit(s, n, 1);
        if (s->dc.stream.disconnected)
            return XFER_OK;  // the client closed the data connection: the end of the file
        if (n == 0) {
            // Nothing for a whole data read time-out while the connection stays open.
            LOG2(LOG2_ERR, TAG, "net_read [%s] stalled for %d ms\n", path, s->dc.stream.timeout_ms);
            return XFER_STALL;
        }
    }
}

static int upload_common(ftp_session *s, int append) {
    const char *path = s->path;  // resolved by the dispatcher
    if (ftp_check_perm(s) != 0)
        return 0;
    if (ftp_xfer_buf(s) != 0) {
        ftp_relply(s, 451, FTP_T_LOCAL_FAILED_UPLOAD);
        return 0;
    }
    if (get_fd(s) != 0)
        return 0;
    int64_t offset = s->xf.rest;
    s->xf.rest = 0;
    vfs_file *f = upload_open(s, path, append, offset);
    if (f == nullptr) {
        data_close(s);
        return 0;
    }
    ftp_relply(s, 150, FTP_T_UPLOAD_BEGIN);
    if (ftp_data_protect(s) != 0) {
        vfs_close(f);
        data_close(s);
        return 0;
    }
    net_stop stop;
    xfer_begin(s, &stop);
    int outcome = upload_loop(s, f, path);
    xfer_end(s, f);
    xfer_reply(s, outcome, true);
    return 0;
}

int do_stor(ftp_session *s) { return upload_common(s, 0); }

int do_appe(ftp_session *s) { return upload_common(s, 1); }
