// libpwd.cpp - the configured credentials and the check of one login attempt.
// The buffers are written before any listener starts and read without a lock afterwards.
#include "libpwd.h"

#include <atomic>
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

// Results of the checks, by PWD_OK, PWD_WRONG and PWD_LOCKED.
static std::atomic<uint64_t> g_results[3];

static int pwd_counted(int rc) {
    g_results[rc].fetch_add(1, std::memory_order_relaxed);
    return rc;
}

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

// Compares the given text with a configured one without an early exit: the given text is
// copied into a zeroed buffer of the configured one's size and every byte of both is
// compared, so the time tells neither where they differ nor how long the configured text
// is. A given text too long to fit cannot be equal.
static bool pwd_equal(const char *given, const char (&want)[PWD_TEXT_SIZE]) {
    char pad[PWD_TEXT_SIZE] = {};
    bool fits = pal_strlcpy(pad, given) >= 0;
    unsigned diff = 0;
    for (size_t i = 0; i < PWD_TEXT_SIZE; i++)
        diff |= static_cast<unsigned char>(pad[i] ^ want[i]);
    pwd_wipe(pad, sizeof pad);
    return fits & (diff == 0);
}

// The plain and the "{SHA}" form are both compared, whatever the first gave.
static bool pwd_matches(const char *pwd) {
    bool plain = pwd_equal(pwd, g_creds.passwd);
    bool sha = pwd_equal(pwd, g_creds.sha);
    return plain | sha;
}

int libpwd_check_user_pwd(const char *addr, const char *user, const char *pwd,
                          std::span<char> err) {
    if (!addr)
        addr = "";
    const char *u = user ? user : "";
    bool user_ok = pwd_equal(u, g_creds.user);
    bool pwd_ok = pwd_matches(pwd ? pwd : "");
    // ":" is what some clients send to probe; it is neither counted nor logged.
    bool probe = !user_ok && strcmp(u, ":") == 0;
    int outcome = user_ok && pwd_ok ? IPCHECK_ACCEPTED : probe ? IPCHECK_UNCOUNTED : IPCHECK_WRONG;
    if (int rc = ipcheck_attempt(addr, u, outcome, err); rc != PWD_OK) {
        LOG2(LOG2_WARN, PWD_TAG, "ip=[%s] error: %s\n", addr, err.data());
        return pwd_counted(rc);
    }
    if (outcome == IPCHECK_ACCEPTED) {
        LOG2(LOG2_DBG, PWD_TAG, "ip=[%s] [%s] login_ok\n", addr, u);
        return pwd_counted(PWD_OK);
    }
    (void)pal_strlcpy(err, "Wrong user or password");
    if (!user_ok && !probe)
        LOG2(LOG2_WARN, PWD_TAG, "ip=[%s] wrong user [%s]\n", addr, u);
    else if (user_ok)  // the password itself never reaches a log
        LOG2(LOG2_WARN, PWD_TAG, "ip=[%s] wrong pwd [%s]\n", addr, "***");
    return pwd_counted(PWD_WRONG);
}

void libpwd_stats_get(pwd_stats *out) {
    out->logins_ok = g_results[PWD_OK].load(std::memory_order_relaxed);
    out->logins_failed = g_results[PWD_WRONG].load(std::memory_order_relaxed);
    out->logins_locked = g_results[PWD_LOCKED].load(std::memory_order_relaxed);
    out->locked_now = ipcheck_locked_count();
}

void libpwd_exit() {
    pwd_wipe(g_creds.user, sizeof g_creds.user);
    pwd_wipe(g_creds.passwd, sizeof g_creds.passwd);
    pwd_wipe(g_creds.sha, sizeof g_creds.sha);
    ipcheck_table_exit();
}
