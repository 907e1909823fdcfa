// sh_cmd_env.cpp - the built-ins that work on the shell's own state and texts: pwd, alias,
// unalias, unset, echo and source. `source` nests at most SH_SOURCE_DEPTH files deep, so a
// file that sources itself ends with a message instead of exhausting the stack.
#include "sh_internal.h"

#include "pal.h"
#include "pal_proc.h"

#include <cstring>

static constexpr int SH_SOURCE_DEPTH = 16;
static constexpr size_t SH_SOURCE_LINE = 4095;

int sh_cmd_pwd(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (sh_opt_usage(ctx, argc, argv, "h", "pwd\n%s\n\t-h Display this help\n",
                     sh_cmd_help("pwd")))
        return 0;
    char dir[4096];
    if (os_getcwd(dir) < 0) {
        libsh_printf(ctx, "os_getcwd err: [%s]\n", sh_errno_text().c_str());
        return -1;
    }
    libsh_printf(ctx, "%s\n", dir);
    return 0;
}

/// One argument of alias: NAME=VALUE defines, NAME prints. Returns 1 for a missing alias.
static int alias_one(dbgsh_srv_ctx *ctx, const char *arg) {
    const char *eq = arg[0] != '\0' ? std::strchr(arg + 1, '=') : nullptr;
    if (eq != nullptr) {
        std::string name(arg, static_cast<size_t>(eq - arg));
        (void)libsh_alias_set(name.c_str(), eq + 1);
        return 0;
    }
    std::string value;
    if (!libsh_alias_get(arg, &value)) {
        libsh_printf(ctx, "%s not found\n", arg);
        return 1;
    }
    libsh_printf(ctx, "%s=%s\n", arg, value.c_str());
    return 0;
}

int sh_cmd_alias(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (sh_opt_usage(ctx, argc, argv, "h", nullptr, nullptr))
        return 0;
    if (argc < 2) {
        for (const std::string &a : libsh_alias_list())
            libsh_printf(ctx, "%s\n", a.c_str());
        return 0;
    }
    int rc = 0;
    for (int i = 1; i < argc; i++)
        rc |= alias_one(ctx, argv[i]);
    return rc;
}

int sh_cmd_unalias(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    bool all = false, help = false;
    int c;
    while ((c = sh_getopt(ctx, argc, argv, "ah")) != -1) {
        all |= c == 'a';
        help |= c == 'h';
    }
    if (help)
        return 0;
    if (all) {
        sh_alias_clear();
        return 0;
    }
    int rc = 0;
    for (int i = ctx->opt.ind; i < argc; i++) {
        if (!sh_alias_remove(argv[i])) {
            libsh_printf(ctx, "%s not found\n", argv[i]);
            rc = 1;
        }
    }
    return rc;
}

int sh_cmd_unset(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (sh_opt_usage(ctx, argc, argv, "h", "unset [var ...]\n%s\n\t-h Display this help\n",
                     sh_cmd_help("unset")))
        return 0;
    if (ctx->opt.ind >= argc) {
        libsh_printf(ctx, "unsetenv: Too few arguments\n");
        return -1;
    }
    for (int i = ctx->opt.ind; i < argc; i++)
        (void)sh_env_unset(argv[i]);
    return 0;
}

// ---------------------------------------------------------------------------------------
// echo

/// A backslash escape at s[i] (s[i] is the character after the backslash). Appends its
/// bytes to out and returns how many characters of s it used; *stop is set by \c.
static size_t echo_escape(std::string_view s, size_t i, std::string *out, bool *stop) {
    static const char from[] = "abfnrtv\\", to[] = "\a\b\f\n\r\t\v\\";
    char c = s[i];
    if (c == 'c') {
        *stop = true;
        return 1;
    }
    if (c >= '0' && c <= '7') {
        size_t n = 0;
        int value = 0;
        while (n < 3 && i + n < s.size() && s[i + n] >= '0' && s[i + n] <= '7')
            value = value * 8 + (s[i + n++] - '0');
        if (value > 255) {  // three digits above \377: only the first two count
            value /= 8;
            n = 2;
        }
        out->push_back(static_cast<char>(value));
        return n;
    }
    if (const char *p = c != '\0' ? std::strchr(from, c) : nullptr) {
        out->push_back(to[p - from]);
        return 1;
    }
    out->push_back('\\');  // unknown escape: the backslash stays, the character follows
    return 0;
}

static std::string echo_text(std::string_view s, bool *stop) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out.push_back(s[i]);
            continue;
        }
        i += echo_escape(s, i + 1, &out, stop);
    }
    return out;
}

/// True when arg is an echo option word: '-' and only the letters n, e and E.
static bool echo_option(const char *arg) {
    return arg[0] == '-' && arg[1] != '\0' && std::strspn(arg + 1, "neE") == std::strlen(arg + 1);
}

int sh_cmd_echo(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    bool newline = true, escapes = false;
    int i = 1;
    for (; i < argc; i++) {
        if (std::strcmp(argv[i], "-h") == 0) {
            sh_usage(ctx, "echo [opt] [string|var]...\n%s\n\t-h Display this help\n",
                     sh_cmd_help("echo"));
            return 0;
        }
        if (!echo_option(argv[i]))
            break;
        for (const char *p = argv[i] + 1; *p; p++) {
            newline = newline && *p != 'n';
            escapes = *p == 'e' ? true : *p == 'E' ? false : escapes;
        }
    }
    std::string out;
    bool stop = false;
    for (int k = i; k < argc; k++) {
        if (k > i)
            out.push_back(' ');
        out += escapes ? echo_text(argv[k], &stop) : std::string(argv[k]);
    }
    if (newline && !stop)
        out.push_back('\n');
    libsh_write(ctx, out);
    return 0;
}

// ---------------------------------------------------------------------------------------
// source

static thread_local int tl_source_depth = 0;

/// Runs every line of the open file fd. Lines longer than SH_SOURCE_LINE are cut; blank
/// lines are skipped (in a file they do not repeat the last command).
static void source_lines(dbgsh_srv_ctx *ctx, int fd) {
    std::string line;
    bool cut = false;
    char buf[65536];
    int64_t offset = 0, n;
    auto run = [&] {
        if (!pal_trim(line).empty() && !ctx->exit_flag.load())
            (void)libsh_exec_line(ctx, line.c_str());
        line.clear();
        cut = false;
    };
    while ((n = os_file_pread(fd, buf, sizeof buf, offset)) > 0) {
        offset += n;
        for (int64_t k = 0; k < n; k++) {
            if (buf[k] == '\n') {
                run();
            } else if (line.size() < SH_SOURCE_LINE && !cut) {
                line.push_back(buf[k]);
            } else {
                cut = true;
            }
        }
    }
    run();
}

int sh_cmd_source(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (sh_opt_usage(ctx, argc, argv, "h", "source [opt] [file]...\n%s\n-h: Display this help\n",
                     sh_cmd_help("source")))
        return 0;
    if (ctx->opt.ind >= argc) {
        sh_usage(ctx, "source [opt] [file]...\n%s\n-h: Display this help\n",
                 sh_cmd_help("source"));
        return 1;
    }
    if (tl_source_depth >= SH_SOURCE_DEPTH) {
        libsh_printf(ctx, "source: files nested deeper than %d, [%s] not read\n",
                     SH_SOURCE_DEPTH, argv[ctx->opt.ind]);
        return -1;
    }
    for (int i = ctx->opt.ind; i < argc; i++) {
        std::string why;
        int fd = sh_source_open(argv[i], &why);
        if (fd < 0) {
            libsh_printf(ctx, "open:[%s] error:%s\n", argv[i], why.c_str());
            return -1;
        }
        pal_fd file(fd);
        tl_source_depth++;
        source_lines(ctx, file.get());
        tl_source_depth--;
    }
    return 0;
}
