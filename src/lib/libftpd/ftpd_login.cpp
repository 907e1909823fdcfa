// ftpd_login.cpp - login (USER, PASS), the session directory (CWD, CDUP, PWD), client paths
// resolved against it, and the readonly check of the changing commands.
#include <cstring>
#include <string>

#include "ftpd_internal.h"
#include "ftpd_reply.h"
#include "libpwd.h"
#include "log.h"

int do_user(ftp_session *s) {
    if (ftp_tls_required(s))
        return 0;
    const std::string &conf_user = g_ftpd_conf.user;
    const char *expected = conf_user.empty() ? "anonymous" : conf_user.c_str();
    if (s->arg && strcmp(s->arg, expected) != 0) {
        (void)ftp_relply(s, 530, FTP_T_USER_WRONG);
        return 0;
    }
    // A new USER starts a new login: what an earlier PASS allowed ends here.
    s->logged_in = 0;
    s->has_user = s->arg != nullptr;
    (void)pal_strlcpy(s->user, s->arg ? s->arg : "");
    (void)ftp_relply(s, 331, FTP_T_USER_OK);
    return 0;
}

int do_pass(ftp_session *s) {
    if (!g_ftpd_conf.user.empty()) {
        char err[PWD_TEXT_SIZE] = "";
        int rc = libpwd_check_user_pwd(s->peer_addr, s->has_user ? s->user : nullptr, s->arg,
                                       err);
        if (rc != PWD_OK) {
            (void)ftp_relply(s, 530, "%s", err);
            return 0;
        }
    }
    if (int rc = vfs_chdir(s->mount, s->cdir, "/"); rc < 0) {
        LOG2(LOG2_ERR, "ftpd", "chdir [%s] error: %s\n", "/", vfs_strerror(s->mount));
        (void)ftp_relply(s, 550, FTP_T_CWD_FAILED);
        return 0;
    }
    (void)vfs_ioctl(s->mount, VFS_IOC_NOP, nullptr, 420);
    s->logged_in = 1;
    (void)ftp_relply(s, 230, FTP_T_LOGIN_OK);
    return 0;
}

static int ftp_chdir(ftp_session *s, const char *path) {
    if (!path || !*path || vfs_chdir(s->mount, s->cdir, path) < 0) {
        if (path && *path)
            LOG2(LOG2_ERR, "ftpd", "chdir_mt [%s] error: %s\n", path, vfs_strerror(s->mount));
        (void)ftp_relply(s, 550, FTP_T_CWD_FAILED);
        return 0;
    }
    (void)ftp_relply(s, 250, FTP_T_CWD_OK);
    return 0;
}

int do_cwd(ftp_session *s) {
    return ftp_chdir(s, s->arg);
}

int do_cdup(ftp_session *s) {
    return ftp_chdir(s, "..");
}

int do_pwd(ftp_session *s) {
    (void)ftp_relply(s, 257, "%s", ftp_quote_path(s->cdir).c_str());
    return 0;
}

// Every client path is resolved against the session directory, absolute ones included,
// so that the VFS always gets a clean path inside the session's root.
int ftp_resolve(ftp_session *s, const char *path, char (&out)[VFS_PATH_MAX]) {
    LOG2(LOG2_VERB, "ftpd", "ctx->cdir=[%s] path=[%s]\n", s->cdir, path ? path : "");
    if (vfs_realpath(s->mount, s->cdir, path ? path : "", out) < 0) {
        LOG2(LOG2_DBG, "ftpd", "path too long [%.64s...]\n", path ? path : "");
        return -1;
    }
    LOG2(LOG2_VERB, "ftpd", "[%s]\n", out);
    return 0;
}

int ftp_check_perm(ftp_session *s) {
    if (!g_ftpd_conf.readonly)
        return 0;
    (void)ftp_relply(s, 550, FTP_T_NO_PERM);
    return -1;
}
