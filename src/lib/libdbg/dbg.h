// dbg.h - the debug shell from outside the process: servers on TCP and on a local socket
// that run shell lines for their clients, and the client that sends commands to a running
// instance (nvtd -e).
//
// Wire protocol: the client sends one line followed by a NUL byte; the server answers each
// command it runs with the command's output (LF sent as CR LF, trailing blanks removed)
// followed by one NUL byte. A line that runs no command gets no answer.
#pragma once

#include <string>

struct net_stream;

/// A running debug shell server; owned by the caller from dbgsrv_open to dbgsrv_close.
struct dbgsrv;

/// Starts a server for url: "tcp://HOST:PORT" (port 0 takes a free port; an empty host
/// means loopback only, 127.0.0.1 and ::1) or "pipe://./NAME" (a local socket, one client
/// at a time). Runs libsh_init first. Returns the handle, or null (logged).
[[nodiscard]] dbgsrv *dbgsrv_open(const char *url);
/// The TCP server on an address list (';' or ',' separated; empty: 127.0.0.1 and ::1) and
/// port (0: a free port). Returns the handle, or null (logged).
[[nodiscard]] dbgsrv *dbgsrv_open_tcp(const char *addrs, int port);
/// Stops the server: no new clients, every session ends within about one second, their
/// threads are waited for. Frees h. Returns 0, or -1 for a null handle.
int dbgsrv_close(dbgsrv *h);
/// The TCP port the server listens on; 0 for a local-socket server.
int dbgsrv_port(const dbgsrv *h);

/// The local-socket name of a "pipe://./NAME" URL: the text after "pipe://" without a
/// leading "./" or ".\". Server and client use the same rule.
std::string dbg_pipe_name_of(const char *url);

/// Client settings of one run of debug_shell_exec_loop.
struct dbgcli {
    std::string prompt = ">";
    const char *cmd = nullptr;  ///< ';'-separated commands; null or "sh": interactive
    int timeout_ms = 0;         ///< reply time-out; 0 means 60000
    bool use_editor = false;    ///< interactive lines come from the line editor
    /// Reads one interactive line into buf (size bytes); null at the end of input.
    /// Default: a line from standard input.
    char *(*input)(char *buf, int size) = nullptr;
    /// Prints one reply. Default: standard output followed by a line feed.
    void (*output)(const char *text) = nullptr;
    std::string *reply = nullptr;  ///< set: the first reply is stored here and the loop ends
    int state = 0;                 ///< 0 idle, 1 sending, 2 waiting for the reply
};

/// Runs the client on a connected stream: sends each command (or each interactive line)
/// with its NUL byte and prints the reply. "quit" and "q" end the loop without being sent.
/// A reply time-out is logged and the loop goes on; a send or read failure ends it.
/// Closes the stream. Returns 0 when every command got its reply, -1 otherwise.
int debug_shell_exec_loop(net_stream *s, dbgcli *cli);

/// Connects to url ("tcp://127.0.0.1:PORT" within 2000 ms, or "pipe://./NAME") and runs
/// the client loop with the prompt "nvtd>" and the line editor. Returns the loop's result
/// or -1 when the connection fails (logged). Blocks until the loop ends.
int dbgcli_exec_cmd(const char *url, const char *cmd);

/// The client of nvtd -e: the local socket pipe_name when it is set, else TCP 127.0.0.1 on
/// port; with neither logs "No debugging interface defined" and returns -1.
int dbgcli_local_exec_cmd(const char *pipe_name, int port, const char *cmd);

/// The short program name that the client's prompt is built from ("nvtd" gives "nvtd>").
/// Call before dbgcli_exec_cmd; the default is empty (prompt ">").
void dbgcli_set_app_name(const char *name);

/// The binary log socket: streams the process's log records as a pcap capture (link type
/// 147) to one reader at a time on the local socket "norva_<short_name>_<thread id>", on
/// the thread "bsv_pipe_srv". A reader that stops reading loses records; logging never
/// waits for it. Returns 0, or -1 (logged). Once per process until debug_bsv_pipe_srv_exit.
int debug_bsv_pipe_srv_init(const char *short_name);
/// Stops the thread, closes the socket and removes its path. A second call does nothing.
void debug_bsv_pipe_srv_exit();
/// The socket's name ("" when it is not running); valid until the exit.
const char *debug_bsv_pipe_name();
