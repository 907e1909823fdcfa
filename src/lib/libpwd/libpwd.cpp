// libpwd.cpp - the configured credentials and the check of one login attempt.
// The buffers are written before any listener starts and read without a lock afterwards.
#include "libpwd.h"

#include <cstring>

#include "log.h"
#include "pal.h"
#include "pwd_internal.h"

#define PWD_TAG "pwd"

namespace {
struct pwd_creds {
    char user[PWD_TEXT_SIZE];
    char passwd[PWD_TEXT_SIZE];
    char sha[PWD_TEXT_SIZE];
};
}  // namespace

static pwd_creds g_creds;

// Clears a buffer in a way the compiler may not drop as a dead store.
static void pwd_wipe(char *buf, size_t len) {
    volatile char *p = buf;
    for (size_t i = 0; i < len; i++)
        p[i] = 0;
}

void libpwd_set_credentials(const char *user, const char *passwd) {
    pwd_wipe(g_creds.user, sizeof g_creds.user);
    pwd_wipe(g_creds.passwd, sizeof g_creds.passwd);
    pwd_wipe(g_creds.sha, sizeof g_creds.sha);
    (void)pal_strlcpy(g_creds.user, user ? user : "");
    if (passwd && *passwd) {
        (void)pal_strlcpy(g_creds.passwd, passwd);
        pwd_sha_encode(g_creds.passwd, g_creds.sha);
    }
}

int libpwd_check_user_pwd(const char *addr, const char *user, const char *pwd,
                          std::span<char> err) {
    if (!addr)
        addr = "";
    if (int rc = ipcheck_check(addr, err); rc != PWD_OK) {
        LOG2(LOG2_WARN, PWD_TAG, "ip=[%s] error: %s\n", addr, err.data());
        return rc;
    }
    const char *u = user ? user : "";
    if (strcmp(u, g_creds.user) != 0) {
        (void)pal_strlcpy(err, "Wrong user or password");
        // ":" is what some clients send to probe; it is neither counted nor logged.
        if (strcmp(u, ":") != 0) {
            LOG2(LOG2_WARN, PWD_TAG, "ip=[%s] wrong user [%s]\n", addr, u);
            ipcheck_login_fail(addr, u);
        }
        return PWD_WRONG;
    }
    const char *p = pwd ? pwd : "";
    bool match = strcmp(p, g_creds.passwd) == 0 || (g_creds.sha[0] && strcmp(p, g_creds.sha) == 0);
    if (!match) {
        // The password itself never reaches a log.
        LOG2(LOG2_WARN, PWD_TAG, "ip=[%s] wrong pwd [%s]\n", addr, "***");
        (void)pal_strlcpy(err, "Wrong user or password");
        ipcheck_login_fail(addr, u);
        return PWD_WRONG;
    }
    ipcheck_login_ok(addr, u);
    LOG2(LOG2_DBG, PWD_TAG, "ip=[%s] [%s] login_ok\n", addr, u);
    return PWD_OK;
}



void libpwd_exit() {
    pwd_wipe(g_creds.user, sizeof g_creds.user);
    pwd_wipe(g_creds.passwd, sizeof g_creds.passwd);
    pwd_wipe(g_creds.sha, sizeof g_creds.sha);
    ipcheck_table_exit();
}
