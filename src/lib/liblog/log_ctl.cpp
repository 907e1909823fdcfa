// log_ctl.cpp - the settings of the log: log2_ioctl, the flags text, the "log" section of
// the INI file (log2_init_imp) and the settings snapshot for the debug shell.
#include "log.h"

#include "conf.h"
#include "log_internal.h"
#include "pal_url.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

// Words of the flags text and the bits they set; "time_ms" also clears LOG2_P_TIME.
struct flag_word {
    const char *word;
    unsigned set;
};
static const flag_word flag_words[] = {
    {"time", LOG2_P_TIME},
    {"time_ms", LOG2_P_TIME_MS},
    {"func", LOG2_P_FUNC},
    {"tid", LOG2_P_TID},
    {"tid_name", LOG2_P_TID_NAME},
    {"file", LOG2_P_FILE | LOG2_P_FILE_SHORT},
};

static unsigned flags_from_text(const char *text) {
    unsigned flags = LOG2_P_COLOUR;
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t bar = rest.find('|');
        std::string_view word = pal_trim(rest.substr(0, bar));
        rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
        if (word.empty())
            continue;
        if (word == "no_colour") {
            flags &= ~static_cast<unsigned>(LOG2_P_COLOUR);
            continue;
        }
        const flag_word *hit = nullptr;
        for (const flag_word &fw : flag_words)
            if (word == fw.word)
                hit = &fw;
        if (hit == nullptr) {
            std::fprintf(stderr, "Invalid tags: [%.*s]\n", static_cast<int>(word.size()),
                         word.data());
            continue;
        }
        if (hit->set == LOG2_P_TIME_MS)
            flags &= ~static_cast<unsigned>(LOG2_P_TIME);
        flags |= hit->set;
    }
    return flags;
}

static int invalid_code() {
    std::fputs("Invalid command code\n", stderr);
    return -1;
}

// ---------------------------------------------------------------------------------------
// log2_ioctl

int log2_ioctl(log2_ctx *ctx, int code, int value) {
    return log2_ioctl(ctx, code, static_cast<long>(value));
}

int log2_ioctl(log2_ctx *ctx, int code, long value) {
    log2_ctx *c = ctx ? ctx : log2_ctx_get();
    switch (code) {
    case LOG2_IOC_LEVEL:
        c->threshold.store(static_cast<int>(value));
        log2_threshold_sync(c);
        return 0;
    case LOG2_IOC_FLAGS:
        c->flags.store(static_cast<unsigned>(value));
        return 0;
    case LOG2_IOC_FILE_SIZE: {
        std::scoped_lock lock(c->mu);
        c->file.size_cap = value < 1024 ? 1024 : static_cast<uint64_t>(value);
        return 0;
    }
    case LOG2_IOC_CONSOLE_ON:
        c->on_console.store(value != 0);
        return 0;
    case LOG2_IOC_DBGVIEW_ON:  // no debugger output channel here: the byte is only kept
        c->on_dbgview.store(value != 0);
        return 0;
    case LOG2_IOC_FILE_ON:
        c->on_file.store(value != 0);
        return 0;
    case LOG2_IOC_SYSLOG_ON:
        c->on_syslog.store(value != 0);
        return 0;
    default:
        return invalid_code();
    }
}

int log2_ioctl(log2_ctx *ctx, int code, log2_out_fn fn) {
    log2_ctx *c = ctx ? ctx : log2_ctx_get();
    if (code != LOG2_IOC_OUT_CB && code != LOG2_IOC_ERR_CB)
        return invalid_code();
    std::scoped_lock lock(c->mu);
    (code == LOG2_IOC_OUT_CB ? c->out_cb : c->err_cb) = fn;
    return 0;
}

static int set_level_name(log2_ctx *c, const char *name) {
    int level = log2_level_parse(name);
    if (level < 0) {
        std::fprintf(stderr, "error: invalid level [%s]\n", name);
        return -1;
    }
    c->threshold.store(level);
    log2_threshold_sync(c);
    return 0;
}

static int set_file_dir(log2_ctx *c, const char *dir) {
    int rc = os_mkdirs(dir);
    if (rc < 0)
        log2_dbg_printf("os_mkdirs %s failed\n", dir);
    std::scoped_lock lock(c->mu);
    pal_strlcpy(c->file.dir, dir);
    return rc < 0 ? -1 : 0;
}

static bool is_pcap_name(const char *path) {
    std::string_view p(path);
    return p.size() >= 5 && p.substr(p.size() - 5) == ".pcap";
}

// The binary sinks live in the capture-file layer above this library; without them the
// settings are checked and refused.
static std::mutex g_bsv_mu;
static log2_bsv_sinks g_bsv_sinks{};
static std::string g_bsv_url;  // the stream's URL for the settings dump

void log2_set_bsv_sinks(const log2_bsv_sinks *sinks) {
    std::scoped_lock lock(g_bsv_mu);
    g_bsv_sinks = sinks != nullptr ? *sinks : log2_bsv_sinks{};
}

static log2_bsv_sinks bsv_sinks() {
    std::scoped_lock lock(g_bsv_mu);
    return g_bsv_sinks;
}

void log_bsv_close() {
    log2_bsv_sinks s = bsv_sinks();
    if (s.file_close != nullptr)
        s.file_close();
    if (s.udp_close != nullptr)
        s.udp_close();
    std::scoped_lock lock(g_bsv_mu);
    g_bsv_url.clear();
    g_bsv_sinks = {};
}

uint64_t log2_file_size_cap() {
    log2_ctx *c = log2_ctx_get();
    std::scoped_lock lock(c->mu);
    return c->file.size_cap;
}

static int open_bsv_url(const char *url) {
    char buf[URL_BUF_SIZE];
    url_t u{};
    if (url_parser(&u, buf, url) != 0) {
        LOG2(LOG2_DBG, "bsv", "url_parser%s failed\n", url);
        return -1;
    }
    log2_bsv_sinks s = bsv_sinks();
    if (s.udp_open == nullptr) {
        LOG2(LOG2_DBG, "bsv", "binary log stream [%s] is not available\n", url);
        return -1;
    }
    if (s.udp_open(url) != 0)
        return -1;
    std::scoped_lock lock(g_bsv_mu);
    g_bsv_url = url;
    return 0;
}

static int open_file(log2_ctx *c, const char *path) {
    log2_bsv_sinks s = bsv_sinks();
    if (!is_pcap_name(path)) {
        if (s.file_close != nullptr)
            s.file_close();
        std::scoped_lock lock(c->mu);
        return log_file_open(c, path);
    }
    if (s.file_open == nullptr) {
        LOG2(LOG2_DBG, "bsv", "binary capture file [%s] is not available\n", path);
        return -1;
    }
    char full[4096];
    bool append;
    {
        std::scoped_lock lock(c->mu);
        log_file_close(c);  // text lines no longer go to a file
        c->file.path[0] = '\0';
        if (!path_is_absolute(path) && c->file.dir[0] != '\0')
            pal_snprintf(full, "%s/%s", c->file.dir, path);
        else
            pal_strlcpy(full, path);
        append = std::strcmp(c->file.mode, "a") == 0;
    }
    if (s.file_open(full, append) != 0)
        return -1;
    std::scoped_lock lock(c->mu);
    pal_strlcpy(c->file.path, full);
    return 0;
}

int log2_ioctl(log2_ctx *ctx, int code, const char *value) {
    log2_ctx *c = ctx ? ctx : log2_ctx_get();
    if (value == nullptr)
        value = "";
    switch (code) {
    case LOG2_IOC_LEVEL_NAME:
        return set_level_name(c, value);
    case LOG2_IOC_FLAGS_TEXT:
        c->flags.store(flags_from_text(value));
        return 0;
    case LOG2_IOC_FILE:
        return open_file(c, value);
    case LOG2_IOC_FILE_DIR:
        return set_file_dir(c, value);
    case LOG2_IOC_BSV_URL:
        return open_bsv_url(value);
    case LOG2_IOC_SYSLOG_URL:
        return log_net_open(c, value);
    default:
        return invalid_code();
    }
}

// ---------------------------------------------------------------------------------------
// log2_init_imp

static void apply_file_size(log2_ctx *c, const char *value) {
    uint64_t size = size_str_to_u64(value);
    if (size < 2048) {
        LOG2(LOG2_WARN, "log", "log2_ioctl log.file_size=%d (must>=%d error)\n",
             pal_size_to_i32(size), 2048);
        return;
    }
    long cap = size > static_cast<uint64_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(size);
    log2_ioctl(c, LOG2_IOC_FILE_SIZE, cap);
}

static void key_debug(log2_ctx *, const char *value) {
    if (std::strcmp(value, "1") == 0)
        log2_set_debug(true);
}
static void key_level(log2_ctx *c, const char *value) {
    log2_ioctl(c, LOG2_IOC_LEVEL_NAME, value);
}
static void key_flags(log2_ctx *c, const char *value) {
    log2_ioctl(c, LOG2_IOC_FLAGS_TEXT, value);
}
static void key_syslog(log2_ctx *c, const char *value) {
    log2_ioctl(c, LOG2_IOC_SYSLOG_URL, value);
    log2_ioctl(c, LOG2_IOC_SYSLOG_ON, 1);
}
static void key_bsvlog(log2_ctx *c, const char *value) {
    log2_ioctl(c, LOG2_IOC_BSV_URL, value);
}
static void key_file_dir(log2_ctx *c, const char *value) {
    log2_ioctl(c, LOG2_IOC_FILE_DIR, value);
}
static void key_file_mode(log2_ctx *c, const char *value) {
    std::scoped_lock lock(c->mu);
    log_file_set_mode(c, value);
}
static void key_file(log2_ctx *c, const char *value) {
    log2_ioctl(c, LOG2_IOC_FILE, value);
    log2_ioctl(c, LOG2_IOC_FILE_ON, 1);
}
static void key_dbgview(log2_ctx *c, const char *value) {
    if (std::strcmp(value, "1") == 0)
        log2_ioctl(c, LOG2_IOC_DBGVIEW_ON, 1);
}

// The keys of the "log" section in the order they apply: the directory and the mode
// before the file.
struct init_key {
    const char *key;
    void (*apply)(log2_ctx *c, const char *value);
};
static const init_key init_keys[] = {
    {"debug", key_debug},       {"level", key_level},   {"flags", key_flags},
    {"syslog", key_syslog},     {"bsvlog", key_bsvlog}, {"file_dir", key_file_dir},
    {"file_mode", key_file_mode}, {"file", key_file},   {"file_size", apply_file_size},
    {"dbgview", key_dbgview},
};

static conf_handle *load_conf(const char *type, const char *src) {
    std::string_view t(type ? type : "");
    conf_handle *h = nullptr;
    if (t == "ini_file") {
        h = conf_load(src);
        if (h == nullptr)
            log2_dbg_printf("conf_load [%s] failed\n", src);
    } else if (t == "ini_str") {
        h = conf_load_str(src);
        if (h == nullptr)
            log2_dbg_printf("conf_load_str [%s] failed\n", src);
    } else {
        log2_dbg_printf("type [%s] error\n", type ? type : "");
    }
    return h;
}

int log2_init_imp(const char *type, const char *src) {
    if (std::getenv("NVDBGLOG") != nullptr)
        log2_set_debug(true);
    log2_ctx *c = log2_ctx_get();
    if (src == nullptr)
        src = "";
    log2_dbg_printf("conf=[%s]\n", src);
    conf_handle *h = load_conf(type, src);
    if (h == nullptr)
        return -1;
    for (const init_key &k : init_keys) {
        const char *value = conf_get_string(h, "log", k.key, "");
        if (value == nullptr || value[0] == '\0')
            continue;
        k.apply(c, value);  // first, so that "debug" = "1" echoes itself
        log2_dbg_printf("log.%s=%s\n", k.key, value);
    }
    conf_free(h);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Settings snapshot

std::string log2_settings_dump() {
    log2_ctx *c = log2_ctx_get();
    std::scoped_lock lock(c->mu);
    int level = c->threshold.load();
    std::string level_text = log2_level_parse(log2_level_name(level)) == level
                                 ? log2_level_name(level)
                                 : pal_format("%d", level);
    std::string out = pal_format("log_level=%s\n", level_text.c_str());
    out += pal_format("log_shell_enale_out=%d\n", c->on_console.load());
    out += pal_format("log_dbgview_enale_out=%d\n", c->on_dbgview.load());
    out += pal_format("log_file_enale_out=%d\n", c->on_file.load());
    out += pal_format("log_file_name=%s\n", c->file.path);
    out += pal_format("log_file_max_size=%d\n", pal_size_to_i32(c->file.size_cap));
    out += pal_format("log_syslog_enale_out=%d\n", c->on_syslog.load());
    out += pal_format("log_syslog_url=%s\n", c->syslog.url);
    std::string bsv_url;
    {
        std::scoped_lock bsv_lock(g_bsv_mu);
        bsv_url = g_bsv_url;
    }
    out += pal_format("log_bsvlog_url=%s\n", bsv_url.c_str());
    return out;
}
