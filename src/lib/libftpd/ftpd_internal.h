// ftpd_internal.h - what the files of the FTP server share: the session record, the
// command table row, the reply helpers and the data-connection and path helpers.
// Never included outside src/lib/libftpd, except by the FTP fuzz target (tests/fuzz).
#pragma once

#include <atomic>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "ftpd.h"
#include "net.h"
#include "pal_socket.h"
#include "vfs.h"

enum : int {
    FTP_LINE_SIZE = 8192,
    FTP_ADDR_SIZE = 64,
};

/// Data mode of a session.
enum : int { FTP_DATA_NONE = 0, FTP_DATA_PASV = 1, FTP_DATA_PORT = 2 };

/// Control connection input: bytes received and not yet taken as a line.
struct ftp_ctrl_in {
    char buf[FTP_LINE_SIZE];
    uint32_t len;
    int eof;     ///< the connection ended or failed: no more lines come
    int broken;  ///< a line too long, or a reply that could not be sent: the session ends
};

/// The data connection of a session: how the next one opens, and the open one.
struct ftp_data_conn {
    int mode;                        ///< FTP_DATA_*
    sock_wait_srv *pasv;             ///< one-connection listener of PASV/EPSV, or null
    int pasv_port;
    char active_url[FTP_LINE_SIZE];  ///< data address of PORT/EPRT as a "tcp://" URL (logs)
    os_sockaddr active_sa;           ///< the same address as a record, with its port
    net_stream stream;               ///< the data connection; handle 0 when closed
};

/// The transfer part: buffer, block sizes, type, restart offset, rate clock and abort.
struct ftp_xfer {
    char *buf;                ///< transfer buffer (heap), size bytes, or null while idle
    uint32_t size;            ///< the larger of the two block sizes
    uint32_t list_fill;       ///< listing bytes waiting in buf
    uint32_t read_bs;         ///< bytes per upload read
    uint32_t write_bs;        ///< bytes per download read and listing flush
    int ascii;                ///< TYPE A (1) or TYPE I (0)
    std::atomic<int> abort;   ///< ABOR arrived during the running transfer
    int64_t rest;             ///< restart offset, consumed by the next transfer
    int64_t clock_us;         ///< time of the last rate check (monotonic microseconds)
};

/// One control session. The pool hands it out zeroed (raw memory, so every field is
/// trivially constructible); it begins with the pool's connection record, whose stream is
/// the control connection. Touched by the session's worker only; the pool's teardown sets
/// the control stream's abort flag from another thread.
struct ftp_session {
    sock_ctx conn;              ///< first: the control stream and the pool
    // The control connection and the command being run.
    ftp_ctrl_in in;             ///< bytes received, not yet a whole line
    char line[FTP_LINE_SIZE];   ///< received command line; reused for listing lines
    char *cmd;                  ///< upper-cased command word, inside line
    char *arg;                  ///< text after the first blank, inside line, or null
    int64_t last_activity_ms;   ///< monotonic time at the end of the last command
    int64_t start_ms;           ///< monotonic time the session started (login deadline)
    int quit;                   ///< the loop ends after this command
    int tls;                    ///< the control connection is TLS (FTPS port or AUTH TLS)
    int pbsz;                   ///< PBSZ came on the TLS control connection
    int prot_p;                 ///< PROT P: data connections are TLS sessions
    unsigned mlst_hidden;       ///< MLST/MLSD facts turned off by OPTS MLST
    char local_addr[FTP_ADDR_SIZE];  ///< server address of this connection, no port
    char peer_addr[FTP_ADDR_SIZE];   ///< client address, no port
    os_sockaddr local_sa;       ///< same as local_addr, as an address record
    os_sockaddr peer_sa;        ///< same as peer_addr (PORT/EPRT and passive checks)
    int ip_counted;             ///< counted in the per-address sessions
    // Login and the session's file system.
    int logged_in;              ///< a PASS succeeded; gates every command but a few
    char user[VFS_PATH_MAX];    ///< name given by USER
    int has_user;               ///< USER came with a name
    vfs_mount *mount;           ///< the session's file system
    char cdir[VFS_PATH_MAX];    ///< current directory, absolute inside the mount
    char path[VFS_PATH_MAX];    ///< the command's path argument, resolved (FTP_CMD_PATH)
    char rnfr[VFS_PATH_MAX];    ///< rename source stored by RNFR
    int has_rnfr;
    ftp_data_conn dc;
    ftp_xfer xf;
};

/// Command handler: writes its own replies. Returns 0 (the result is not used further).
using ftp_handler = int (*)(ftp_session *s);

/// Flags of a command table row.
enum : unsigned {
    FTP_CMD_ANON = 0x01,      ///< allowed before login
    FTP_CMD_NEED_ARG = 0x02,  ///< 501 without an argument
    FTP_CMD_PATH = 0x04,      ///< the argument is a path: resolved into s->path first
    FTP_CMD_EXT = 0x08,       ///< "nvtd:ftp_extensions" only; otherwise 500 "Bad command"
};

struct ftp_cmd_row {
    const char *name;
    unsigned flags;
    ftp_handler handler;  ///< null: known but not implemented (answered 500 "Bad command")
};

// ---------------------------------------------------------------------------------------
// The control connection (ftpd_ctrl.cpp). Replies format into at most 8192 bytes and are
// written with net_write on the control stream; they return the bytes written (fewer when
// the client stopped reading) or a negative value.

/// "%d %s\r\n": a single-line reply or the last line of a multi-line one.
[[gnu::format(printf, 3, 4)]] int ftp_relply(ftp_session *s, int code, const char *fmt, ...);
/// "%d-%s\r\n": the first line of a multi-line reply.
[[gnu::format(printf, 3, 4)]] int ftp_lrelply(ftp_session *s, int code, const char *fmt, ...);
/// " %s\r\n": a continuation line.
[[gnu::format(printf, 2, 3)]] int ftp_reply_line(ftp_session *s, const char *fmt, ...);
/// path in double quotes with every quote inside doubled, as 257 replies carry it.
std::string ftp_quote_path(const char *path);

/// The next whole command line into s->line (no line feed, no carriage returns), waiting up
/// to wait_ms for more bytes when none is buffered. Returns 1 with a line, 0 when no whole
/// line came in time (bytes of a partial one stay buffered), -1 when the session must end
/// (the connection ended or failed, or a line of 8192 bytes or more).
[[nodiscard]] int ftp_ctrl_gets(ftp_session *s, int wait_ms);
/// The ABOR watch of a running transfer, called by the worker between blocks and in every
/// wait slice: takes what the control connection holds without waiting, sets abort for an
/// ABOR line and answers any other whole line 500 "Unknown command".
void ftp_ctrl_watch(ftp_session *s);
/// After a transfer: when abort is set, clears it and replies 226 "ABOR successful".
void abor_reply(ftp_session *s);
/// line past any leading Telnet command bytes (IAC, IP, DM) that clients send before ABOR.
const char *ftp_skip_telnet(const char *line);

// ---------------------------------------------------------------------------------------
// Paths and permissions (ftpd_login.cpp).

/// Resolves a client path against the current directory into out, a clean absolute path
/// inside the session's root. Returns 0, or -1 when the result would not fit.
[[nodiscard]] int ftp_resolve(ftp_session *s, const char *path, char (&out)[VFS_PATH_MAX]);
/// With "nvtd:readonly" set, replies 550 "no perm." and returns -1; else 0.
int ftp_check_perm(ftp_session *s);

// ---------------------------------------------------------------------------------------
// Data connections (ftpd_data.cpp).

/// Opens the data connection for the current mode. Returns 0, or -1 after replying.
int get_fd(ftp_session *s);
/// Closes the data connection and the passive listener; the mode stays.
void data_close(ftp_session *s);

// ---------------------------------------------------------------------------------------
// Command handlers, by file.

// ftpd_tls.cpp
int do_auth(ftp_session *s);
int do_pbsz(ftp_session *s);
int do_prot(ftp_session *s);
/// The server side of a TLS handshake on st, bounded as a whole by limit_ms. 0 or -1.
[[nodiscard]] int ftp_tls_handshake(net_stream *st, int limit_ms);
/// With "nvtd:ftps_required" on a clear control connection: replies 530 and returns true.
bool ftp_tls_required(ftp_session *s);
/// After PROT P: the TLS handshake on the open data connection, right after the 150 reply
/// (clients start it once they have that reply). 0, or -1 after replying 425.
[[nodiscard]] int ftp_data_protect(ftp_session *s);

// ftpd_mlsd.cpp
int do_mlst(ftp_session *s);
int do_mlsd(ftp_session *s);
int do_mfmt(ftp_session *s);
/// OPTS MLST: the facts to show from now on (unknown ones ignored); replies 200.
int ftp_opts_mlst(ftp_session *s, const char *facts);
/// The FEAT line of MLST with the session's facts marked.
std::string ftp_mlst_feat(const ftp_session *s);
/// A bounded line being built; listings format thousands of lines, so the fields are
/// written directly rather than through printf.
struct ftp_line_out {
    char *p;
    char *end;  ///< one before the buffer's end: room for the terminator

    void put(std::string_view text) {
        size_t n = std::min(text.size(), size_t(end - p));
        memcpy(p, text.data(), n);
        p += n;
    }
    void put_char(char c, size_t count = 1) {
        while (count-- > 0 && p < end)
            *p++ = c;
    }
    /// A decimal number, right-aligned (width > 0) or left-aligned (width < 0) in |width|.
    void put_num(long long v, int width) {
        char digits[24];
        char *d = digits + sizeof digits;
        unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                     : static_cast<unsigned long long>(v);
        do {
            *--d = char('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (v < 0)
            *--d = '-';
        size_t len = size_t(digits + sizeof digits - d);
        size_t pad = size_t(width < 0 ? -width : width);
        pad = pad > len ? pad - len : 0;
        if (width > 0)
            put_char(' ', pad);
        put(std::string_view(d, len));
        if (width < 0)
            put_char(' ', pad);
    }
    void put_hex(uint64_t v) {
        char digits[16];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[v & 15];
            v >>= 4;
        } while (v != 0);
        while (n > 0)
            put_char(digits[--n]);
    }
    void put_2digits(int v) {
        put_char(char('0' + (v / 10) % 10));
        put_char(char('0' + v % 10));
    }
};

// ftpd_list.cpp: the listing buffer for other listings (MLSD).
/// Appends a line to the listing, writing what is pending first when it would not fit.
[[nodiscard]] int ftp_list_write(ftp_session *s, std::string_view line);
/// Writes what is pending. 0, or -1 once a write failed.
[[nodiscard]] int ftp_list_flush(ftp_session *s);
/// Writes a listing of path to the listing buffer; mode is the caller's. 0 or -1.
using ftp_list_fn = int (*)(ftp_session *s, const char *path, int mode);
/// Runs a listing on the data connection: transfer buffer, data connection, 150, TLS
/// after PROT P, write, close, then 226 or 451.
void ftp_list_run(ftp_session *s, const char *path, ftp_list_fn write, int mode);

// ftpd_session.cpp / ftpd_login.cpp
int do_user(ftp_session *s);
int do_pass(ftp_session *s);
int do_cwd(ftp_session *s);
int do_cdup(ftp_session *s);
int do_pwd(ftp_session *s);
int do_quit(ftp_session *s);
int do_abor(ftp_session *s);
int do_stru(ftp_session *s);
int do_mode(ftp_session *s);
int do_site(ftp_session *s);
/// ftpd_test_fault.cpp: SITE FAULT faults on purpose when NVTD_TEST_FAULT=1 was set.
bool ftpd_test_fault(ftp_session *s);
// ftpd_data.cpp
int do_port(ftp_session *s);
int do_eprt(ftp_session *s);
int do_pasv(ftp_session *s);
int do_epsv(ftp_session *s);
// ftpd_xfer.cpp
int do_type(ftp_session *s);
int do_rest(ftp_session *s);
int do_retr(ftp_session *s);
int do_stor(ftp_session *s);
int do_appe(ftp_session *s);
// ftpd_list.cpp
int do_list(ftp_session *s);
int do_nlst(ftp_session *s);
int do_stat(ftp_session *s);
// ftpd_file.cpp
int do_mkd(ftp_session *s);
int do_rmd(ftp_session *s);
int do_dele(ftp_session *s);
int do_rnfr(ftp_session *s);
int do_rnto(ftp_session *s);
int do_size(ftp_session *s);
int do_mdtm(ftp_session *s);
int do_opts(ftp_session *s);
int do_syst(ftp_session *s);
int do_feat(ftp_session *s);
int do_help(ftp_session *s);
int do_noop(ftp_session *s);

// ---------------------------------------------------------------------------------------
// Server, session loop and dispatch (ftpd_start.cpp, ftpd_session.cpp, ftpd_cmd.cpp).

struct ssl_conf;

/// Counts a session of client address addr against "nvtd:max_per_ip": 1 when counted
/// (ftpd_ip_leave at its end), 0 when there is no limit (nothing counted), -1 when addr
/// has as many sessions as allowed. Thread-safe.
[[nodiscard]] int ftpd_ip_enter(const char *addr);
void ftpd_ip_leave(const char *addr);
/// The FTPS listener's TLS server configuration, or null when FTPS is off.
const ssl_conf *ftpd_tls_conf();
/// The whole control session: set-up, greeting, command loop, teardown. The caller gives
/// the record back to the pool afterwards (which closes the control connection).
void ftpd_srv(ftp_session *s);
/// One session on a stream like the given one (its kind, handle and io operations are
/// copied; the stream stays the caller's and is not closed), for the fuzz target: the
/// client counts as being at address peer, the file system is mounted from root, and
/// lines are taken without waiting until QUIT, a broken line or the end of the input.
/// No pool, listener, TLS or time-out takes part. Blocks for the whole session.
void ftpd_srv_stream(const net_stream *like, const char *root, const char *peer);
/// Builds and frees the command map (at library start and end).
void ftp_cmd_map_init();
void ftp_cmd_map_exit();
/// Parses s->line (trailing white space cut, command word upper-cased, s->cmd and s->arg
/// set) and returns the command's row, or null for an unknown word.
const ftp_cmd_row *ftp_cmd(ftp_session *s);
/// Runs one received line: parse, login gate, missing-argument check, handler.
void ftp_dispatch(ftp_session *s);

// ---------------------------------------------------------------------------------------
// Transfer buffer (ftpd_xfer.cpp).

/// Sets the block sizes from the settings when still 0 and allocates the transfer buffer
/// (the larger block size) on first use, so idle sessions hold none. 0, or -1 (logged).
[[nodiscard]] int ftp_xfer_buf(ftp_session *s);
/// Frees the transfer buffer; the session's teardown calls it.
void ftp_xfer_buf_free(ftp_session *s);
/// Local files move with sendfile and direct socket-to-file receives while true (the
/// default); tests clear it to drive the buffered path that other drivers' files take.
extern std::atomic<bool> g_ftp_zero_copy;

// ---------------------------------------------------------------------------------------
// Counters (ftpd_stats.cpp): one relaxed atomic step at the place of each event, so that
// counting costs no lock and nothing per block beyond an add.

struct ftpd_counters {
    std::atomic<uint64_t> sessions_total[FTPD_PROTO_COUNT];
    std::atomic<int64_t> sessions_active[FTPD_PROTO_COUNT];
    std::atomic<uint64_t> refused_max_clients;
    std::atomic<uint64_t> refused_max_per_ip;
    std::atomic<uint64_t> bytes_sent;
    std::atomic<uint64_t> bytes_received;
    std::atomic<uint64_t> transfers[FTPD_XCMD_COUNT][FTPD_XRES_COUNT];
    std::atomic<uint64_t> replies[5];
    std::atomic<uint64_t> pasv_accept_timeouts;
};
extern ftpd_counters g_ftpd_counters;

inline void ftpd_count(std::atomic<uint64_t> &c, uint64_t n = 1) {
    c.fetch_add(n, std::memory_order_relaxed);
}
/// A session greeted: counted under the protocol of the port it came in on (a later AUTH
/// TLS does not move it). Returns that protocol for ftpd_count_session_end.
int ftpd_count_session_begin(const ftp_session *s);
void ftpd_count_session_end(int proto);
/// Data connection bytes: upload true for received bytes.
inline void ftpd_count_bytes(bool upload, int64_t n) {
    if (n > 0)
        ftpd_count(upload ? g_ftpd_counters.bytes_received : g_ftpd_counters.bytes_sent,
                   uint64_t(n));
}
/// A transfer of the command word cmd ended with result (FTPD_XRES_*); other words are
/// not counted.
void ftpd_count_xfer(const char *cmd, int result);
/// A reply with code (100 to 599) was sent.
inline void ftpd_count_reply(int code) {
    if (code >= 100 && code < 600)
        ftpd_count(g_ftpd_counters.replies[code / 100 - 1]);
}
