// nvtd_opt.cpp - the -s key table and the one-off actions it triggers: credential
// generation, certificate creation and the utilities, plus the single-instance check, which
// takes an answer on the FTP port of 127.0.0.1 for another instance serving.
#include "conf.h"
#include "libapp.h"
#include "log.h"
#include "net.h"
#include "nvtd_conf.h"
#include "pal.h"

#include <string>

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
    if (create(g_nvtd_conf.key_file.c_str(), g_nvtd_conf.crt_file.c_str()) != 0)
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
    int port = g_nvtd_conf.ftp_port >= 2 ? g_nvtd_conf.ftp_port : g_nvtd_conf.ftps_port;
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
