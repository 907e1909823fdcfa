// sh_exec.cpp - running lines: the split at ';', alias expansion, assignments, argument
// splitting and dispatch through the built-in table. The last line run is process-wide
// and sits behind a lock, since every session runs on its own thread.
#include "sh_internal.h"

#include "log.h"
#include "pal.h"

#include <cstring>
#include <mutex>

static constexpr size_t SH_LINE_MAX = 4096;  // line buffer, terminator included
static constexpr size_t SH_NAME_MAX = 255;

static std::mutex g_last_mu;
static std::string g_last_cmd;

std::string libsh_last_cmd() {
    std::scoped_lock lock(g_last_mu);
    return g_last_cmd;
}

static void last_cmd_set(std::string_view line) {
    std::scoped_lock lock(g_last_mu);
    g_last_cmd.assign(line.substr(0, SH_LINE_MAX - 1));
}

// ---------------------------------------------------------------------------------------
// Output operations.

int libsh_printf(dbgsh_srv_ctx *ctx, const char *fmt, ...) {
    if (ctx == nullptr || ctx->printf == nullptr)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int rc = ctx->printf(ctx->out, fmt, ap);
    va_end(ap);
    return rc;
}

int libsh_write(dbgsh_srv_ctx *ctx, std::string_view text) {
    if (ctx == nullptr || ctx->write == nullptr)
        return 0;
    return ctx->write(ctx->out, text.data(), text.size());
}

int libsh_flush(dbgsh_srv_ctx *ctx) {
    if (ctx == nullptr || ctx->flush == nullptr)
        return 0;
    return ctx->flush(ctx->out);
}

static int mem_printf(void *out, const char *fmt, va_list ap) {
    char buf[8192];
    int n = pal_vsnprintf(buf, fmt, ap);
    static_cast<std::string *>(out)->append(buf, static_cast<size_t>(n));
    return n;
}

static int mem_write(void *out, const char *data, size_t len) {
    static_cast<std::string *>(out)->append(data, len);
    return static_cast<int>(len);
}

static int mem_flush(void *out) {
    static_cast<std::string *>(out)->push_back('\0');
    return 0;
}

void libsh_mem_ctx_init(libsh_mem_ctx *m) {
    m->text.clear();
    m->ctx.mode = SH_MODE_MEM;
    m->ctx.exit_flag.store(0);
    m->ctx.out = &m->text;
    m->ctx.printf = mem_printf;
    m->ctx.write = mem_write;
    m->ctx.flush = mem_flush;
    m->ctx.opt = sh_getopt_state{};
}

// ---------------------------------------------------------------------------------------
// Splitting.

int str_split_esape(std::string_view line, const char *seps, std::vector<std::string> *out) {
    out->clear();
    size_t quotes = 0;
    for (char c : line)
        quotes += c == '"' || c == '\'';
    if (quotes % 2 != 0) {
        LOG2(LOG2_ERR, SH_TAG, "syntax error\n");
        return -1;
    }
    std::string piece;
    bool inside = false;
    auto done = [&] {
        if (!piece.empty())
            out->push_back(std::move(piece));
        piece.clear();
    };
    for (char c : line) {
        if (c == '"' || c == '\'')
            inside = !inside;
        if (!inside && std::strchr(seps, c) != nullptr && c != '\0') {
            done();
            continue;
        }
        piece.push_back(c);
    }
    done();
    return static_cast<int>(out->size());
}

static bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

/// The program name: up to a blank outside quotes; quotes toggle and are removed.
static size_t split_first(std::string_view s, std::string *arg) {
    bool quoted = false;
    size_t i = 0;
    for (; i < s.size(); i++) {
        if (s[i] == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && is_blank(s[i]))
            break;
        arg->push_back(s[i]);
    }
    return i;
}

/// One later argument from s[i]; returns the index after it.
static size_t split_one(std::string_view s, size_t i, std::string *arg) {
    bool quoted = false;
    while (i < s.size() && (quoted || !is_blank(s[i]))) {
        size_t slashes = 0;
        while (i < s.size() && s[i] == '\\') {
            slashes++;
            i++;
        }
        if (i < s.size() && s[i] == '"') {
            arg->append(slashes / 2, '\\');
            if (slashes % 2 == 1) {
                arg->push_back('"');  // an escaped quote is literal
                i++;
                continue;
            }
            if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
                arg->push_back('"');  // "" inside quotes: one literal quote
                i += 2;
                continue;
            }
            quoted = !quoted;
            i++;
            continue;
        }
        arg->append(slashes, '\\');
        if (slashes == 0 && i < s.size() && (quoted || !is_blank(s[i])))
            arg->push_back(s[i++]);
    }
    return i;
}

std::vector<std::string> libsh_split_args(std::string_view cmd) {
    std::vector<std::string> args;
    size_t i = 0;
    while (i < cmd.size() && is_blank(cmd[i]))
        i++;
    if (i >= cmd.size())
        return args;
    args.emplace_back();
    i += split_first(cmd.substr(i), &args.back());
    for (;;) {
        while (i < cmd.size() && is_blank(cmd[i]))
            i++;
        if (i >= cmd.size())
            break;
        args.emplace_back();
        i = split_one(cmd, i, &args.back());
    }
    return args;
}

// ---------------------------------------------------------------------------------------
// Commands.

/// The command with its first word replaced by that word's alias, expanded once.
static std::string alias_expand(std::string_view cmd) {
    size_t blank = cmd.find_first_of(" \t");
    std::string_view first = cmd.substr(0, blank);
    if (first.size() > SH_NAME_MAX)
        return std::string(cmd);
    std::string value;
    if (!libsh_alias_get(std::string(first).c_str(), &value) || value.empty())
        return std::string(cmd);
    if (blank != std::string_view::npos)
        value.append(cmd.substr(blank));
    if (value.size() > SH_LINE_MAX - 1)
        value.resize(SH_LINE_MAX - 1);
    return value;
}

/// NAME=VALUE as a whole command sets a shell variable. True when cmd had that form.
static bool try_assign(std::string_view cmd) {
    size_t eq = cmd.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq >= SH_NAME_MAX)
        return false;
    std::string_view name = cmd.substr(0, eq), value = cmd.substr(eq + 1);
    if (name.find_first_of(" \t") != std::string_view::npos)
        return false;
    if (value.empty() || value.size() >= SH_NAME_MAX || value.find('=') != std::string_view::npos)
        return false;
    libsh_env_set(name, value);
    return true;
}

static const libsh_cmd *cmd_find(const char *name) {
    for (const libsh_cmd &c : libsh_cmds()) {
        if (std::strcmp(c.name, name) == 0)
            return &c;
    }
    return nullptr;
}

/// Runs one command that is neither a comment nor an assignment.
static int run_one(dbgsh_srv_ctx *ctx, const std::string &cmd) {
    std::vector<std::string> args = libsh_split_args(cmd);
    if (args.empty())
        return 0;
    LOG2(LOG2_DBG, SH_TAG, "cmd=[%s] func=[%s]\n", cmd.c_str(), args[0].c_str());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc;
    if (const libsh_cmd *c = cmd_find(argv[0])) {
        ctx->opt = sh_getopt_state{};
        rc = c->func(ctx, static_cast<int>(args.size()), argv.data());
    } else {
        libsh_printf(ctx, "command not found: [%s]\n", argv[0]);
        libsh_printf(ctx, "Type `help` to learn how to use prompt\n");
        last_cmd_set("");
        rc = -12;
    }
    libsh_flush(ctx);
    return rc;
}

int exec_commands(dbgsh_srv_ctx *ctx, const std::vector<std::string> &cmds) {
    int rc = 0;
    for (const std::string &raw : cmds) {
        std::string_view cmd = pal_trim(raw);
        if (cmd.empty() || cmd[0] == '#')
            continue;
        std::string expanded = alias_expand(cmd);
        if (try_assign(expanded))
            continue;
        rc = run_one(ctx, expanded);
        if (rc < 0)
            return rc;
    }
    return rc;
}

int libsh_exec_line(dbgsh_srv_ctx *ctx, const char *line) {
    PAL_ASSERT_RET(ctx != nullptr, -1);
    std::string_view raw = line ? line : "";
    raw = raw.substr(0, std::min(raw.size(), SH_LINE_MAX - 1));
    std::string text(pal_trim(raw));
    if (text.empty()) {
        text = libsh_last_cmd();
        if (text.empty()) {
            libsh_flush(ctx);
            return 0;
        }
    }
    std::vector<std::string> cmds;
    if (str_split_esape(text, ";", &cmds) < 0) {
        last_cmd_set("");
        return -1;
    }
    last_cmd_set(text);
    return exec_commands(ctx, cmds);
}

// ---------------------------------------------------------------------------------------
// Texts.

std::string libsh_time_span(double seconds) {
    std::string out;
    if (seconds < 0)
        seconds = 0;
    auto unit = [&out](long n, const char *name, bool space) {
        out += pal_format("%ld %s%s%s", n, name, n >= 2 ? "s" : "", space ? " " : "");
    };
    long days = static_cast<long>(seconds / 86400);
    if (days >= 1) {
        unit(days, "day", true);
        seconds -= static_cast<double>(days) * 86400;
    }
    long hours = static_cast<long>(seconds / 3600);
    if (hours >= 1) {
        unit(hours, "hour", true);
        seconds -= static_cast<double>(hours) * 3600;
    }
    long minutes = static_cast<long>(seconds / 60);
    if (minutes >= 1) {
        unit(minutes, "minute", false);
        return out;
    }
    out += pal_format("%0.3f second%s", seconds, seconds > 1.0 ? "s" : "");
    return out;
}

std::string libsh_quote(std::string_view value) {
    if (value.empty())
        return "''";
    if (value.find_first_of(" \t;") != std::string_view::npos && value[0] != '\'')
        return "'" + std::string(value) + "'";
    return std::string(value);
}
