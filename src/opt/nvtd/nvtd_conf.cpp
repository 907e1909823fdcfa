// nvtd_conf.cpp - the server's configuration keys with their defaults and lower bounds, the
// credential check and the dump; the -s keys and their one-off actions (credentials,
// certificate, utilities); the single-instance check on the FTP port of 127.0.0.1.
// Size keys beyond 32 bits are cut to INT32_MAX before their own lower bound applies.
#include "nvtd_conf.h"

#include "conf.h"
#include "libapp.h"
#include "log.h"
#include "net.h"
#include "pal.h"

#include <cstdint>
#include <string>

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
    ftpd_conf &c = g_ftpd_conf;
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
    ftpd_conf &c = g_ftpd_conf;
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
    const ftpd_conf &c = g_ftpd_conf;
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

// ---------------------------------------------------------------------------------------
// -s keys and the actions they trigger.

namespace {
/// Values given with -s; they only trigger actions and are never written back.
struct nvtd_opt_vals {
    int create_user_pwd = 0;
    int new_key_x509_file = 0;
    int show_app_info = 0;
    std::string update_check_url;
    int update_stability_minute = 0;
    std::string in_url;  // "if"
    std::string out_file;  // "of"
    std::string new_wconf;
    std::string old_rconf;
    std::string conf_file;
    std::string conf_get_key;
    std::string ver_cmp1;
    std::string ver_cmp2;
};
}  // namespace

static nvtd_opt_vals g_opt;

app_key g_nvtd_keys[] = {
    {"http_server_port", &g_app.http_port, APP_KEY_INT, {}, false},
    {"debug_server_port", &g_app.shell_port, APP_KEY_INT, {}, false},
    {"create_user_pwd", &g_opt.create_user_pwd, APP_KEY_INT, {}, false},
    {"new_key_x509_file", &g_opt.new_key_x509_file, APP_KEY_INT, {}, false},
    {"show_app_info", &g_opt.show_app_info, APP_KEY_INT, {}, false},
    {"update_check_url", &g_opt.update_check_url, APP_KEY_STR, {}, false},
    {"update_stability_minute", &g_opt.update_stability_minute, APP_KEY_INT, {}, false},
    {"if", &g_opt.in_url, APP_KEY_STR, {}, false},
    {"of", &g_opt.out_file, APP_KEY_STR, {}, false},
    {"new_wconf", &g_opt.new_wconf, APP_KEY_STR, {}, false},
    {"old_rconf", &g_opt.old_rconf, APP_KEY_STR, {}, false},
    {"conf_file", &g_opt.conf_file, APP_KEY_STR, {}, false},
    {"conf_get_key", &g_opt.conf_get_key, APP_KEY_STR, {}, false},
    {"ver_cmp1", &g_opt.ver_cmp1, APP_KEY_STR, {}, false},
    {"ver_cmp2", &g_opt.ver_cmp2, APP_KEY_STR, {}, false},
    {nullptr, nullptr, 0, {}, false},
};

static const char cred_chars[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

/// True when text holds a digit, a lower-case and an upper-case letter.
static bool cred_mixed(const std::string &text) {
    bool digit = false, lower = false, upper = false;
    for (char ch : text) {
        digit |= ch >= '0' && ch <= '9';
        lower |= ch >= 'a' && ch <= 'z';
        upper |= ch >= 'A' && ch <= 'Z';
    }
    return digit && lower && upper;
}

/// Eight random characters of the 62, drawn again until they mix all three kinds. Bytes
/// of 248 and up are skipped so that every character is equally likely.
static int cred_draw(std::string *out) {
    do {
        out->clear();
        while (out->size() < 8) {
            unsigned char bytes[16];
            if (os_random(bytes, sizeof bytes) != 0)
                return -1;
            for (unsigned char b : bytes) {
                if (b < 248 && out->size() < 8)
                    out->push_back(cred_chars[b % 62]);
            }
        }
    } while (!cred_mixed(*out));
    return 0;
}

/// Writes a new user name and password into the configuration file, comments kept.
static int create_user_pwd() {
    std::string user, pwd;
    if (cred_draw(&user) != 0 || cred_draw(&pwd) != 0) {
        LOG2(int(LOG2_ERR) | LOG2_F_OSERR, "main", "no random bytes for the credentials: ");
        return -1;
    }
    const char *path = g_app.conf_path.c_str();
    conf_handle *h = conf_load(path);
    if (h == nullptr) {
        LOG2(LOG2_ERR, "main", "load [%s] error, user and password not written\n", path);
        return -1;
    }
    int rc = conf_set_key(h, "nvtd:user", user.c_str());
    if (rc == 0)
        rc = conf_set_key(h, "nvtd:passwd", pwd.c_str());
    if (rc == 0)
        rc = conf_save(h);
    conf_free(h);
    if (rc != 0) {
        LOG2(LOG2_ERR, "main", "save [%s] error, user and password not written\n", path);
        return -1;
    }
    LOG2(LOG2_NOTI, "main", "new user and password written to [%s]\n", path);
    return 0;
}

static int create_key_x509() {
    int (*create)(const char *, const char *) = g_app.hooks.x509_create_proc;
    if (create == nullptr) {
        LOG2(LOG2_ERR, "main", "certificate creation is not available in this build\n");
        return -1;
    }
    if (create(g_ftpd_conf.key_file.c_str(), g_ftpd_conf.crt_file.c_str()) != 0)
        return -1;
    LOG2(LOG2_NOTI, "main", "Certificate creation completed\n");
    return 0;
}

/// The name of the first utility whose settings are complete, or null.
static const char *utility_requested() {
    const nvtd_opt_vals &o = g_opt;
    if (o.show_app_info != 0)
        return "show_app_info";
    if (!o.in_url.empty() && !o.out_file.empty())
        return "if/of";
    if (!o.new_wconf.empty() && !o.old_rconf.empty())
        return "new_wconf/old_rconf";
    if (!o.update_check_url.empty())
        return "update_check_url";
    if (!o.conf_file.empty() && !o.conf_get_key.empty())
        return "conf_file/conf_get_key";
    if (!o.ver_cmp1.empty() && !o.ver_cmp2.empty())
        return "ver_cmp1/ver_cmp2";
    return nullptr;
}

int app_priv_opt_set() {
    if (g_opt.create_user_pwd != 0)
        app_exit(create_user_pwd() == 0 ? 0 : 1);
    if (g_opt.new_key_x509_file != 0)
        app_exit(create_key_x509() == 0 ? 0 : 1);
    const char *utility = utility_requested();
    if (utility != nullptr) {
        LOG2(LOG2_ERR, "main", "-s %s: this utility is not available in this build\n", utility);
        app_exit(1);
    }
    return 0;
}

int app_priv_check_instance() {
    LOG2(LOG2_DBG, "main", "==>\n");
    int port = g_ftpd_conf.ftp_port >= 2 ? g_ftpd_conf.ftp_port : g_ftpd_conf.ftps_port;
    if (port < 2) {
        LOG2(LOG2_DBG, "main", "no FTP listener configured, no instance to look for\n");
        return 0;
    }
    net_err e{};
    os_socket_t s = sock_connect("127.0.0.1", port, 1000, nullptr, &e);
    LOG2(LOG2_DBG, "main", "sock_connect 127.0.0.1:%d sock=%p\n", port,
         reinterpret_cast<void *>(s));
    if (s == 0)
        return 0;
    sock_tcp_close(s);
    LOG2(LOG2_ERR, "main", "Can only run one instance, bind port=[%d] failed\n", port);
    return -1;
}
