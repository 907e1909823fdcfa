// nvtd_conf.h - the server's settings: the keys of the configuration file with their
// defaults and lower bounds, the reader, the dump, and the program hooks of the frame.
// Settings are written during start-up only, before any server thread exists.
#pragma once

#include <string>
#include <string_view>

struct conf_handle;

/// Settings of the FTP server, in the units the server uses.
struct nvtd_conf {
    int ftp_port;           ///< "nvtd:ftp_server_port"; 0 or 1 disables the listener
    std::string ftp_addr;   ///< "nvtd:ftp_server_addr"; empty = all addresses
    int ftps_port;          ///< "nvtd:ftps_server_port"; 0 or 1 disables it
    std::string ftps_addr;  ///< "nvtd:ftps_server_addr"
    std::string crt_file;   ///< "nvtd:ftps_crt_file" (PEM)
    std::string key_file;   ///< "nvtd:ftps_key_file" (PEM or DER)
    std::string user;       ///< "nvtd:user"; empty = anonymous access
    std::string passwd;     ///< "nvtd:passwd"
    int readonly;           ///< "nvtd:readonly"; non-zero refuses changing commands
    int max_clients;        ///< "nvtd:max_clients"; 0 = no limit
    int read_timeout_ms;    ///< "nvtd:read_timeout" seconds x 1000, at least 3000
    int idle_timeout_ms;    ///< "nvtd:idle_session_timeout" seconds x 1000, at least 15000
    int read_bs;            ///< "nvtd:bs", at least 4096
    int write_bs;           ///< "nvtd:bs" too
    int upload_max_rate;    ///< "nvtd:upload_max_rate" bytes/s; 0 = unlimited
    int download_max_rate;  ///< "nvtd:download_max_rate" bytes/s; 0 = unlimited
    int passive_begin_port;  ///< "nvtd:passive_begin_port"
    int passive_end_port;    ///< "nvtd:passive_end_port"
    std::string ftp_root;      ///< "nvtd:ftp_root"; empty = the whole file system
    std::string pasv_address;  ///< "nvtd:pasv_address"; empty = the control connection's
    int login_fail_count;      ///< "login:login_fail_count", at least 0; 0 = lockout off
    int login_fail_wait_m;     ///< "login:login_fail_wait_m" minutes, at least 1
    std::string login_file;    ///< "login:login_file"; empty = none
    int login_file_size;       ///< "login:login_file_size" bytes
    std::string conf_path;     ///< the file the settings came from (empty: defaults)
};

/// The process-wide settings.
extern nvtd_conf g_nvtd_conf;

/// Puts every setting back to its default.
void nvtd_conf_defaults();

/// Frees the texts of the settings (at exit).
void nvtd_conf_free();

/// Reads path: the FTP keys (app_priv_conf_init), then the debug keys into g_app. A file
/// that cannot be loaded logs "load [%s] error\n" at debug level and returns -1; the
/// defaults stay in force. A user name or password with a forbidden character ends the
/// process with status 1.
int app_conf_file_init(const char *path);

/// The FTP keys of an open configuration, in their fixed order, with their bounds.
void app_priv_conf_init(conf_handle *h, const char *path);

/// The dump of every setting, one "name=value\n" line each, texts quoted by
/// nvtd_conf_quote, followed by the log settings.
std::string app_priv_conf_dump();

/// A text as it can be written back into an INI file: empty as '', a text holding a blank,
/// a tab or ';' (and not starting with a single quote) in single quotes, anything else as
/// it is.
std::string nvtd_conf_quote(std::string_view value);

/// The characters a user name or password must not contain.
constexpr const char *NVTD_CRED_FORBIDDEN = ";/\\\"'?:@# ";

/// True when value holds none of NVTD_CRED_FORBIDDEN.
bool nvtd_cred_valid(std::string_view value);

/// Program hooks of the frame (here and in nvtd_start.cpp).
int app_priv_opt_set();
int app_priv_check_instance();
int app_lib_init();
void app_lib_exit();
int app_start_server();
int app_stop_server();
void app_sig_handler(int signo);

/// The -s key table of the program.
extern struct app_key g_nvtd_keys[];
