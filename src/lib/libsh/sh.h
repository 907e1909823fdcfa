// sh.h - the command shell: the interpreter that runs lines from the console, the debug
// shell, `source` and the web console, its built-in commands and registries, the line
// editor with its history, and the console session. Output goes only through the three
// operations of the session context, so one command prints anywhere.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pal_value.h"

/// Session modes.
enum : int {
    SH_MODE_STDIO = 0,  ///< the console
    SH_MODE_NET = 1,    ///< a TCP debug shell client
    SH_MODE_MEM = 2,    ///< a memory buffer (web console, tests)
    SH_MODE_PIPE = 3,   ///< a local-socket debug shell client
};

/// State of the option parser of one command; reset before every command.
struct sh_getopt_state {
    int ind = 1;                ///< index of the next argument to read
    int err = 1;                ///< non-zero: bad options are reported on standard error
    int opt = '?';              ///< the option character of the last error
    const char *arg = nullptr;  ///< argument of the last option that takes one
    int pos = 0;                ///< position inside a group of letters ("-ah")
};

/// Session context: one per running session, owned by the caller. The operations decide
/// where output goes; out is handed to them unchanged. printf formats at most 8191 bytes
/// per call. flush ends one command's output.
struct dbgsh_srv_ctx {
    int mode = SH_MODE_MEM;
    std::atomic<int> exit_flag{0};  ///< set by quit and exit; may be set from another thread
    void *out = nullptr;
    int (*printf)(void *out, const char *fmt, va_list ap) = nullptr;
    int (*write)(void *out, const char *data, size_t len) = nullptr;
    int (*flush)(void *out) = nullptr;
    sh_getopt_state opt;
};

/// Output through the context's operations (an absent operation prints nothing).
[[gnu::format(printf, 2, 3)]] int libsh_printf(dbgsh_srv_ctx *ctx, const char *fmt, ...);
int libsh_write(dbgsh_srv_ctx *ctx, std::string_view text);
int libsh_flush(dbgsh_srv_ctx *ctx);

/// A memory session context: printf and write append to text, flush appends one zero byte.
/// Used by the web console and by tests. Not shared between threads.
struct libsh_mem_ctx {
    dbgsh_srv_ctx ctx;
    std::string text;
};
void libsh_mem_ctx_init(libsh_mem_ctx *m);

// ---------------------------------------------------------------------------------------
// Completion (filled by the shell, shown by the line editor).

struct sh_completion {
    std::string name;      ///< at most 63 characters
    int name_colour = 0;   ///< colour code (low 7 bits foreground 1..8, 0x80 bright)
    std::string desc;      ///< at most 255 characters; may be empty
    int desc_colour = 0;
};

/// At most 1024 candidates; a hint is shown as "Please input: " followed by it.
struct sh_complete_list {
    std::vector<sh_completion> items;
    std::string hint;
    int hint_colour = 0;
    void add(std::string_view name, int name_colour, std::string_view desc = {},
             int desc_colour = 0);
};

/// A command's completion: words of the line (at most four; the last one is the word being
/// completed, empty after a blank).
using sh_cmd_complete_fn = void (*)(const std::vector<std::string> &words,
                                    sh_complete_list *out);

/// Built-in command record.
struct libsh_cmd {
    const char *name;
    int (*func)(dbgsh_srv_ctx *ctx, int argc, char **argv);
    sh_cmd_complete_fn complete;  ///< may be null
    const char *help;
};

/// The built-in commands in table order, without the closing empty record.
std::span<const libsh_cmd> libsh_cmds();

/// The shell's completion of a whole line: command names and aliases for the first word,
/// the command's own completion for later words.
void libsh_complete(const char *line, sh_complete_list *out);

// ---------------------------------------------------------------------------------------
// Start, end and the application's part.

/// What the application tells the shell: version texts for `show info`, the hook that
/// `exit` calls to stop the servers, and how `call kill` ends the process.
struct libsh_app {
    const char *version = "";
    const char *version_date = "";
    const char *bsv_pipe_name = "";  ///< binary log pipe shown by `show info`
    int (*exit_hook)() = nullptr;
    void (*terminate)(int code) = nullptr;  ///< null: std::exit
    /// Console reads end (as at the end of input) once *stop is non-zero; checked every
    /// 200 ms. May be null.
    const std::atomic<int> *stop = nullptr;
};
/// Sets the record (copied). Call during start-up, before sessions run.
void libsh_set_app(const libsh_app &app);

/// Once per process (a second call does nothing): copies the environment, registers the
/// completion operation, the default aliases, the registries with "log.level",
/// "log.dbgview", the show items info, memory, llog, dvar and the call functions.
void libsh_init();
/// Frees the alias table, the environment copy and the registries; a second call does
/// nothing. No session may run meanwhile.
void libsh_exit();

/// The registries (null before libsh_init). Records are added during start-up only.
rvar_mgr *libsh_rvars();
fvar_mgr *libsh_fvars();
dvar_mgr *libsh_dvars();

// ---------------------------------------------------------------------------------------
// Running lines.

/// Runs one input line: cut to 4095 bytes, trimmed; an empty line repeats the last line
/// that split without error (or only flushes); split at ';' outside quotes. Returns the
/// result of the last command run, 0 for an empty line, or a negative value (the line had
/// an odd number of quotes, a command was unknown (-12) or failed). Any thread; the
/// process-wide tables are locked inside.
int libsh_exec_line(dbgsh_srv_ctx *ctx, const char *line);

/// Runs commands already split: comments, one alias expansion, NAME=VALUE assignments,
/// argument splitting, lookup, one flush per command; a negative result stops the list.
int exec_commands(dbgsh_srv_ctx *ctx, const std::vector<std::string> &cmds);

/// Splits line at the characters of seps that are outside quotes; either quote toggles
/// "inside". An odd number of quotes logs "syntax error\n" and returns -1. Quotes stay in
/// the text; empty pieces are dropped. Returns the number of pieces.
int str_split_esape(std::string_view line, const char *seps, std::vector<std::string> *out);

/// Splits one command into arguments by the Windows command-line rules (double quotes
/// group, backslashes escape only before a quote; the first argument only toggles quotes).
std::vector<std::string> libsh_split_args(std::string_view cmd);

/// The last line run (empty after an unknown command).
std::string libsh_last_cmd();

/// "1 hour 2 minutes", "59.500 seconds": days, hours, then minutes or seconds.
std::string libsh_time_span(double seconds);

/// A value as `show` prints it: '' for empty, single-quoted when it holds a blank, tab or
/// ';' and does not start with a single quote, else as it is.
std::string libsh_quote(std::string_view value);

// Aliases and the shell environment (process-wide, locked).

/// Defines or replaces alias name. Returns 0, or -1 for an empty name.
int libsh_alias_set(const char *name, const char *value);
/// The value of alias name; false when there is none.
bool libsh_alias_get(const char *name, std::string *value);
/// Every alias as "name=value" in table order.
std::vector<std::string> libsh_alias_list();
/// Sets NAME=VALUE in the shell environment (not the process's).
void libsh_env_set(std::string_view name, std::string_view value);
/// The value of name in the shell environment; false when absent.
bool libsh_env_get(std::string_view name, std::string *value);

// ---------------------------------------------------------------------------------------
// Console: line reading and the console session.

/// Reads one line from the console with prompt: the line editor when standard input is a
/// terminal and TERM is none of "dumb", "cons25" and "emacs" (any case), else a plain read
/// without the trailing CR and LF. Returns buf, or null at the end of input (also after
/// Ctrl-G in the editor) and when size is below 2. Runs libsh_init first. Only the thread
/// that owns the console may call it.
char *libsh_readline(const char *prompt, char *buf, int size);

/// The line editor on the console: edits buf (size bytes; starts from its text when
/// keep is true). mode 0 adds accepted lines to the history, 1 is for sub-prompts.
/// Returns the length, or -1 at the end of input or on Ctrl-G.
int sh_edit_line(char *buf, int size, const char *prompt, bool keep, int mode);

/// The console session: reads lines with the prompt (">" when empty) and runs them until
/// `quit`, `exit` or the end of input; "q" alone means `exit`. Log lines printed meanwhile
/// do not break the line being edited. Returns 0.
int libsh_stdio_loop(const char *prompt);
