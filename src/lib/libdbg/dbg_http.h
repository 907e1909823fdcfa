// dbg_http.h - the web console: one page with a console, a log view and the settings, and
// the small JSON endpoints the page calls (run a shell line, fetch new log lines, list and
// change the set variables), plus the metrics text and the icon. Served by libhttpd.
//
// Every path but the icon asks for Basic credentials when both a user and a password are
// set. /cmd, /log, /config and /update also need the page's token, a random text made per
// start and written into the page: without it they answer "403 Forbidden" and run nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// What the application hands the console at its start (copied by the start).
struct dbg_http_settings {
    std::string title = "NVTD Web Debug Tool";  ///< the page's $title
    std::string user;  ///< Basic user; checked only when user and pwd are both non-empty
    std::string pwd;
    std::string prompt = "nvtd>";  ///< the page's $sh_psa, shown before console lines
    /// The /metrics body in the Prometheus text format 0.0.4; null serves a fixed
    /// placeholder. Called on request threads, several at once.
    std::string (*metrics)() = nullptr;
};

/// Starts the console on an address list (';' or ',' separated; empty: 127.0.0.1 and ::1
/// only) and port: reads "debug.html" of the current directory when it exists ("load
/// debug.html ok\n"), else takes the built-in page; makes a new token; opens the log reader
/// (http_log_init) and the server (dbg_http_server_start). Port 0 does nothing and returns
/// 0. Returns 0 or -1 (logged; nothing is left running). Not while the console runs.
int debug_http_server_init(const char *addrs, int port, const dbg_http_settings &s);
/// Opens the console's reader of the process's log records ("bsv_open_log failed\n").
/// Records one client fetched are not delivered to another. 0 or -1. A second call keeps
/// the open reader.
int http_log_init();
/// Opens the HTTP listener "dbg_http" with the console's handlers, using the settings,
/// page and token that debug_http_server_init prepared. 0, or -1 (logged).
int dbg_http_server_start(const char *addrs, int port);
/// Stops the console: closes the listener, waits for the running requests, closes the log
/// reader and drops the page. Does nothing when the console is not running.
void dbg_http_server_stop();
/// The port the console listens on (0 when it is not running).
int dbg_http_server_port();
/// The page token of the running console ("" when it is not running).
std::string dbg_http_token();

// ---------------------------------------------------------------------------------------
// The pieces behind the handlers, open to tests. All may run on several threads at once.

/// JSON string escaping: '\\' and '"' get a backslash; bytes 8, 9, 10, 12, 13 become \b,
/// \t, \n, \f, \r; other bytes below 32 become \u00XX (uppercase hex); all other bytes,
/// 0x80 and above included, are copied.
std::string dbg_json_escape(std::string_view text);
/// Reads parameter key from a query text: items split at '&', each cut at its first '=',
/// the key compared exactly after trimming blanks, the value trimmed and cut to max bytes
/// (not decoded). An item without '=' ends the search. True when found.
bool dbg_query_get(std::string_view query, std::string_view key, size_t max,
                   std::string *value);
/// Runs one shell line in a memory session and puts its output into *reply as
/// [{"resp":"..."}] (the text escaped; each command's output ends with \u0000), at most
/// 16383 bytes: longer output is cut so the reply stays valid JSON. No output: *reply is
/// empty. Returns the shell's result.
int http_exec_cmd(const char *line, std::string *reply);
/// The /log reply: [{"log":"...","level":"..."},...] with the records not yet fetched
/// (about 16 KiB at most; the rest waits for the next call), "[]" when there are none.
std::string dbg_http_log_reply();
/// The /config reply: every set variable with desc, name, value, type and, for an
/// enumeration, its range with '/' between the values.
std::string dbg_http_config_reply();
/// The /update reply for setting variable name to value: { "success" : true, "msg" : "ok" }
/// or the failure with its reason. query is the request's query for the failure log line.
std::string dbg_http_update_reply(const char *name, const char *value, const char *query);
/// The level name of a log record level as /log shows it ("debug", "info", "warning",
/// "error", or "unkown(%d)").
std::string dbg_http_level_name(int level);
