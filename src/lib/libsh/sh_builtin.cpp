// sh_builtin.cpp - the built-in command table and the commands that reach the registries
// (show, set, call) or the session (help, exit, quit). Usage texts carry the command's help
// text in place of their "%s".
#include "sh_internal.h"

#include "log.h"
#include "pal.h"

#include <cstring>

static const libsh_cmd g_cmds[] = {
    {"show", sh_cmd_show, sh_complete_show, "Show the status of the program"},
    {"set", sh_cmd_set, sh_complete_set, "Set public options"},
    {"call", sh_cmd_call, sh_complete_call, "call application commands"},
    {"pwd", sh_cmd_pwd, nullptr, "Print working directory"},
    {"alias", sh_cmd_alias, nullptr, "Define or display alias"},
    {"unalias", sh_cmd_unalias, nullptr, "Delete the alias set by alias"},
    {"unset", sh_cmd_unset, nullptr, "Cancel environment variable"},
    {"echo", sh_cmd_echo, nullptr, "Echo the STRING(s) to output"},
    {"env", sh_cmd_env, nullptr, "Display all variables"},
    {"source", sh_cmd_source, nullptr, "Exec commands from file"},
    {"exit", sh_cmd_exit, nullptr, "Exit the service program"},
    {"quit", sh_cmd_quit, nullptr, "Quit the current session"},
    {"help", sh_cmd_help, nullptr, "Display this text"},
    {"?", sh_cmd_help, nullptr, "Synonym for `help'"},
};

std::span<const libsh_cmd> libsh_cmds() {
    return g_cmds;
}

const char *sh_cmd_help(const char *name) {
    for (const libsh_cmd &c : g_cmds) {
        if (std::strcmp(c.name, name) == 0)
            return c.help;
    }
    return "";
}

static bool is_help_opt(const char *arg) {
    return std::strcmp(arg, "-h") == 0;
}

/// "%s\n%s": the command's help text, then its list.
static void print_list(dbgsh_srv_ctx *ctx, const char *cmd, const std::string &list) {
    libsh_printf(ctx, "%s\n", sh_cmd_help(cmd));
    libsh_write(ctx, list);
}

int sh_cmd_show(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    rvar_mgr *m = libsh_rvars();
    // "show -h" (what "help show" runs) lists the items like "set -h" does.
    if (argc == 2 && !is_help_opt(argv[1])) {
        const rvar *r = rvar_mgr_find(m, argv[1]);
        if (r == nullptr) {
            libsh_printf(ctx, "error: The show variable '%s' does not exist\n", argv[1]);
            return -12;
        }
        libsh_write(ctx, r->get());
        return 0;
    }
    std::string list;
    for (size_t i = 0; i < rvar_mgr_count(m); i++) {
        const rvar *r = rvar_mgr_at(m, i);
        list += pal_format("show %s -- %s\n", r->name, r->desc);
    }
    print_list(ctx, "show", list);
    return 0;
}

int sh_cmd_set(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    dvar_mgr *m = libsh_dvars();
    if (argc == 3) {
        char msg[DVAR_MSG_SIZE] = "";
        int rc = dvar_mgr_set(m, argv[1], argv[2], msg);
        if (rc < 0) {
            std::string_view why(msg);
            if (!why.empty() && why.back() == '\n')  // the reason ends the message itself
                why.remove_suffix(1);
            libsh_printf(ctx, "error: %.*s\n", static_cast<int>(why.size()), why.data());
        }
        return rc;
    }
    std::string list;
    for (size_t i = 0; i < dvar_mgr_count(m); i++) {
        const dvar *d = dvar_mgr_at(m, i);
        list += pal_format("set %s [%s] -- %s\n", d->name, d->range ? d->range : "",
                           d->desc ? d->desc : "");
    }
    print_list(ctx, "set", list);
    return argc == 2 && is_help_opt(argv[1]) ? 0 : -1;
}

int sh_cmd_call(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    fvar_mgr *m = libsh_fvars();
    if (argc >= 2 && !is_help_opt(argv[1])) {
        const fvar *f = fvar_mgr_find(m, argv[1]);
        if (f == nullptr) {
            libsh_printf(ctx, "error: The call func '%s' does not exist\n", argv[1]);
            return -12;
        }
        return f->func(ctx, argc - 1, argv + 1);
    }
    std::string list;
    for (size_t i = 0; i < fvar_mgr_count(m); i++) {
        const fvar *f = fvar_mgr_at(m, i);
        list += pal_format("%s %s -- %s\n", "call", f->name, f->desc);
    }
    print_list(ctx, "call", list);
    return argc == 2 ? 0 : -1;
}

/// env, exit and quit take no options; "-h" (from "help exit") shows what they do instead
/// of doing it.
static bool plain_usage(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (argc != 2 || !is_help_opt(argv[1]))
        return false;
    libsh_printf(ctx, "%s\n%s\n\t-h Display this help\n", argv[0], sh_cmd_help(argv[0]));
    return true;
}

int sh_cmd_env(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (plain_usage(ctx, argc, argv))
        return 0;
    for (const std::string &e : sh_env_list())
        libsh_printf(ctx, "%s\n", e.c_str());
    return 0;
}

int sh_cmd_exit(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (plain_usage(ctx, argc, argv))
        return 0;
    libsh_flush(ctx);
    if (sh_app().exit_hook != nullptr)
        sh_app().exit_hook();
    ctx->exit_flag.store(1);
    return 0;
}

int sh_cmd_quit(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (plain_usage(ctx, argc, argv))
        return 0;
    libsh_flush(ctx);
    ctx->exit_flag.store(1);
    return 0;
}

int sh_cmd_help(dbgsh_srv_ctx *ctx, int argc, char **argv) {
    if (argc >= 2) {
        for (const libsh_cmd &c : g_cmds) {
            if (std::strcmp(c.name, argv[1]) != 0)
                continue;
            std::vector<std::string> args =
                libsh_split_args(std::string(c.name) + " -h");
            std::vector<char *> av;
            for (std::string &a : args)
                av.push_back(a.data());
            av.push_back(nullptr);
            ctx->opt = sh_getopt_state{};
            (void)c.func(ctx, static_cast<int>(args.size()), av.data());
            return 0;
        }
    }
    for (const libsh_cmd &c : g_cmds)
        libsh_printf(ctx, "%-10s\t%s\n", c.name, c.help);
    libsh_printf(ctx, "\nFor more information, type 'help command' for each command.\n");
    libsh_printf(ctx, "e.g. help pwd\n");
    return 0;
}
