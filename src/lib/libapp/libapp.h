// libapp.h - the generic program frame: the application record, the command line and its
// one-off actions, the -s key table, the banner, and the fixed start-up sequence. Everything
// particular to one program reaches the frame through the hooks of the record.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

/// Types of -s key table rows.
enum : int {
    APP_KEY_INT = 14,  ///< decimal integer; text without leading digits gives 0
    APP_KEY_STR = 20,  ///< text, kept as a copy
};

/// One row of the -s key table; a table ends with a row whose name is null.
struct app_key {
    const char *name;
    void *var;          ///< int * for APP_KEY_INT, std::string * for APP_KEY_STR
    int type;
    std::string pending;  ///< value given with -s, stored into var by app_key_apply
    bool has_pending;
};

/// Hooks through which the frame calls the program. Those marked "required" are checked.
struct app_hooks {
    int (*wsrv_start_proc)();         ///< start the servers (service mode)
    int (*wsrv_stop_proc)();          ///< stop the servers (service mode)
    int (*shell_stdio_loop)(const char *arg);  ///< console shell; nothing sets its argument
    /// -e: sends cmd to a running instance over the pipe name or TCP port. Null: -e is not
    /// available in this build.
    int (*shell_connet_cmd)(const char *pipe_name, int port, const char *cmd);
    int (*opt_proc)(int argc, char **argv);  ///< option loop (required)
    int (*conf_init_proc)(const char *path);  ///< reads the configuration file (required)
    std::string (*conf_dump_proc)();          ///< configuration dump text (-p)
    int (*opt_set_proc)();                    ///< program actions after the dump; may exit
    int (*check_instance_proc)();             ///< negative: another instance serves
    void (*sig_proc)(int signo);              ///< signals 2 and 15, on the thread "sig"
    int (*lib_init_proc)();                   ///< library start (required)
    void (*lib_exit_proc)();                  ///< library end, called by the exit routine
    /// Creates a DER key and a self-signed PEM certificate (0 or -1). Null: certificate
    /// creation is not available in this build.
    int (*x509_create_proc)(const char *key_file, const char *crt_file);
};

/// The application record: identity, default names, command-line results and hooks.
/// Filled by main before app_opt_init; read-only once threads run, except the option
/// results written by the option loop and the -s step of start-up.
struct app_rec {
    // Identity (static texts).
    const char *app_name;
    const char *app_desc;
    const char *app_ver;
    uint32_t app_ver_num;  ///< one byte per component, most significant first
    const char *app_ver_date;
    const char *copyright;  ///< second banner line; null for none
    const char *app_conf_file;  ///< default configuration file name
    const char *srv_name;
    const char *srv_disp_name;
    const char *srv_desc;
    uint32_t srv_start_flag;
    const char *web_title;
    const char *prompt;

    // Debug side: the two ports default here; a loaded configuration file sets them.
    int shell_port;  ///< TCP port of the debug shell; 0 disables
    int http_port;   ///< web console port; 0 disables
    std::string panic_dump_dir;   ///< "debug:panic_dump_dir" as read
    std::string debug_pipe_name;  ///< "debug:debug_pipe_name"
    std::string shell_addr;       ///< "debug:shell_server_addr"
    std::string http_addr;        ///< "debug:http_server_addr"
    std::string http_user;        ///< "debug:http_server_user"
    std::string http_pwd;         ///< "debug:http_server_pwd"
    std::string dump_dir;         ///< crash-dump directory in force (empty: dumps off)

    app_key *keys;  ///< the -s key table

    uint32_t require_admin;  ///< warn when not running as root
    uint32_t log_cmdline;    ///< the logged banner adds the command line
    uint32_t always_log_banner;
    uint32_t chdir_exe;      ///< start-up changes into the executable's directory

    // Command-line results.
    std::string conf_path;  ///< -c, made absolute against the starting directory
    std::string log_file;   ///< -o, made absolute likewise
    std::string log_level;  ///< -l
    char svc_action;        ///< 'i' (-i, -w), 'u' (-u) or 0
    bool run_as_service;    ///< -d
    bool quiet;             ///< -q
    bool dump_conf;         ///< -p
    bool has_cmd;           ///< -e given
    std::string cmd;        ///< -e text
    std::string cmdline;    ///< the arguments joined by blanks, at most 4095 bytes
    std::vector<std::string> args;  ///< the arguments as taken (at most APP_MAX_ARGS)

    std::string start_dir;  ///< working directory when the program started
    std::string exe_dir;    ///< directory of the executable

    app_hooks hooks;
};

/// The one application record of the process.
extern app_rec g_app;

/// Arguments taken from the command line, the program name included.
constexpr int APP_MAX_ARGS = 16;

/// The option string of the frame's option loop (POSIX: stops at the first non-option).
constexpr const char *APP_OPTSTRING = "+c:o:l:dqpiue:vhs:w";

/// Starts the platform, names the thread "main", takes the arguments (more than
/// APP_MAX_ARGS print "error: Too many args\n", the usage, and exit 1), checks the identity
/// texts, joins the command line, runs hooks.opt_proc and then app_opt_set. Returns 0 when
/// start-up went through; one-off actions end the process inside.
[[nodiscard]] int app_opt_init(int argc, char **argv);

/// The frame's option loop over "c:o:l:dqpiue:vhs:w", for hooks.opt_proc. Stores the
/// results in g_app. -v, -h and "-s list" act at once and exit 0; a bad option prints the
/// parser's message and the usage and exits 1. Returns 0.
int app_opt_loop(int argc, char **argv);

/// One -s argument against the key table: "list" prints "support the following key
/// settings\n" and every key name, and returns 1 (the caller exits 0). "key=value" with a
/// known key keeps a copy of value as the row's pending text and returns 0. Text without
/// '=' logs "%s syntax error Example: k=v\n" and returns -1; an unknown key logs
/// "unsupported key [%s]\n" and returns -2. keys may be null (no key known).
[[nodiscard]] int os_opt_kv_get(app_key *keys, const char *text);

/// Stores every pending text of the table into its variable and clears the pending texts.
void app_key_apply(app_key *keys);

/// The fixed start-up sequence after the option loop (signals, working directory, log,
/// service action, library start, configuration, -s values, banner, -p, -e, program
/// actions, single-instance check, crash-dump directory, -d). Returns 0 when the servers
/// should start; every one-off action ends the process inside.
[[nodiscard]] int app_opt_set();

/// The banner text "%s-%s-%s v%s (%s) - %s" (name, "linux", machine, version, date,
/// description), at most 255 characters.
std::string app_baner_text();

/// Prints the banner to standard error unless -q (with the copyright line), and logs it in
/// service mode or when always_log_banner is set.
void app_baner();

/// Prints the banner and the usage text to standard error.
void app_usage();

/// Prints what hooks.conf_dump_proc returns to standard output; logs
/// "g_app.conf_dump_proc = NULL!\n" when there is no hook.
void app_conf_dump();

/// The exit routine: hooks.lib_exit_proc (when the library was started), the signal
/// thread, the log, the texts the record owns, the platform. A second call does nothing.
void app_exit_routine();

/// Runs the exit routine and ends the process with code.
[[noreturn]] void app_exit(int code);

// ---------------------------------------------------------------------------------------
// Debug servers (app_dbg.cpp).

/// Starts the local-socket debug shell when debug_pipe_name is set and the TCP debug shell
/// when shell_port is not 0 (on shell_addr; empty: loopback only). A server that fails is
/// logged and left out. Returns 0. Called once the configuration is loaded.
int app_dbg_start();
/// Stops what app_dbg_start started and waits for the sessions; a second call does
/// nothing. Not from a debug session's own thread (it waits for that thread).
void app_dbg_stop();
/// Starts the binary log socket "norva_<app_name>_<thread id>" (library start, before the
/// shell is told its name). Returns 0 or -1 (logged; the program goes on without it).
int app_dbg_init();
/// Stops the binary log socket (library end).
void app_dbg_exit();
/// The binary log socket's name for `show info` ("" when it is not running).
const char *app_dbg_bsv_pipe_name();
/// Installs the binary record writer (capture files, the "bsvlog" stream, listeners) into
/// the log. Called first thing by app_opt_init.
void app_dbg_log_init();
/// The -e client (hooks.shell_connet_cmd): the prompt is the program name and ">". Returns
/// 0 when every command got its reply, -1 otherwise.
int app_dbg_exec_cmd(const char *pipe_name, int port, const char *cmd);

// ---------------------------------------------------------------------------------------
// Metrics (app_metrics.cpp): the web console's /metrics page.

/// The page in the Prometheus text exposition format 0.0.4 (Content-Type
/// "text/plain; version=0.0.4"): the process (start time, CPU seconds, memory, open
/// descriptors, threads), the build, the FTP server's sessions, refusals, data bytes,
/// transfers and replies, the logins and lockouts, and the log lines by level. Any thread;
/// reads counters without locks and a few /proc files, so a scrape costs well under a
/// millisecond and never holds up a session.
std::string app_metrics_text();

/// One label of a sample.
struct app_metric_label {
    const char *name;
    std::string_view value;
};
/// Appends a family's "# HELP" and "# TYPE" lines (type "counter", "gauge" ...); the help
/// text has its backslashes and line feeds escaped.
void app_metrics_family(std::string *out, const char *name, const char *type,
                        std::string_view help);
/// Appends one sample line: name, the labels in braces (none: no braces) with their values
/// escaped (backslash, double quote, line feed), a blank and the value.
void app_metrics_sample(std::string *out, const char *name,
                        std::initializer_list<app_metric_label> labels, uint64_t value);
void app_metrics_sample(std::string *out, const char *name,
                        std::initializer_list<app_metric_label> labels, double value);
/// A label value as the text format carries it between its double quotes.
std::string app_metrics_escape(std::string_view value);

// ---------------------------------------------------------------------------------------
// Service mode under systemd (app_service.cpp).

/// The directory that receives the unit file: $NVTD_UNIT_DIR when set, else
/// "/etc/systemd/system".
std::string app_unit_dir();
/// The unit text for the executable exe_path: "ExecStart=<exe_path> -d", restart on
/// failure after 5 s, at most three starts a day, wanted by multi-user.target.
std::string app_unit_text(const char *desc, const char *exe_path);
/// -i/-w: writes "<name>.service" into app_unit_dir() and, with systemctl present and no
/// NVTD_UNIT_DIR, runs "systemctl daemon-reload" and "systemctl enable <name>". Logs
/// "%s service installed.\n". Returns 0 or -1 (logged).
int os_install_service(const char *name, const char *disp_name, const char *desc,
                       uint32_t start_flag);
/// -u: with systemctl (and no NVTD_UNIT_DIR) stops and disables the unit, then removes the
/// file and reloads. Returns 0 when removed, -1 otherwise (logged).
int os_remove_service(const char *name);
/// -d: runs hooks.wsrv_start_proc on the calling thread (named "srv") and returns its
/// result; the start procedure announces readiness itself (app_service_ready).
int os_service_start(const char *name);
/// Tells the service manager that start-up is complete (READY=1 over NOTIFY_SOCKET, when
/// set), or that the stop began (ready false: STOPPING=1).
void app_service_ready(bool ready);
