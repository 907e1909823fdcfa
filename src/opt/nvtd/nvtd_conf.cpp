// nvtd_conf.cpp - the configuration file read through the settings tables (the FTP
// server's and the debug table here), the credential check and the dump; the -s keys and
// their one-off actions (credentials, certificate, utilities); the single-instance check on
// the FTP port of 127.0.0.1.
#include "nvtd_conf.h"

#include "conf.h"
#include "libapp.h"
#include "log.h"
#include "net.h"
#include "pal.h"
#include "update.h"

#include <cstdio>
#include <span>
#include <string>
#include <vector>

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

/// The reader's check of the user name and password rows.
static void conf_check_row(const ftpd_setting &row) {
    const char *what = row.field == &g_ftpd_conf.user ? "User" : "passwd";
    conf_check_cred(what, *static_cast<const std::string *>(row.field));
}

void app_priv_conf_init(conf_handle *h, const char *path) {
    g_ftpd_conf.conf_path = path ? path : "";
    ftpd_settings_read(ftpd_settings(), h, conf_check_row);
}

// Parts of the dump for the debug settings.
enum : unsigned {
    APP_DUMP_FTP = 0,    ///< shown in the FTP block too, between its two parts
    APP_DUMP_DEBUG = 1,  ///< not in the FTP block
};

static constexpr app_rec *a = &g_app;

// The debug settings, in the order the FTP block of the dump shows them (and the -s keys
// are listed). A loaded file always sets both ports, 0 when the key is absent; without a
// file the ports of app_priv_init_defaults stay.
static constexpr ftpd_setting app_rows[] = {
    {.key = "debug:http_server_port", .dump = "http_server_port", .field = &a->http_port,
     .opt = "http_server_port"},
    {.key = "debug:http_server_addr", .dump = "http_server_addr", .type = FTPD_SET_STR,
     .field = &a->http_addr},
    {.key = "debug:shell_server_port", .dump = "debug_server_port", .field = &a->shell_port,
     .opt = "debug_server_port"},
    {.key = "debug:shell_server_addr", .dump = "debug_server_addr", .type = FTPD_SET_STR,
     .field = &a->shell_addr},
    {.key = "debug:panic_dump_dir", .dump = "panic_dump_dir", .type = FTPD_SET_STR,
     .field = &a->panic_dump_dir},
    {.key = "debug:debug_pipe_name", .dump = "debug_pipe_name", .type = FTPD_SET_STR,
     .field = &a->debug_pipe_name, .part = APP_DUMP_DEBUG},
    {.key = "debug:http_server_user", .dump = nullptr, .type = FTPD_SET_STR,
     .field = &a->http_user},
    {.key = "debug:http_server_pwd", .dump = nullptr, .type = FTPD_SET_STR,
     .field = &a->http_pwd},
};

// The debug block of the dump lists the same settings once more, in its own order.
static const char *const debug_block[] = {
    "panic_dump_dir",    "debug_pipe_name",  "debug_server_port",
    "debug_server_addr", "http_server_port", "http_server_addr",
};

static void dump_named(const char *name, std::string *out) {
    const ftpd_setting *row = ftpd_setting_find(app_rows, name);
    PAL_ASSERT_RET(row != nullptr, );
    ftpd_setting_dump(*row, out);
}

int app_conf_file_init(const char *path) {
    conf_handle *h = conf_load(path);
    if (h == nullptr) {
        LOG2(LOG2_DBG, "main", "load [%s] error\n", path);
        return -1;
    }
    app_priv_conf_init(h, path);
    ftpd_settings_read(app_rows, h, nullptr);
    conf_free(h);
    return 0;
}

std::string app_priv_conf_dump() {
    std::string out;
    ftpd_settings_dump(ftpd_settings(), FTPD_DUMP_SERVER, &out);
    ftpd_settings_dump(app_rows, APP_DUMP_FTP, &out);
    ftpd_settings_dump(ftpd_settings(), FTPD_DUMP_LOGIN, &out);
    for (const char *name : debug_block)
        dump_named(name, &out);
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

namespace {
/// A -s key that triggers an action.
struct nvtd_opt_row {
    const char *name;
    void *var;
    int type;
};
}  // namespace

static const nvtd_opt_row nvtd_opt_rows[] = {
    {"create_user_pwd", &g_opt.create_user_pwd, APP_KEY_INT},
    {"new_key_x509_file", &g_opt.new_key_x509_file, APP_KEY_INT},
    {"show_app_info", &g_opt.show_app_info, APP_KEY_INT},
    {"update_check_url", &g_opt.update_check_url, APP_KEY_STR},
    {"update_stability_minute", &g_opt.update_stability_minute, APP_KEY_INT},
    {"if", &g_opt.in_url, APP_KEY_STR},
    {"of", &g_opt.out_file, APP_KEY_STR},
    {"new_wconf", &g_opt.new_wconf, APP_KEY_STR},
    {"old_rconf", &g_opt.old_rconf, APP_KEY_STR},
    {"conf_file", &g_opt.conf_file, APP_KEY_STR},
    {"conf_get_key", &g_opt.conf_get_key, APP_KEY_STR},
    {"ver_cmp1", &g_opt.ver_cmp1, APP_KEY_STR},
    {"ver_cmp2", &g_opt.ver_cmp2, APP_KEY_STR},
};

static std::vector<app_key> g_keys;

// A -s value is stored as given (a plain decimal for numbers), without the file's bounds.
static void keys_add_settings(std::span<const ftpd_setting> rows) {
    for (const ftpd_setting &r : rows) {
        if (r.opt == nullptr)
            continue;
        int type = r.type == FTPD_SET_STR ? APP_KEY_STR : APP_KEY_INT;
        g_keys.push_back({r.opt, r.field, type, {}, false});
    }
}

app_key *nvtd_keys_init() {
    g_keys.clear();
    keys_add_settings(app_rows);
    keys_add_settings(ftpd_settings());
    for (const nvtd_opt_row &r : nvtd_opt_rows)
        g_keys.push_back({r.name, r.var, r.type, {}, false});
    g_keys.push_back({nullptr, nullptr, 0, {}, false});
    return g_keys.data();
}

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

// ---------------------------------------------------------------------------------------
// Utilities: the first row whose settings are complete runs and its status ends the process.

static int util_show_app_info() {
    printf("plat=%s\n", "linux");
    printf("arch=%s\n", os_machine_name().c_str());
    return UPDATE_EXIT_OK;
}

static int util_download() {
    return update_download(g_opt.in_url.c_str(), g_opt.out_file.c_str());
}

static int util_conf_merge() {
    return update_conf_merge(g_opt.new_wconf.c_str(), g_opt.old_rconf.c_str());
}

static int util_update_check() {
    char ver[32] = "";
    return update_check(g_opt.update_check_url.c_str(), g_app.app_ver, ver);
}

static int util_conf_get() {
    std::string value;
    int rc = update_conf_get(g_opt.conf_file.c_str(), g_opt.conf_get_key.c_str(), &value);
    if (rc == UPDATE_EXIT_OK)
        printf("%s\n", value.c_str());
    return rc;
}

// Exit status 1 says that the first version is the greater one.
static int util_ver_cmp() {
    return update_ver_cmp(g_opt.ver_cmp1.c_str(), g_opt.ver_cmp2.c_str()) > 0 ? 1 : 0;
}

namespace {
/// A utility: its settings are complete when every named text is set.
struct nvtd_util {
    const int *flag;            ///< non-zero selects it (null: the texts decide)
    const std::string *text1;   ///< must be set (null: not needed)
    const std::string *text2;   ///< must be set (null: not needed)
    int (*run)();
};
}  // namespace

static const nvtd_util nvtd_utils[] = {
    {&g_opt.show_app_info, nullptr, nullptr, util_show_app_info},
    {nullptr, &g_opt.in_url, &g_opt.out_file, util_download},
    {nullptr, &g_opt.new_wconf, &g_opt.old_rconf, util_conf_merge},
    {nullptr, &g_opt.update_check_url, nullptr, util_update_check},
    {nullptr, &g_opt.conf_file, &g_opt.conf_get_key, util_conf_get},
    {nullptr, &g_opt.ver_cmp1, &g_opt.ver_cmp2, util_ver_cmp},
};

static bool util_selected(const nvtd_util &u) {
    if (u.flag != nullptr)
        return *u.flag != 0;
    return (u.text1 == nullptr || !u.text1->empty()) && (u.text2 == nullptr || !u.text2->empty());
}

/// Runs the first selected utility and ends the process with its status; returns when
/// none is selected.
static void utility_run() {
    for (const nvtd_util &u : nvtd_utils) {
        if (!util_selected(u))
            continue;
        int rc = u.run();
        fflush(stdout);
        app_exit(rc);
    }
}

int app_priv_opt_set() {
    if (g_opt.create_user_pwd != 0)
        app_exit(create_user_pwd() == 0 ? 0 : 1);
    if (g_opt.new_key_x509_file != 0)
        app_exit(create_key_x509() == 0 ? 0 : 1);
    utility_run();
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
