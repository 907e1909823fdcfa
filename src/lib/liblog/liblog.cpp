// liblog.cpp - the log call: level test, line building on the caller's stack, and the
// dispatch of each line under the context lock to the console, callbacks, file, syslog and
// recent-lines sinks. Also the context's life, the hooks and the debug channel.
#include "log.h"

#include "log_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::atomic<int> g_log2_threshold{7};

static std::atomic<log2_ctx *> g_ctx{nullptr};
static std::mutex g_ctx_mu;  // creation and exit of the context
static std::atomic<log2_bsv_fn> g_bsv_hook{nullptr};
static std::atomic<log2_redirect_fn> g_redirect{nullptr};
static std::atomic<bool> g_debug{false};
// Messages that passed the level filter, by level from crit to verb.
static std::atomic<uint64_t> g_line_counts[LOG2_VERB - LOG2_CRIT + 1];
// Set while this thread runs the sinks: a callback that logs must not take the lock again.
static thread_local bool tl_in_dispatch = false;

static int pal_hook(int level, const char *tag, const char *file, int line, const char *func,
                    const char *fmt, va_list ap) {
    return log2_vprintf(nullptr, level, tag, file, line, func, fmt, ap);
}

// libpal and libconf log through the platform hook; install it as soon as this file is
// part of the program, and again whenever a context is made.
[[maybe_unused]] static const bool pal_hook_installed = (pal_set_log_hook(pal_hook), true);

// ---------------------------------------------------------------------------------------
// Levels.

struct level_row {
    const char *name;
    const char *label;
    const char *syslog;
    const char *colour;  // ANSI sequence, null for none
};

static const level_row level_rows[] = {
    {"crit", "CRIT", "crit", "\033[91m"},      // bright red
    {"err", "ERROR", "error", "\033[31m"},     // red
    {"warn", "WARN", "warn", "\033[93m"},      // yellow
    {"noti", "NOTI", "notice", "\033[97m"},    // bright white
    {"info", "INFO", "info", nullptr},
    {"dbg", "DEBUG", "debug", "\033[36m"},     // cyan
    {"verb", "VERB", "debug", "\033[32m"},     // green
};

static const level_row &level_of(int level) {
    int lv = level & 0xff;
    if (lv < LOG2_CRIT)
        lv = LOG2_CRIT;
    if (lv > LOG2_VERB)
        lv = LOG2_VERB;
    return level_rows[lv - LOG2_CRIT];
}

const char *log2_level_name(int level) { return level_of(level).name; }

uint64_t log2_line_count(int level) {
    if (level < LOG2_CRIT || level > LOG2_VERB)
        return 0;
    return g_line_counts[level - LOG2_CRIT].load(std::memory_order_relaxed);
}
const char *log2_level_label(int level) { return level_of(level).label; }
const char *log2_level_syslog(int level) { return level_of(level).syslog; }

int log2_level_parse(const char *name) {
    if (name == nullptr)
        return -1;
    for (int i = 0; i < static_cast<int>(std::size(level_rows)); i++)
        if (std::strcmp(level_rows[i].name, name) == 0)
            return LOG2_CRIT + i;
    return -1;
}

// ---------------------------------------------------------------------------------------
// Context and hooks.

static bool env_debug() {
    return std::getenv("NVDBGLOG") != nullptr;
}

log2_ctx *log2_ctx_get() {
    log2_ctx *c = g_ctx.load(std::memory_order_acquire);
    if (c != nullptr)
        return c;
    std::scoped_lock lock(g_ctx_mu);
    c = g_ctx.load(std::memory_order_relaxed);
    if (c != nullptr)
        return c;
    c = new log2_ctx;
    c->console_tty = os_stderr_is_terminal();
    c->pid = os_getpid();
    pal_strlcpy(c->file.mode, "w");
    c->file.size_cap = 2097152;
    c->syslog.fd = -1;
    if (env_debug())
        g_debug.store(true);
    g_ctx.store(c, std::memory_order_release);
    pal_set_log_hook(pal_hook);
    log2_threshold_sync(c);
    return c;
}

uint64_t log2_self_tid() {
    thread_local uint64_t tid = os_thread_id();
    return tid;
}

void log2_threshold_sync(log2_ctx *c) {
    if (g_redirect.load() != nullptr) {
        g_log2_threshold.store(0xff);
        return;
    }
    if (c == nullptr || c == g_ctx.load())
        g_log2_threshold.store(c ? c->threshold.load() : 7);
}

void log2_set_bsv_hook(log2_bsv_fn fn) {
    g_bsv_hook.store(fn);
}

void log2_set_redirect_hook(log2_redirect_fn fn) {
    g_redirect.store(fn);
    log2_threshold_sync(g_ctx.load());
}

void log2_exit() {
    std::scoped_lock lock(g_ctx_mu);
    log2_ctx *c = g_ctx.exchange(nullptr);
    if (c == nullptr)
        return;
    g_bsv_hook.store(nullptr);
    g_redirect.store(nullptr);
    pal_set_log_hook(nullptr);
    log_bsv_close();
    {
        std::scoped_lock ctx_lock(c->mu);
        log_net_close(c);
        log_file_close(c);
    }
    os_thread_names_free();
    delete c;
    g_log2_threshold.store(7);
}

// ---------------------------------------------------------------------------------------
// Debug channel.

void log2_set_debug(bool on) {
    g_debug.store(on);
}

bool log2_debug_on() {
    return g_debug.load();
}

void log2_dbg_printf(const char *fmt, ...) {
    if (!g_debug.load())
        return;
    int saved = errno;
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    pal_vsnprintf(text, fmt, ap);
    va_end(ap);
    std::fputs(text, stderr);
    errno = saved;
}

// ---------------------------------------------------------------------------------------
// Sinks that live in this file. Each checks its own enable state; all run under the lock.

static void sink_callbacks(log2_ctx *c, const log2_line *l) {
    // Severe lines (up to warn) go to the error callback, the rest to the output callback;
    // a callback that is not set simply gets nothing.
    log2_out_fn fn = (l->level & 0xff) <= LOG2_WARN ? c->err_cb : c->out_cb;
    if (fn != nullptr)
        fn(l->level & 0xff, l->tag, l->a, static_cast<int>(l->a_len));
}

static void sink_console(log2_ctx *c, const log2_line *l) {
    if (!c->on_console.load())
        return;
    const char *colour = level_of(l->level).colour;
    if (colour == nullptr || !c->console_tty || !(c->flags.load() & LOG2_P_COLOUR)) {
        std::fwrite(l->a, 1, l->a_len, stderr);
        std::fflush(stderr);
        return;
    }
    // The reset goes before the line feed so that the next line starts uncoloured.
    std::fputs(colour, stderr);
    std::fwrite(l->a, 1, l->a_len - 1, stderr);
    std::fputs("\033[0m\n", stderr);
    std::fflush(stderr);
}

static void sink_recent(log2_ctx *c, const log2_line *l) {
    size_t need = l->a_len;
    if (c->recent_used + need > sizeof c->recent) {
        // Drop whole lines from the front until the dropped part is as long as the new line.
        size_t drop = 0;
        while (drop < need) {
            const void *lf = std::memchr(c->recent + drop, '\n', c->recent_used - drop);
            if (lf == nullptr)
                return;  // no line boundary far enough: the new line is not kept
            drop = static_cast<size_t>(static_cast<const char *>(lf) - c->recent) + 1;
        }
        std::memmove(c->recent, c->recent + drop, c->recent_used - drop);
        c->recent_used -= drop;
    }
    std::memcpy(c->recent + c->recent_used, l->a, need);
    c->recent_used += need;
}

struct log2_sink_ops {
    const char *name;
    void (*write)(log2_ctx *c, const log2_line *l);
};

static const log2_sink_ops log2_sinks[] = {
    {.name = "callback", .write = sink_callbacks},
    {.name = "console", .write = sink_console},
    {.name = "file", .write = log_file_write},
    {.name = "syslog", .write = log_net_write},
    {.name = "recent", .write = sink_recent},
};

static void dispatch(log2_ctx *c, const log2_line *l) {
    std::scoped_lock lock(c->mu);
    if ((l->level & 0xff) > c->threshold.load())
        return;
    tl_in_dispatch = true;
    for (const log2_sink_ops &sink : log2_sinks)
        sink.write(c, l);
    tl_in_dispatch = false;
}

std::string log2_recent_lines() {
    log2_ctx *c = log2_ctx_get();
    std::scoped_lock lock(c->mu);
    return std::string(c->recent, c->recent_used);
}

// ---------------------------------------------------------------------------------------
// The log call.

namespace {
// Logging never disturbs the caller's error number (sockets report through it too).
class errno_keeper {
public:
    errno_keeper() : saved_(errno) {}
    ~errno_keeper() { errno = saved_; }
    int saved() const { return saved_; }

private:
    int saved_;
};
}  // namespace

// Appends printf output to buf[*len..cap); *len stays below cap.
[[gnu::format(printf, 4, 5)]] static void put(char *buf, size_t cap, size_t *len,
                                               const char *fmt, ...) {
    if (*len + 1 >= cap)
        return;
    va_list ap;
    va_start(ap, fmt);
    *len += static_cast<size_t>(pal_vsnprintf({buf + *len, cap - *len}, fmt, ap));
    va_end(ap);
}

static void put_text(char *buf, size_t cap, size_t *len, const char *text, size_t n) {
    if (*len + 1 >= cap)
        return;
    size_t room = cap - 1 - *len;
    if (n > room)
        n = room;
    std::memcpy(buf + *len, text, n);
    *len += n;
    buf[*len] = '\0';
}

// The line ends in exactly one line feed; a full buffer gives up its last byte for it.
static void end_line(char *buf, size_t cap, size_t *len) {
    if (*len > 0 && buf[*len - 1] == '\n')
        return;
    if (*len + 1 >= cap)
        *len = cap - 2;
    buf[(*len)++] = '\n';
    buf[*len] = '\0';
}

static const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

struct line_bufs {
    char a[LOG2_LINE_MAX];
    char b[LOG2_LINE_MAX];
    char msg[LOG2_LINE_MAX];
    size_t a_len = 0, b_len = 0, msg_len = 0;
    size_t time_len = 0;
    bool has_b = false;
};

// The console prefix: time, thread id, thread name, source position, function.
static void build_prefix(line_bufs *lb, unsigned flags, const pal_tm &tm, const char *thread,
                         const char *file, int line, const char *func) {
    if (flags & LOG2_P_TIME)
        put(lb->a, sizeof lb->a, &lb->a_len, "%02d:%02d:%02d ", tm.hour, tm.min, tm.sec);
    else if (flags & LOG2_P_TIME_MS)
        put(lb->a, sizeof lb->a, &lb->a_len, "%02d:%02d:%02d.%03d ", tm.hour, tm.min, tm.sec,
            tm.usec / 1000);
    lb->time_len = lb->a_len;
    if (flags & LOG2_P_TID)
        put(lb->a, sizeof lb->a, &lb->a_len, "[%u]", static_cast<unsigned>(log2_self_tid()));
    if (flags & LOG2_P_TID_NAME)
        put(lb->a, sizeof lb->a, &lb->a_len, "[%s]", thread);
    if ((flags & LOG2_P_FILE) && file != nullptr)
        put(lb->a, sizeof lb->a, &lb->a_len, "[%s:%d]",
            (flags & LOG2_P_FILE_SHORT) ? base_name(file) : file, line);
    if ((flags & LOG2_P_FUNC) && func != nullptr && func[0] != '\0') {
        put(lb->a, sizeof lb->a, &lb->a_len, "%s():", func);
        put(lb->b, sizeof lb->b, &lb->b_len, "%s():", func);
        lb->has_b = true;
    }
}

static void build_lines(line_bufs *lb, int level, int saved_errno, const char *fmt,
                        va_list ap) {
    lb->msg_len = static_cast<size_t>(pal_vsnprintf(lb->msg, fmt, ap));
    if (level & LOG2_F_OSERR) {
        char err[256];
        put(lb->msg, sizeof lb->msg, &lb->msg_len, "%s\n", pal_os_strerror(saved_errno, err));
    }
    put_text(lb->a, sizeof lb->a, &lb->a_len, lb->msg, lb->msg_len);
    if (lb->has_b)
        put_text(lb->b, sizeof lb->b, &lb->b_len, lb->msg, lb->msg_len);
}

static void end_if_crit(int level) {
    if ((level & 0xff) != LOG2_CRIT || (level & LOG2_F_NOEXIT))
        return;
    // Other threads may still run: leave without static destructors or exit handlers.
    std::fflush(nullptr);
    std::_Exit(1);
}

int log2_vprintf(log2_ctx *ctx, int level, const char *tag, const char *file, int line,
                 const char *func, const char *fmt, va_list ap) {
    errno_keeper keep;
    log2_ctx *c = ctx ? ctx : log2_ctx_get();
    if (log2_redirect_fn hook = g_redirect.load(); hook != nullptr) {
        hook(ctx, level, tag, file, line, func, fmt, ap);
        return 0;
    }
    if ((level & 0xff) > c->threshold.load(std::memory_order_relaxed) || tl_in_dispatch)
        return 0;
    g_line_counts[&level_of(level) - level_rows].fetch_add(1, std::memory_order_relaxed);
    if (tag == nullptr || tag[0] == '\0')
        tag = "tag";
    unsigned flags = c->flags.load(std::memory_order_relaxed);
    pal_tm tm{};
    os_localtime(&tm);
    // The thread-name table has its own lock, taken here before the context lock.
    char thread[LOG2_THREAD_NAME_MAX] = "";
    if ((flags & LOG2_P_TID_NAME) || c->on_file.load(std::memory_order_relaxed))
        os_thread_name_get(log2_self_tid(), thread);
    line_bufs lb;
    lb.a[0] = lb.b[0] = '\0';
    build_prefix(&lb, flags, tm, thread, file, line, func);
    build_lines(&lb, level, keep.saved(), fmt, ap);
    log2_bsv_fn bsv = g_bsv_hook.load();
    if (bsv != nullptr && std::strcmp(tag, "bsv") != 0 && std::strcmp(tag, "net") != 0)
        bsv(level, tag, file, line, func, lb.msg, static_cast<int>(lb.msg_len));
    if (!(level & LOG2_F_BSV_ONLY)) {
        end_line(lb.a, sizeof lb.a, &lb.a_len);
        if (lb.has_b)
            end_line(lb.b, sizeof lb.b, &lb.b_len);
        log2_line l{.level = level, .tag = tag, .a = lb.a, .a_len = lb.a_len,
                    .b = lb.has_b ? lb.b : lb.a, .b_len = lb.has_b ? lb.b_len : lb.a_len,
                    .time_len = lb.time_len, .thread = thread, .tm = &tm};
        dispatch(c, &l);
    }
    end_if_crit(level);
    return static_cast<int>(lb.a_len);
}

int log2_printf(log2_ctx *ctx, int level, const char *tag, const char *file, int line,
                const char *func, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = log2_vprintf(ctx, level, tag, file, line, func, fmt, ap);
    va_end(ap);
    return n;
}
