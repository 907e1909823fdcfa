// nvtd_conf.h - the configuration file read into the FTP server's settings (g_ftpd_conf)
// and the application record through their settings tables; the dump; the program hooks of
// the frame. Settings are written during start-up only, before any server thread.
#pragma once

#include <string>
#include <string_view>

#include "ftpd.h"

struct conf_handle;

/// Reads path: the FTP keys (app_priv_conf_init), then the debug keys into g_app. A file
/// that cannot be loaded logs "load [%s] error\n" at debug level and returns -1; the
/// defaults stay in force. A user name or password with a forbidden character ends the
/// process with status 1.
int app_conf_file_init(const char *path);

/// The FTP keys of an open configuration, in their fixed order, with their bounds.
void app_priv_conf_init(conf_handle *h, const char *path);

/// The dump of every setting, one "name=value\n" line each, texts quoted by
/// ftpd_conf_quote: the FTP block (with some debug settings between its parts), the debug
/// block, then the log settings.
std::string app_priv_conf_dump();

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

/// Builds the -s key table of the program: the settings that have a -s key, then the keys
/// of the one-off actions. The table stays valid until the next call.
struct app_key *nvtd_keys_init();
