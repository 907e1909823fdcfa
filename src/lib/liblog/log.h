// log.h - the one log call of the program, its settings and the side log files.
// Lines are filtered by level before any formatting, built on the caller's stack and
// handed under one lock to the console, file, syslog, callback and recent-lines sinks.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "pal_value.h"

/// Levels: the low byte of the level argument; smaller is more severe. Flags above it.
enum : int {
    LOG2_CRIT = 2,
    LOG2_ERR = 3,
    LOG2_WARN = 4,
    LOG2_NOTI = 5,
    LOG2_INFO = 6,
    LOG2_DBG = 7,
    LOG2_VERB = 8,

    // Flags added to the level (one enumeration with the levels, so that
    // LOG2_ERR | LOG2_F_OSERR combines without a conversion warning).
    LOG2_F_OSERR = 0x100,     ///< append the text of the last OS error
    LOG2_F_NOEXIT = 0x200,    ///< a crit message does not end the process
    LOG2_F_BSV = 0x400,       ///< also send the binary record to the binary UDP stream
    LOG2_F_BSV_ONLY = 0x800,  ///< only the binary record, no text output
};

/// Prefix flags of the context's flag word.
enum : unsigned {
    LOG2_P_TID = 0x01,
    LOG2_P_TIME = 0x02,
    LOG2_P_FUNC = 0x04,
    LOG2_P_FILE = 0x08,
    LOG2_P_FILE_SHORT = 0x10,
    LOG2_P_COLOUR = 0x20,
    LOG2_P_TIME_MS = 0x40,
    LOG2_P_TID_NAME = 0x80,
};

/// log2_ioctl codes.
enum : int {
    LOG2_IOC_LEVEL = 1,
    LOG2_IOC_FLAGS = 2,
    LOG2_IOC_LEVEL_NAME = 3,
    LOG2_IOC_FLAGS_TEXT = 4,
    LOG2_IOC_OUT_CB = 5,
    LOG2_IOC_ERR_CB = 6,
    LOG2_IOC_FILE = 20,
    LOG2_IOC_FILE_DIR = 21,
    LOG2_IOC_FILE_SIZE = 22,
    LOG2_IOC_BSV_URL = 23,
    LOG2_IOC_SYSLOG_URL = 24,
    LOG2_IOC_CONSOLE_ON = 40,  ///< console on/off (on by default; off for services and tests)
    LOG2_IOC_DBGVIEW_ON = 41,
    LOG2_IOC_FILE_ON = 42,
    LOG2_IOC_SYSLOG_ON = 43,
};

struct log2_ctx;

/// Output and error callbacks: (level, tag, line, length).
using log2_out_fn = void (*)(int level, const char *tag, const char *line, int len);

/// Threshold of the process-wide context, read without a lock by LOG2 so that a filtered
/// call costs one load and one compare.
extern std::atomic<int> g_log2_threshold;

inline bool log2_enabled(int level) {
    return (level & 0xff) <= g_log2_threshold.load(std::memory_order_relaxed);
}

/// Logs one message. ctx null selects the process-wide context (created on first use).
/// Returns the length of the text line, 0 when filtered. Never changes errno. A crit
/// message without LOG2_F_NOEXIT ends the process with status 1 after all sinks ran
/// (at once: no exit handlers or static destructors run while other threads may log).
/// Any thread may log; lines never interleave within a sink. Blocks while another thread
/// writes its line (a syslog connect waits at most about 2 s).
[[gnu::format(printf, 7, 8)]] int log2_printf(log2_ctx *ctx, int level, const char *tag,
                                              const char *file, int line, const char *func,
                                              const char *fmt, ...);
int log2_vprintf(log2_ctx *ctx, int level, const char *tag, const char *file, int line,
                 const char *func, const char *fmt, va_list ap);

/// The usual call: level test first, then the full call with the source position.
#define LOG2(level, tag, ...)                                                              \
    do {                                                                                   \
        if (log2_enabled(level))                                                           \
            log2_printf(nullptr, (level), (tag), __FILE__, __LINE__, __func__, __VA_ARGS__); \
    } while (0)

/// Settings. Integer codes (1, 2, 22, 40, 41, 42, 43), text codes (3, 4, 20, 21, 23, 24)
/// and callback codes (5, 6). Returns 0, or -1 ("Invalid command code\n" on standard error)
/// for a code of the wrong kind or an unknown one; a failing sink operation gives its
/// own negative result. Safe from any thread; callbacks must not log themselves (such
/// calls are dropped).
int log2_ioctl(log2_ctx *ctx, int code, long value);
int log2_ioctl(log2_ctx *ctx, int code, int value);  ///< as long (keeps a literal 0 unambiguous)
int log2_ioctl(log2_ctx *ctx, int code, const char *value);
int log2_ioctl(log2_ctx *ctx, int code, log2_out_fn fn);

/// Applies the "log" section of an INI file (type "ini_file") or INI text ("ini_str").
/// Returns 0, or -1 when the source does not load or the type is unknown (nothing changed).
int log2_init_imp(const char *type, const char *src);

/// Closes every sink, clears the hooks and the thread-name table and frees the context; a
/// second call does nothing. No other thread may log meanwhile; a later call starts a new
/// context with the defaults.
void log2_exit();

/// Debug channel for set-up messages: printed to standard error only when debug printing
/// is on (NVDBGLOG in the environment, or "debug" = "1" in the "log" section).
[[gnu::format(printf, 1, 2)]] void log2_dbg_printf(const char *fmt, ...);
void log2_set_debug(bool on);
bool log2_debug_on();

/// Messages that passed the level filter since the process started, by level (LOG2_CRIT to
/// LOG2_VERB; 0 for other values), binary-record-only ones included. Any thread, no lock.
uint64_t log2_line_count(int level);

/// Settings snapshot for the debug shell ("log_level=%s\n" ...).
std::string log2_settings_dump();
/// Copy of the recent-lines buffer.
std::string log2_recent_lines();

/// Hook of the binary record writer: every unfiltered event (level, tag, file, line,
/// function, message) reaches it, also under LOG2_F_BSV_ONLY, except the events tagged
/// "bsv" or "net" (the sinks' own messages, which would feed back into the writer).
/// Called on the logging thread without the context lock; null removes it.
using log2_bsv_fn = void (*)(int level, const char *tag, const char *file, int line,
                             const char *func, const char *msg, int len);
void log2_set_bsv_hook(log2_bsv_fn fn);

/// The binary sinks, provided by the capture-file layer above: a log file whose name ends
/// in ".pcap" opens through file_open (full name, append for mode "a"), the "bsvlog" URL
/// (code LOG2_IOC_BSV_URL) through udp_open. Each returns 0 or -1. Called without the
/// context lock; their own messages must use the tag "bsv". Null removes them.
struct log2_bsv_sinks {
    int (*file_open)(const char *path, bool append);
    void (*file_close)();
    int (*udp_open)(const char *url);
    void (*udp_close)();
};
void log2_set_bsv_sinks(const log2_bsv_sinks *sinks);
/// The log file's size cap (also applied to a capture file).
uint64_t log2_file_size_cap();

/// Redirect hook: when set, every log2_printf call hands its raw arguments to it, before
/// the level test, instead of any processing (LOG2 then lets every call through), and
/// returns 0. Null removes it.
using log2_redirect_fn = int (*)(log2_ctx *ctx, int level, const char *tag, const char *file,
                                 int line, const char *func, const char *fmt, va_list ap);
void log2_set_redirect_hook(log2_redirect_fn fn);

/// Runtime-variable records ("log.level", "log.dbgview") for the shell's variable table.
struct log2_var {
    const char *name;
    const char *range;
    const char *help;
    /// Sets the value; returns 0, or -1 with the reason in *msg.
    int (*set)(const char *value, std::string *msg);
    std::string (*get)();
};
extern const log2_var log2_vars[2];

/// The same two variables as records for the shell's dynamic-variable registry: "log.level"
/// (enumeration "verb|dbg|info|noti|warn|err|crit") and "log.dbgview" ("0|1"). The records
/// live for the process; their set and get are safe from any thread.
std::span<dvar> log2_dvars();

// ---------------------------------------------------------------------------------------
// Side log files (the login file and the like): append mode, own lock, size cap.

struct flog;
struct flog_opts {
    uint64_t size_cap;  ///< 0: no cap
    unsigned flags;     ///< FLOG_TIME: "%04d-%02d-%02d %02d:%02d:%02d " before each write
};
enum : unsigned { FLOG_TIME = 1 };

/// Opens path for appending; a missing file is created with mode 0600 whatever the umask
/// (also when it is made again after the file went away), an existing one keeps its mode.
/// Returns the handle (owned by the caller until flog_close) or null
/// ("fopen %s error: %s\n" at debug level). Handles may be shared by threads.
[[nodiscard]] flog *flog_open(const char *path, const flog_opts *opts);
/// Formats at most 4096 bytes and writes them. Returns the length or -1.
[[gnu::format(printf, 2, 3)]] int flog_printf(flog *f, const char *fmt, ...);
void flog_close(flog *f);
