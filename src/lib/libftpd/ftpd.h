// ftpd.h - the FTP server: its settings, library start and end, server start and stop.
// Settings are written during start-up, before any listener runs, and only read afterwards.
#pragma once

#include <climits>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

/// Settings of the FTP server, in the units the server uses. ftpd_lib_init puts the
/// defaults in place; the program's configuration reader then overwrites them.
struct ftpd_conf {
    int ftp_port;            ///< "nvtd:ftp_server_port"; 0 or 1 disables the listener
    std::string ftp_addr;    ///< "nvtd:ftp_server_addr"; empty = all addresses
    int ftps_port;           ///< "nvtd:ftps_server_port"; 0 or 1 disables it
    std::string ftps_addr;   ///< "nvtd:ftps_server_addr"
    std::string crt_file;    ///< "nvtd:ftps_crt_file" (PEM)
    std::string key_file;    ///< "nvtd:ftps_key_file" (PEM or DER)
    std::string user;        ///< "nvtd:user"; empty = anonymous access
    std::string passwd;      ///< "nvtd:passwd"
    int readonly;            ///< "nvtd:readonly"; non-zero refuses changing commands
    int max_clients;         ///< "nvtd:max_clients"; 0 = no limit
    int max_per_ip;          ///< "nvtd:max_per_ip": sessions from one address; 0 = no limit
    int ftp_extensions;      ///< "nvtd:ftp_extensions": AUTH TLS, PBSZ/PROT offered
    int ftps_required;       ///< "nvtd:ftps_required": the plain port refuses USER before AUTH
    int ftps_data_reuse;     ///< "nvtd:ftps_data_reuse": PROT P data must resume the session
    int login_timeout_ms;    ///< "nvtd:login_timeout" (seconds in the file): connect to
                             ///< successful PASS; 0 = only the idle time-out
    int read_timeout_ms;     ///< data read time-out; at least 3000
    int idle_timeout_ms;     ///< idle session time-out; at least 15000
    int read_bs;             ///< upload block size; at least 4096
    int write_bs;            ///< download block size and listing flush threshold
    int upload_max_rate;     ///< bytes/s; 0 = unlimited
    int download_max_rate;   ///< bytes/s; 0 = unlimited
    int passive_begin_port;  ///< first passive port (0: any)
    int passive_end_port;    ///< end of the passive range (not itself used)
    std::string ftp_root;      ///< "nvtd:ftp_root": served as "/"; empty = the whole tree
    std::string pasv_address;  ///< "nvtd:pasv_address": IPv4 text for 227; empty = local
    int login_fail_count;      ///< failures before lockout; 0 = lockout off
    int login_fail_wait_m;     ///< lockout minutes, at least 1
    std::string login_file;    ///< login file; empty = none
    int login_file_size;       ///< its size cap in bytes
    // Fixed values without configuration keys.
    int port_connect_timeout_ms;  ///< active-mode connect: 3000
    int pasv_accept_wait_ms;      ///< passive accept wait: 3000
    int ctrl_poll_timeout_ms;     ///< control-connection poll: 2000
    std::string conf_path;        ///< the file the settings came from (empty: defaults)
};

/// The process-wide settings.
extern ftpd_conf g_ftpd_conf;

// ---------------------------------------------------------------------------------------
// Settings tables: one row per setting gives its key, default, lower bound, unit, dump line
// and -s key. The FTP server's rows point into g_ftpd_conf; the program keeps its own
// table in the same form and walks it with the same functions.

struct conf_handle;

/// How a row's value is read from the file.
enum : int {
    FTPD_SET_INT = 0,   ///< decimal integer into an int
    FTPD_SET_SIZE = 1,  ///< size with suffixes into an int, cut to INT32_MAX
    FTPD_SET_STR = 2,   ///< text into a std::string
};

/// Row flags.
enum : unsigned {
    FTPD_SET_CREDENTIAL = 1u,  ///< a user name or password: the reader's check sees it
};

/// One setting. Numbers are read as int64, multiplied by scale, cut to the int range and
/// raised to min; defaults take the same path, so a default and an absent key agree.
struct ftpd_setting {
    const char *key;            ///< "section:key" in the file; null: a fixed value
    const char *dump;           ///< name of its -p line; null: not shown
    int type = FTPD_SET_INT;    ///< FTPD_SET_*
    void *field = nullptr;      ///< int * for numbers, std::string * for texts
    int64_t def = 0;            ///< default of a number, in the file's unit
    const char *def_text = "";  ///< default of a text
    int scale = 1;              ///< file unit to field unit (1000: seconds to ms)
    int min = INT_MIN;          ///< lower bound in the field's unit
    unsigned part = 0;          ///< the part of the dump that shows the row
    const char *opt = nullptr;  ///< name of its -s key, or null
    void *also = nullptr;       ///< a second field of the same type given the same value
    unsigned flags = 0;         ///< FTPD_SET_CREDENTIAL
};

/// Parts of the FTP server's dump: the program prints its own lines between the two.
enum : unsigned {
    FTPD_DUMP_SERVER = 0,  ///< listeners, login, transfers, passive ports, root
    FTPD_DUMP_LOGIN = 1,   ///< login file and lockout, then the later keys
};

/// The FTP server's settings, in the order of their dump lines. Fixed values without a key
/// are part of it, so that ftpd_lib_init takes every default from here.
std::span<const ftpd_setting> ftpd_settings();

/// Puts every row's default in place (fixed values included).
void ftpd_settings_defaults(std::span<const ftpd_setting> rows);

/// Reads every row that has a key from h, in table order, bounded like the defaults.
/// check, when given, runs right after each FTPD_SET_CREDENTIAL row is stored (it may end
/// the process, so the rows after it are not read then).
void ftpd_settings_read(std::span<const ftpd_setting> rows, conf_handle *h,
                        void (*check)(const ftpd_setting &row));

/// Appends "name=value\n" for every row of part that has a dump name, in table order:
/// numbers with "%d", texts quoted by ftpd_conf_quote.
void ftpd_settings_dump(std::span<const ftpd_setting> rows, unsigned part, std::string *out);

/// Appends the dump line of one row (nothing when it has no dump name).
void ftpd_setting_dump(const ftpd_setting &row, std::string *out);

/// The row whose dump name is dump, or null.
const ftpd_setting *ftpd_setting_find(std::span<const ftpd_setting> rows, const char *dump);

/// A text as it can be written back into an INI file: empty as '', a text holding a blank,
/// a tab or ';' (and not starting with a single quote) in single quotes, anything else as
/// it is.
std::string ftpd_conf_quote(std::string_view value);

struct ftpd_server;

/// Puts the defaults in place and builds the command map. Called once before the
/// configuration is read.
void ftpd_lib_init();
/// Frees the settings' texts (the password overwritten first), the TLS server
/// configuration and the command map.
void ftpd_lib_exit();
/// Starts the worker pool and the FTP and FTPS listeners. Returns the server (owned by
/// the caller until ftpd_stop) or null after logging why.
[[nodiscard]] ftpd_server *ftpd_start();
/// Closes the listeners, ends every session (waiting for their threads), releases the
/// credentials and the lockout table, frees the server.
void ftpd_stop(ftpd_server *srv);
/// Live sessions of a running server (FTP and FTPS together).
int ftpd_session_count(ftpd_server *srv);

// ---------------------------------------------------------------------------------------
// Counters of the FTP server since the process started (for the metrics page). Each is
// moved where its event happens, with one relaxed atomic step and no lock.

/// Protocols of a session: the port it came in on.
enum : int { FTPD_PROTO_FTP = 0, FTPD_PROTO_FTPS = 1, FTPD_PROTO_COUNT = 2 };
/// Commands that move data on a data connection.
enum : int {
    FTPD_XCMD_RETR = 0,
    FTPD_XCMD_STOR,
    FTPD_XCMD_APPE,
    FTPD_XCMD_LIST,
    FTPD_XCMD_NLST,
    FTPD_XCMD_MLSD,
    FTPD_XCMD_COUNT,
};
/// How a transfer that began (its 150 reply went out) ended.
enum : int { FTPD_XRES_OK = 0, FTPD_XRES_FAILED, FTPD_XRES_ABORTED, FTPD_XRES_COUNT };

/// A snapshot of the counters. Counters only grow; the active sessions go up and down.
struct ftpd_stats {
    uint64_t sessions_total[FTPD_PROTO_COUNT];   ///< sessions greeted, by protocol
    int64_t sessions_active[FTPD_PROTO_COUNT];   ///< sessions greeted and not yet ended
    uint64_t refused_max_clients;    ///< connections closed at once by max_clients
    uint64_t refused_max_per_ip;     ///< sessions refused by max_per_ip
    uint64_t data_bytes_sent;        ///< data connection bytes: downloads and listings
    uint64_t data_bytes_received;    ///< data connection bytes: uploads
    uint64_t transfers[FTPD_XCMD_COUNT][FTPD_XRES_COUNT];
    uint64_t replies[5];             ///< replies sent, by class: [0] 1xx ... [4] 5xx
    uint64_t pasv_accept_timeouts;   ///< passive listeners no client connected to in time
};

/// Reads every counter (each on its own: a snapshot of a busy server is not one instant).
/// Any thread, no lock.
void ftpd_stats_get(ftpd_stats *out);
/// "ftp" or "ftps"; "RETR" ... "MLSD"; "ok", "failed" or "aborted" (null out of range).
const char *ftpd_proto_name(int proto);
const char *ftpd_xcmd_name(int cmd);
const char *ftpd_xres_name(int result);
