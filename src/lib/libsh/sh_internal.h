// sh_internal.h - what the files of libsh share: the option parser, the built-in handlers,
// the show items and call functions, system facts and the terminal back end.
#pragma once

#include "sh.h"

#include <string>

/// Module tag of the shell's log lines.
constexpr const char *SH_TAG = "mish";

/// Option parsing of one command with the state in ctx->opt. Permutes argv (options move
/// before the other words) unless POSIXLY_CORRECT is set in the process environment; stops
/// at "--". Returns the option letter, '?' for an unknown one (reported on standard error
/// as "%s: invalid option -- '%c'\n"), or -1 when the options end; ctx->opt.ind then
/// indexes the first other word.
int sh_getopt(dbgsh_srv_ctx *ctx, int argc, char **argv, const char *optstring);

/// Prints usage (a format with one %s for the command's help text) when argv holds -h;
/// also skips other options. Returns true when usage was printed. ctx->opt.ind indexes the
/// first word after the options.
bool sh_opt_usage(dbgsh_srv_ctx *ctx, int argc, char **argv, const char *optstring,
                  const char *usage, const char *help);

/// Writes usage with its one "%s" replaced by help.
void sh_usage(dbgsh_srv_ctx *ctx, std::string_view usage, const char *help);

/// The help text of built-in name ("" when unknown).
const char *sh_cmd_help(const char *name);

/// Built-in handlers (sh_builtin.cpp, sh_cmd_env.cpp).
int sh_cmd_show(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_set(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_call(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_pwd(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_alias(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_unalias(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_unset(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_echo(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_env(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_source(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_exit(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_quit(dbgsh_srv_ctx *ctx, int argc, char **argv);
int sh_cmd_help(dbgsh_srv_ctx *ctx, int argc, char **argv);

/// Completions of show, set and call.
void sh_complete_show(const std::vector<std::string> &words, sh_complete_list *out);
void sh_complete_set(const std::vector<std::string> &words, sh_complete_list *out);
void sh_complete_call(const std::vector<std::string> &words, sh_complete_list *out);

/// Registers the show items and call functions of the shell (sh_items.cpp).
void sh_items_register();

/// The application record as set by libsh_set_app.
const libsh_app &sh_app();

// Aliases and environment (sh_alias.cpp).
void sh_alias_init();
void sh_alias_free();
/// Removes alias name; false when there was none.
bool sh_alias_remove(const char *name);
void sh_alias_clear();
void sh_env_init();
void sh_env_free();
/// Removes name from the environment copy; false when absent.
bool sh_env_unset(std::string_view name);
std::vector<std::string> sh_env_list();

// System facts (sh_sysinfo_linux.cpp).
std::vector<std::string> sh_os_environ();  ///< the process environment, NAME=VALUE each
std::string sh_os_info();        ///< "Linux 6.1.0-18-amd64 #1 SMP ... x86_64"
std::string sh_hw_info();        ///< processor model, cores and memory
double sh_os_uptime();           ///< seconds since the system started
double sh_proc_uptime();         ///< seconds since this process started
std::string sh_memory_stats();   ///< allocator and process memory figures
/// Opens path for `source`: a regular file only. Returns a descriptor (wrap in pal_fd) or
/// a negative code with the system's text in *why.
int sh_source_open(const char *path, std::string *why);
/// The system's text of the last failure of the current directory lookup.
std::string sh_errno_text();

// Line editor hooks (sh_edit*.cpp).
using sh_complete_fn = void (*)(const char *line, sh_complete_list *out);
void sh_edit_set_complete(sh_complete_fn fn);
/// The completion operation registered for the editor (null before libsh_init).
sh_complete_fn sh_edit_complete();
