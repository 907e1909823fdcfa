// ftpd.h - the FTP server: its settings, library start and end, server start and stop.
// Settings are written during start-up, before any listener runs, and only read afterwards.
#pragma once

#include <string>

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
