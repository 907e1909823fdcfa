// lognet.cpp - the syslog sink: its URL, the connection made on the first message, and the
// RFC 3164 message ("<pri>Mmm dd hh:mm:ss host tag[pid]: text") with one resend after a
// failed send. The sockets themselves live in lognet_socket.cpp.
#include "log_internal.h"
#include "pal_url.h"

#include <cstdio>
#include <cstring>
#include <string_view>

// After a failed connect the sink waits this long before it tries again, so that an
// unreachable server does not cost a name lookup on every line under the log lock.
static const uint64_t RETRY_PAUSE_MS = 2000;

struct syslog_code {
    const char *name;
    int value;
};

// The standard syslog name tables.
static const syslog_code facility_names[] = {
    {"auth", 4 << 3},     {"authpriv", 10 << 3}, {"cron", 9 << 3},    {"daemon", 3 << 3},
    {"ftp", 11 << 3},     {"kern", 0},           {"lpr", 6 << 3},     {"mail", 2 << 3},
    {"mark", 24 << 3},    {"news", 7 << 3},      {"security", 4 << 3}, {"syslog", 5 << 3},
    {"user", 1 << 3},     {"uucp", 8 << 3},      {"local0", 16 << 3}, {"local1", 17 << 3},
    {"local2", 18 << 3},  {"local3", 19 << 3},   {"local4", 20 << 3}, {"local5", 21 << 3},
    {"local6", 22 << 3},  {"local7", 23 << 3},
};
static const syslog_code priority_names[] = {
    {"alert", 1}, {"crit", 2},   {"debug", 7},  {"emerg", 0},   {"err", 3},
    {"error", 3}, {"info", 6},   {"none", 0x10}, {"notice", 5}, {"panic", 0},
    {"warn", 4},  {"warning", 4},
};

// A name of the table, or a number that is one of its values; -1 otherwise.
static int decode_part(std::string_view text, const syslog_code *table, size_t count) {
    bool numeric = !text.empty() && text.find_first_not_of("0123456789") == text.npos;
    int number = numeric ? pal_atoi(text) : -1;
    for (size_t i = 0; i < count; i++) {
        if (numeric ? table[i].value == number : text == table[i].name)
            return table[i].value;
    }
    return -1;
}

int lognet_decode_pri(const char *text) {
    std::string_view all(text);
    size_t dot = all.find('.');
    std::string_view fac = dot == all.npos ? std::string_view() : all.substr(0, dot);
    std::string_view pri = dot == all.npos ? all : all.substr(dot + 1);
    int f = decode_part(fac, facility_names, std::size(facility_names));
    if (f < 0) {
        std::fprintf(stderr, "unknown facility name: %.*s\n", static_cast<int>(fac.size()),
                     fac.data());
        return -1;
    }
    int p = decode_part(pri, priority_names, std::size(priority_names));
    if (p < 0) {
        std::fprintf(stderr, "unknown priority name: %.*s\n", static_cast<int>(pri.size()),
                     pri.data());
        return -1;
    }
    return f | (p & 0x07);
}

// ---------------------------------------------------------------------------------------
// Configure, connect, close

void log_net_close(log2_ctx *c) {
    if (c->syslog.fd >= 0)
        lognet_sock_close(c->syslog.fd);
    c->syslog.fd = -1;
    if (c->syslog.state == 2)
        c->syslog.state = 1;
}

int log_net_open(log2_ctx *c, const char *url) {
    log2_dbg_printf("log_net_open [%s]\n", url);
    // Parsed before the lock: the parser may log.
    char buf[URL_BUF_SIZE];
    url_t u{};
    if (url_parser(&u, buf, url) != 0 || u.host == nullptr || u.host[0] == '\0') {
        LOG2(LOG2_DBG, "net", "url_parser %s failed\n", url);
        return -1;
    }
    bool tcp = u.scheme != nullptr && pal_iequals(u.scheme, "tcp");
    std::scoped_lock lock(c->mu);
    log_net_close(c);
    log2_syslog_sink &s = c->syslog;
    pal_strlcpy(s.url, url);
    pal_strlcpy(s.host, u.host);
    s.port = u.port;
    s.transport = tcp ? LOGNET_TCP : LOGNET_UDP;
    s.state = 1;
    s.next_try_ms = 0;
    return 0;
}

static void read_hostname(log2_syslog_sink *s) {
    if (s->hostname[0] != '\0')
        return;
    std::string name = os_hostname();
    if (name.empty() || name == "(none)")
        name = "unknown";
    pal_strlcpy(s->hostname, name);
}

// Connects the configured transports in turn (UDP, then TCP). 0 or -1.
static int syslog_connect(log2_syslog_sink *s) {
    read_hostname(s);
    char port[16] = "";
    if (s->port != 0)
        pal_snprintf(port, "%u", s->port);
    log2_dbg_printf("syslog_open [%s:%s]==>\n", s->host, port);
    static const struct {
        int transport;
        const char *service;
    } attempts[] = {{LOGNET_UDP, "syslog"}, {LOGNET_TCP, "syslog-conn"}};
    const char *tried = port;
    for (const auto &a : attempts) {
        if (!(s->transport & a.transport))
            continue;
        tried = port[0] ? port : a.service;
        int fd = lognet_sock_connect(s->host, tried, a.transport == LOGNET_TCP);
        if (fd == -1) {
            std::fprintf(stderr, "failed to resolve name %s port %s\n", s->host, tried);
            return -1;
        }
        if (fd >= 0) {
            s->fd = fd;
            return 0;
        }
    }
    std::fprintf(stderr, "failed to connect to %s port %s\n", s->host, tried);
    return -1;
}

// ---------------------------------------------------------------------------------------
// Message

static const char *const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Builds the datagram text; returns its length without the terminating zero.
static int build_message(const log2_ctx *c, const log2_line *l, std::span<char> out) {
    char pri_name[32];
    pal_snprintf(pri_name, "user.%s", log2_level_syslog(l->level));
    int pri = lognet_decode_pri(pri_name);
    const pal_tm &tm = *l->tm;
    char stamp[32];
    int mon = tm.mon >= 1 && tm.mon <= 12 ? tm.mon - 1 : 0;
    pal_snprintf(stamp, "%s %2d %02d:%02d:%02d", month_names[mon], tm.mday, tm.hour, tm.min,
                 tm.sec);
    char pid[16];
    pal_snprintf(pid, "[%d]", c->pid);
    const char *tag = l->tag && l->tag[0] ? l->tag : "<someone>";
    return pal_snprintf(out, "<%d>%.15s %.32s %.64s%s: %.800s", pri, stamp, c->syslog.hostname, tag,
                        pid, l->a + l->time_len);
}

void log_net_write(log2_ctx *c, const log2_line *l) {
    log2_syslog_sink &s = c->syslog;
    if (!c->on_syslog.load() || s.state == 0)
        return;
    if (s.state == 1) {
        if (os_clock_ms() < s.next_try_ms)
            return;
        if (syslog_connect(&s) < 0) {
            s.next_try_ms = os_clock_ms() + RETRY_PAUSE_MS;
            return;
        }
        s.state = 2;
    }
    char text[1536];
    int len = build_message(c, l, text);
    // The zero byte goes with the text.
    if (lognet_sock_send(s.fd, text, static_cast<size_t>(len) + 1) == 0)
        return;
    log_net_close(c);
    if (syslog_connect(&s) == 0) {
        s.state = 2;
        if (lognet_sock_send(s.fd, text, static_cast<size_t>(len) + 1) == 0)
            return;
    }
    std::fprintf(stderr, "syslog_write %s err\n", s.url);
}
