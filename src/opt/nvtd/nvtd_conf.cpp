// nvtd_conf.cpp - the server's configuration keys: defaults, reading with lower bounds,
// the credential character check, and the configuration dump.
// Size keys can name values far beyond 32 bits; they are cut to INT32_MAX before their own
// lower bound applies, so "bs=100G" gives the largest block the server can keep.
#include "nvtd_conf.h"

#include "conf.h"
#include "libapp.h"
#include "log.h"
#include "pal.h"

#include <cstdint>

nvtd_conf g_nvtd_conf;

void nvtd_conf_defaults() {
    g_nvtd_conf = nvtd_conf{};
    nvtd_conf &c = g_nvtd_conf;
    c.ftp_port = 21;
    // The same names a configuration file without these keys gives, so that certificate
    // creation and TLS find their files with or without a configuration file.
    c.crt_file = "nvtd.crt";
    c.key_file = "nvtd.key";
    c.read_timeout_ms = 5000;
    c.idle_timeout_ms = 600000;
    c.read_bs = 2097152;
    c.write_bs = 2097152;
    c.login_fail_count = 5;
    c.login_fail_wait_m = 15;
    c.login_file_size = 2097152;
}

void nvtd_conf_free() {
    g_nvtd_conf = nvtd_conf{};
}

bool nvtd_cred_valid(std::string_view value) {
    return value.find_first_of(NVTD_CRED_FORBIDDEN) == std::string_view::npos;
}

/// A forbidden character in the user name or password is a start-up failure.
static void conf_check_cred(const char *what, const std::string &value) {
    if (nvtd_cred_valid(value))
        return;
    log2_printf(nullptr, LOG2_CRIT, "main", __FILE__, __LINE__, __func__,
                "%s=[%s] is invalid, Cannot use [%s]\n", what, value.c_str(),
                NVTD_CRED_FORBIDDEN);
    app_exit(1);  // the crit line ends the process already; this keeps that certain
}

static std::string conf_str(conf_handle *h, const char *name, const char *def) {
    const char *v = conf_get_key_string(h, name, def);
    return v ? v : "";
}

/// Seconds in the file, milliseconds in the server; computed wide so that large values
/// cannot overflow, then bounded below.
static int conf_seconds_ms(conf_handle *h, const char *name, int def_s, int min_ms) {
    int64_t ms = static_cast<int64_t>(conf_get_key_int(h, name, def_s)) * 1000;
    if (ms > INT32_MAX)
        ms = INT32_MAX;
    return ms < min_ms ? min_ms : static_cast<int>(ms);
}

static int conf_size(conf_handle *h, const char *name, uint64_t def, int min) {
    int v = pal_size_to_i32(conf_get_key_size(h, name, def));
    return v < min ? min : v;
}

static int conf_int_min(conf_handle *h, const char *name, int def, int min) {
    int v = conf_get_key_int(h, name, def);
    return v < min ? min : v;
}

static void conf_read_nvtd(conf_handle *h) {
    nvtd_conf &c = g_nvtd_conf;
    c.ftp_port = conf_get_key_int(h, "nvtd:ftp_server_port", 21);
    c.ftp_addr = conf_str(h, "nvtd:ftp_server_addr", "");
    c.ftps_port = conf_get_key_int(h, "nvtd:ftps_server_port", 0);
    c.ftps_addr = conf_str(h, "nvtd:ftps_server_addr", "");
    c.crt_file = conf_str(h, "nvtd:ftps_crt_file", "nvtd.crt");
    c.key_file = conf_str(h, "nvtd:ftps_key_file", "nvtd.key");
    c.user = conf_str(h, "nvtd:user", "");
    conf_check_cred("User", c.user);
    c.passwd = conf_str(h, "nvtd:passwd", "");
    conf_check_cred("passwd", c.passwd);
    c.readonly = conf_get_key_int(h, "nvtd:readonly", 0);
    c.max_clients = conf_get_key_int(h, "nvtd:max_clients", 0);
    c.read_timeout_ms = conf_seconds_ms(h, "nvtd:read_timeout", 5, 3000);
    c.idle_timeout_ms = conf_seconds_ms(h, "nvtd:idle_session_timeout", 600, 15000);
    c.read_bs = conf_size(h, "nvtd:bs", 2097152, 4096);
    c.write_bs = c.read_bs;
    c.upload_max_rate = conf_size(h, "nvtd:upload_max_rate", 0, 0);
    c.download_max_rate = conf_size(h, "nvtd:download_max_rate", 0, 0);
    c.passive_begin_port = conf_get_key_int(h, "nvtd:passive_begin_port", 0);
    c.passive_end_port = conf_get_key_int(h, "nvtd:passive_end_port", 0);
    c.ftp_root = conf_str(h, "nvtd:ftp_root", "");
    c.pasv_address = conf_str(h, "nvtd:pasv_address", "");
}

void app_priv_conf_init(conf_handle *h, const char *path) {
    nvtd_conf &c = g_nvtd_conf;
    c.conf_path = path ? path : "";
    conf_read_nvtd(h);
    c.login_fail_count = conf_int_min(h, "login:login_fail_count", 5, 0);
    c.login_fail_wait_m = conf_int_min(h, "login:login_fail_wait_m", 15, 1);
    c.login_file = conf_str(h, "login:login_file", "");
    c.login_file_size = conf_size(h, "login:login_file_size", 2097152, 0);
}

/// The debug side; a loaded file sets both ports, 0 when the key is absent.
static void conf_read_debug(conf_handle *h) {
    g_app.panic_dump_dir = conf_str(h, "debug:panic_dump_dir", "");
    g_app.debug_pipe_name = conf_str(h, "debug:debug_pipe_name", "");
    g_app.shell_port = conf_get_key_int(h, "debug:shell_server_port", 0);
    g_app.shell_addr = conf_str(h, "debug:shell_server_addr", "");
    g_app.http_port = conf_get_key_int(h, "debug:http_server_port", 0);
    g_app.http_addr = conf_str(h, "debug:http_server_addr", "");
    g_app.http_user = conf_str(h, "debug:http_server_user", "");
    g_app.http_pwd = conf_str(h, "debug:http_server_pwd", "");
}

int app_conf_file_init(const char *path) {
    conf_handle *h = conf_load(path);
    if (h == nullptr) {
        LOG2(LOG2_DBG, "main", "load [%s] error\n", path);
        return -1;
    }
    app_priv_conf_init(h, path);
    conf_read_debug(h);
    conf_free(h);
    return 0;
}

std::string nvtd_conf_quote(std::string_view value) {
    if (value.empty())
        return "''";
    if (value[0] != '\'' && value.find_first_of(" \t;") != std::string_view::npos)
        return "'" + std::string(value) + "'";
    return std::string(value);
}

static void dump_int(std::string *out, const char *name, int value) {
    *out += pal_format("%s=%d\n", name, value);
}

static void dump_str(std::string *out, const char *name, const std::string &value) {
    *out += name;
    *out += '=';
    *out += nvtd_conf_quote(value);
    *out += '\n';
}

static void dump_ftp(std::string *out) {
    const nvtd_conf &c = g_nvtd_conf;
    dump_int(out, "ftp_server_port", c.ftp_port);
    dump_str(out, "ftp_server_addr", c.ftp_addr);
    dump_int(out, "ftps_server_port", c.ftps_port);
    dump_str(out, "ftps_server_addr", c.ftps_addr);
    dump_str(out, "ftps_key_file", c.key_file);
    dump_str(out, "ftps_crt_file", c.crt_file);
    dump_str(out, "ftpd_login_user", c.user);
    dump_str(out, "ftpd_login_passwd", c.passwd);
    dump_int(out, "ftpd_file_readonly", c.readonly);
    dump_int(out, "ftpd_read_bs", c.read_bs);
    dump_int(out, "ftpd_max_clients", c.max_clients);
    dump_int(out, "ftpd_read_timeout", c.read_timeout_ms);
    dump_int(out, "ftpd_idle_session_timeout", c.idle_timeout_ms);
    dump_int(out, "ftpd_upload_max_rate", c.upload_max_rate);
    dump_int(out, "ftpd_download_max_rate", c.download_max_rate);
    dump_int(out, "ftpd_passive_begin_port", c.passive_begin_port);
    dump_int(out, "ftpd_passive_end_port", c.passive_end_port);
    dump_str(out, "ftp_root", c.ftp_root);
    dump_str(out, "pasv_address", c.pasv_address);
    dump_int(out, "http_server_port", g_app.http_port);
    dump_str(out, "http_server_addr", g_app.http_addr);
    dump_int(out, "debug_server_port", g_app.shell_port);
    dump_str(out, "debug_server_addr", g_app.shell_addr);
    dump_str(out, "panic_dump_dir", g_app.panic_dump_dir);
    dump_str(out, "ftpd_login_file", c.login_file);
    dump_int(out, "ftpd_login_file_size", c.login_file_size);
    dump_int(out, "ftpd_login_fail_count", c.login_fail_count);
    dump_int(out, "ftpd_login_fail_wait_m", c.login_fail_wait_m);
}

static void dump_debug(std::string *out) {
    dump_str(out, "panic_dump_dir", g_app.panic_dump_dir);
    dump_str(out, "debug_pipe_name", g_app.debug_pipe_name);
    dump_int(out, "debug_server_port", g_app.shell_port);
    dump_str(out, "debug_server_addr", g_app.shell_addr);
    dump_int(out, "http_server_port", g_app.http_port);
    dump_str(out, "http_server_addr", g_app.http_addr);
}

std::string app_priv_conf_dump() {
    std::string out;
    dump_ftp(&out);
    dump_debug(&out);
    out += log2_settings_dump();
    return out;
}
