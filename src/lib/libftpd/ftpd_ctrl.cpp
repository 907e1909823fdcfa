// ftpd_ctrl.cpp - the control connection: replies, the input buffer that turns the bytes a
// client sends into whole command lines, and the ABOR watch while a transfer runs.
//
// Lines come in pieces over TCP: bytes wait in the session's input buffer until their line
// feed arrives, so a command is never run half received. During a transfer the session's
// own worker looks at the control connection between blocks and in every wait slice,
// taking only what has arrived; no other thread ever reads or writes it.
#include <cstdarg>
#include <cstring>

#include "ftpd_internal.h"
#include "ftpd_reply.h"
#include "log.h"

// ---------------------------------------------------------------------------------------
// Replies.

// Sends one reply line: "%d " (last line), "%d-" (first of several) or " " (continuation,
// code 0) before the text, CR LF after it.
static int ftp_send_fmt(ftp_session *s, int code, char sep, const char *fmt, va_list ap) {
    char buf[FTP_LINE_SIZE];
    int n = code > 0 ? pal_snprintf(buf, "%d%c", code, sep) : pal_strlcpy(buf, " ");
    if (n < 0)
        return -1;
    bool cut = false;
    n += pal_vsnprintf(std::span<char>(buf + n, sizeof buf - size_t(n) - 2), fmt, ap, &cut);
    buf[n++] = '\r';
    buf[n++] = '\n';
    int rc = net_write(&s->conn.stream, buf, n);
    if (sep == ' ' && rc == n)
        ftpd_count_reply(code);  // a multi-line reply counts once, at its last line
    LOG2(LOG2_VERB, "ftpd", "eno=%d [%.*s]\n", rc, n - 2, buf);
    return rc;
}

#define FTP_SEND(code, sep)                              \
    va_list ap;                                          \
    va_start(ap, fmt);                                   \
    int rc = ftp_send_fmt(s, (code), (sep), fmt, ap);    \
    va_end(ap);                                          \
    return rc

int ftp_relply(ftp_session *s, int code, const char *fmt, ...) { FTP_SEND(code, ' '); }

int ftp_lrelply(ftp_session *s, int code, const char *fmt, ...) { FTP_SEND(code, '-'); }

int ftp_reply_line(ftp_session *s, const char *fmt, ...) { FTP_SEND(0, ' '); }

#undef FTP_SEND

std::string ftp_quote_path(const char *path) {
    std::string out = "\"";
    for (const char *p = path; *p; p++) {
        out += *p;
        if (*p == '"')
            out += '"';  // a quote inside the name is doubled, so clients find the end
    }
    out += '"';
    return out;
}

// ---------------------------------------------------------------------------------------
// Input buffer and lines.

// Moves the first whole line of the input into out (size bytes) without its line feed and
// carriage returns; a NUL ends the line's text. Returns 1 with a line, 0 when no whole
// line is buffered yet, -1 when the buffer is full without a line feed (a line too long).
static int ctrl_take_line(ftp_ctrl_in *in, char *out, size_t size) {
    auto *lf = static_cast<char *>(memchr(in->buf, '\n', in->len));
    if (lf == nullptr)
        return in->len >= sizeof in->buf ? -1 : 0;
    size_t line_len = size_t(lf - in->buf);
    size_t n = 0;
    for (size_t i = 0; i < line_len && in->buf[i] != '\0' && n + 1 < size; i++)
        if (in->buf[i] != '\r')
            out[n++] = in->buf[i];
    out[n] = '\0';
    size_t rest = in->len - line_len - 1;
    memmove(in->buf, lf + 1, rest);
    in->len = uint32_t(rest);
    return 1;
}

// Reads what the control connection has, waiting up to wait_ms for the first byte.
// Returns the bytes added, 0 for none, -1 at the end of the connection.
static int ctrl_fill(ftp_session *s, int wait_ms) {
    ftp_ctrl_in *in = &s->in;
    int room = int(sizeof in->buf - in->len);
    if (room <= 0)
        return 0;
    int n = net_read_avail(&s->conn.stream, in->buf + in->len, room, wait_ms);
    if (n < 0) {
        in->eof = 1;
        return -1;
    }
    in->len += uint32_t(n);
    return n;
}

int ftp_ctrl_gets(ftp_session *s, int wait_ms) {
    ftp_ctrl_in *in = &s->in;
    int r = ctrl_take_line(in, s->line, sizeof s->line);
    if (r != 0 || in->broken)
        return r != 0 ? r : -1;
    if (in->eof || ctrl_fill(s, wait_ms) < 0)
        return -1;
    return ctrl_take_line(in, s->line, sizeof s->line);
}

const char *ftp_skip_telnet(const char *line) {
    // Telnet IAC (0xff), IP (0xf4) and DM (0xf2) ahead of a command: inline, or with the DM
    // byte taken out of band as TCP urgent data, which leaves "\xff\xf4\xff".
    while (static_cast<unsigned char>(*line) >= 0xf0)
        line++;
    return line;
}

// ---------------------------------------------------------------------------------------
// ABOR while a transfer runs.

// True for ABOR as the watch accepts it: exact upper case, trailing blanks ignored.
static bool ctrl_is_abor(const char *line) {
    const char *p = ftp_skip_telnet(line);
    size_t len = strlen(p);
    while (len > 0 && pal_isspace(p[len - 1]))
        len--;
    return len == 4 && memcmp(p, "ABOR", 4) == 0;
}

void ftp_ctrl_watch(ftp_session *s) {
    ftp_ctrl_in *in = &s->in;
    if (in->eof || in->broken || s->xf.abort.load() != 0)
        return;
    if (ctrl_fill(s, 0) < 0) {
        LOG2(LOG2_DBG, "ftpd", "control connection closed during a transfer\n");
        return;  // the transfer goes on; the command loop sees the end afterwards
    }
    for (;;) {
        char line[FTP_LINE_SIZE];
        int r = ctrl_take_line(in, line, sizeof line);
        if (r == 0)
            return;
        if (r < 0) {
            LOG2(LOG2_ERR, "ftpd", "command line too long during a transfer\n");
            in->broken = 1;
            return;
        }
        if (ctrl_is_abor(line)) {
            s->xf.abort.store(1);
            return;  // later lines wait for the command loop
        }
        // A client that sends lines and never reads its replies holds up only its own
        // session: after one failed reply the transfer ends and so does the session.
        static constexpr int reply_len = sizeof "500 Unknown command\r\n" - 1;
        if (ftp_relply(s, 500, FTP_T_UNKNOWN_IN_XFER) != reply_len) {
            in->broken = 1;
            return;
        }
    }
}

void abor_reply(ftp_session *s) {
    if (s->xf.abort.load() != 1)
        return;
    s->xf.abort.store(0);
    (void)ftp_relply(s, 226, FTP_T_ABOR_OK);
}
