// log_internal.h - the log context and the sink operations shared by the liblog files.
// Never included outside src/lib/liblog.
#pragma once

#include "log.h"
#include "pal.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

enum : int {
    LOG2_LINE_MAX = 8192,    ///< prefix, message and each text line
    LOG2_RECENT_MAX = 1024,  ///< recent-lines buffer
    LOG2_THREAD_NAME_MAX = 300,
};

/// The text file sink. Guarded by the context lock.
struct log2_file_sink {
    char path[4096];       ///< full name of the open file ("" when none)
    char dir[2048];        ///< directory for relative names
    char mode[3];          ///< "a" or "w"
    uint64_t size_cap;     ///< the file is halved once it reaches this size
    std::FILE *stream;
};

/// The syslog sink. Guarded by the context lock.
struct log2_syslog_sink {
    char url[8192];
    char host[8192];
    uint16_t port;         ///< 0: the service's default port
    int transport;         ///< LOGNET_UDP and/or LOGNET_TCP
    int fd;                ///< connected socket, -1 when none
    int state;             ///< 0 off, 1 configured, 2 connected
    uint64_t next_try_ms;  ///< no connect before this time after a failed one
    char hostname[129];    ///< this machine, read on the first connect
};

enum : int { LOGNET_UDP = 2, LOGNET_TCP = 4 };

struct log2_ctx {
    std::atomic<unsigned> flags{0x27};
    std::atomic<int> threshold{7};
    std::atomic<uint8_t> on_console{1};
    std::atomic<uint8_t> on_dbgview{0};
    std::atomic<uint8_t> on_file{0};
    std::atomic<uint8_t> on_syslog{0};
    bool console_tty = false;  ///< colours only make sense on a terminal
    int pid = 0;               ///< process id, read once: file and syslog lines carry it
    std::mutex mu;             ///< held while one line runs through the sinks
    log2_out_fn out_cb = nullptr;
    log2_out_fn err_cb = nullptr;
    char recent[LOG2_RECENT_MAX];
    size_t recent_used = 0;
    log2_file_sink file{};
    log2_syslog_sink syslog{};
};

/// One line on its way through the sinks.
struct log2_line {
    int level;            ///< with flags
    const char *tag;
    const char *a;        ///< prefix + message, ends in '\n'
    size_t a_len;
    const char *b;        ///< function part + message (the file line), ends in '\n'
    size_t b_len;
    size_t time_len;      ///< length of the time prefix at the start of a
    const char *thread;   ///< shown thread name
    const pal_tm *tm;     ///< when the line was made
};

/// The process-wide context, created on first use.
log2_ctx *log2_ctx_get();
/// The calling thread's id, read once per thread (each read is a system call).
uint64_t log2_self_tid();
/// Makes g_log2_threshold follow the context threshold and the redirect hook.
void log2_threshold_sync(log2_ctx *c);

/// Level names and labels; levels outside 2..8 use the nearest row.
const char *log2_level_name(int level);     ///< "crit" ... "verb"
const char *log2_level_label(int level);    ///< "CRIT", "ERROR" ... "VERB"
const char *log2_level_syslog(int level);   ///< "crit", "error" ... "debug"
/// The level of a settings name, or -1.
int log2_level_parse(const char *name);

/// Closes the binary sinks and forgets them (log exit).
void log_bsv_close();

/// File sink (log_file.cpp). All run under the context lock.
int log_file_open(log2_ctx *c, const char *path);
void log_file_close(log2_ctx *c);
int log_file_set_mode(log2_ctx *c, const char *mode);
void log_file_write(log2_ctx *c, const log2_line *l);

/// Keeps the newest cap/2 bytes of the file at path, starting after their first line feed
/// (without their first byte when there is none). The file must not be open for writing
/// through a buffered stream meanwhile. Returns 0 or a negative table code.
int log_file_halve(const char *path, uint64_t cap);

/// Syslog sink (lognet.cpp). log_net_open takes the lock itself (its URL parser may log);
/// the others run under it.
int log_net_open(log2_ctx *c, const char *url);
void log_net_close(log2_ctx *c);
void log_net_write(log2_ctx *c, const log2_line *l);
/// "facility.priority" (names or numbers of the syslog tables) to a priority value, or -1
/// with "unknown facility name: %s" / "unknown priority name: %s" on standard error.
int lognet_decode_pri(const char *text);

/// Socket back end of the syslog sink (lognet_socket.cpp). port is a number or a service
/// name ("syslog", "syslog-conn"). Returns the connected descriptor, -1 when the name does
/// not resolve, -2 when no address connects.
int lognet_sock_connect(const char *host, const char *port, bool tcp);
/// Sends the whole buffer; 0 or -1.
int lognet_sock_send(int fd, const void *buf, size_t len);
void lognet_sock_close(int fd);
