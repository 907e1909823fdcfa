// ftpd_file.cpp - commands on single files and directories (MKD, RMD, DELE, RNFR, RNTO,
// SIZE, MDTM), OPTS and the fixed informational replies (SYST, FEAT, HELP, NOOP).
#include "ftpd_internal.h"
#include "ftpd_reply.h"

#include "log.h"

static constexpr const char *TAG = "ftpd";

int do_mkd(ftp_session *s) {
    const char *path = s->path;  // resolved by the dispatcher
    if (ftp_check_perm(s) != 0)
        return 0;
    if (vfs_mkdir(s->mount, path) < 0) {
        LOG2(LOG2_ERR, TAG, "mkdir [%s] error: %s\n", path, vfs_strerror(s->mount));
        ftp_relply(s, 550, FTP_T_MKD_FAILED);
        return 0;
    }
    ftp_relply(s, 257, "%s", ftp_quote_path(path).c_str());
    return 0;
}

int do_rmd(ftp_session *s) {
    const char *path = s->path;  // resolved by the dispatcher
    if (ftp_check_perm(s) != 0)
        return 0;
    if (vfs_rmdir(s->mount, path) < 0) {
        LOG2(LOG2_ERR, TAG, "rmdir [%s] error: %s\n", path, vfs_strerror(s->mount));
        ftp_relply(s, 550, FTP_T_RMD_FAILED);
        return 0;
    }
    ftp_relply(s, 250, FTP_T_RMD_OK);
    return 0;
}

int do_dele(ftp_session *s) {
    const char *path = s->path;  // resolved by the dispatcher
    if (ftp_check_perm(s) != 0)
        return 0;
    if (vfs_remove(s->mount, path) < 0) {
        LOG2(LOG2_ERR, TAG, "rm [%s] error: %s\n", path, vfs_strerror(s->mount));
        ftp_relply(s, 550, FTP_T_DELE_FAILED);
        return 0;
    }
    ftp_relply(s, 250, FTP_T_DELE_OK);
    return 0;
}

int do_rnfr(ftp_session *s) {
    const char *path = s->path;  // resolved by the dispatcher
    pal_strlcpy(s->rnfr, path);
    s->has_rnfr = 1;
    ftp_relply(s, 350, FTP_T_RNFR_OK);
    return 0;
}

int do_rnto(ftp_session *s) {
    const char *path = s->path;  // resolved by the dispatcher
    if (ftp_check_perm(s) != 0)
        return 0;
    if (!s->has_rnfr) {
        ftp_relply(s, 503, FTP_T_RNFR_FIRST);
        return 0;
    }
    if (vfs_rename(s->mount, s->rnfr, path, true) < 0) {
        LOG2(LOG2_ERR, TAG, "rename [%s] [%s] error: %s\n", s->rnfr, path,
             vfs_strerror(s->mount));
        ftp_relply(s, 503, FTP_T_RNTO_FAILED);
        return 0;
    }
    s->has_rnfr = 0;
    s->rnfr[0] = '\0';
    ftp_relply(s, 250, FTP_T_RNTO_OK);
    return 0;
}

/// Status of a regular file at the argument's path. Returns 0, or -1 after logging.
static int regular_stat(ftp_session *s, const char *path, vfs_stat_rec *st) {
    if (vfs_stat(s->mount, path, st) < 0) {
        LOG2(LOG2_ERR, TAG, "stat [%s] error: %s\n", path, vfs_strerror(s->mount));
        return -1;
    }
    return (st->kind & VFS_K_FILE) ? 0 : -1;
}

int do_size(ftp_session *s) {
    const char *path = s->path;  // resolved by the dispatcher
    vfs_stat_rec st{};
    if (regular_stat(s, path, &st) != 0) {
        ftp_relply(s, 550, FTP_T_SIZE_FAILED);
        return 0;
    }
    ftp_relply(s, 213, "%lli", static_cast<long long>(st.size));
    return 0;
}

int do_mdtm(ftp_session *s) {
    const char *path = s->path;  // resolved by the dispatcher
    vfs_stat_rec st{};
    if (regular_stat(s, path, &st) != 0) {
        ftp_relply(s, 550, FTP_T_MDTM_FAILED);
        return 0;
    }
    pal_tm tm{};
    os_time_split(st.mtime.sec, true, &tm);
    ftp_relply(s, 213, "%04d%02d%02d%02d%02d%02d", tm.year, tm.mon, tm.mday, tm.hour, tm.min,
               tm.sec);
    return 0;
}

int do_opts(ftp_session *s) {
    if (s->arg != nullptr &&
        (pal_iequals(s->arg, "UTF8 ON") || pal_iequals(s->arg, "UTF8 OFF") ||
         pal_iequals(s->arg, "UTF8"))) {
        ftp_relply(s, 200, FTP_T_UTF8_ALWAYS);
        return 0;
    }
    if (g_ftpd_conf.ftp_extensions && s->arg != nullptr &&
        pal_iequals(std::string_view(s->arg).substr(0, 4), "MLST") &&
        (s->arg[4] == ' ' || s->arg[4] == '\0'))
        return ftp_opts_mlst(s, s->arg[4] ? s->arg + 5 : "");
    ftp_relply(s, 501, FTP_T_OPTS_UNKNOWN);
    return 0;
}

int do_syst(ftp_session *s) {
    ftp_relply(s, 215, FTP_T_SYST);
    return 0;
}

int do_noop(ftp_session *s) {
    ftp_relply(s, 200, FTP_T_NOOP_OK);
    return 0;
}

int do_feat(ftp_session *s) {
    static const char *const k_feat[] = {"EPRT", "EPSV", "MDTM", "PASV",
                                         "REST STREAM", "SIZE", "TVFS", "UTF8"};
    ftp_lrelply(s, 211, FTP_T_FEAT_BEGIN);
    if (g_ftpd_conf.ftp_extensions && ftpd_tls_conf())
        ftp_reply_line(s, "AUTH TLS");
    for (const char *f : k_feat)
        ftp_reply_line(s, "%s", f);
    if (g_ftpd_conf.ftp_extensions) {
        ftp_reply_line(s, "MFMT");
        ftp_reply_line(s, "%s", ftp_mlst_feat(s).c_str());
        ftp_reply_line(s, "PBSZ");
        ftp_reply_line(s, "PROT");
    }
    ftp_relply(s, 211, FTP_T_FEAT_END);
    return 0;
}

int do_help(ftp_session *s) {
    static const char *const k_help[] = {
        "ABOR ACCT ALLO APPE CDUP CWD  DELE EPRT EPSV FEAT HELP LIST MDTM MKD",
        "MODE NLST NOOP OPTS PASS PASV PORT PWD  QUIT REIN REST RETR RMD  RNFR",
        "RNTO SITE SIZE SMNT STAT STOR STOU STRU SYST TYPE USER XCUP XCWD XMKD",
        "XPWD XRMD",
    };
    ftp_lrelply(s, 214, FTP_T_HELP_BEGIN);
    for (const char *h : k_help)
        ftp_reply_line(s, "%s", h);
    ftp_relply(s, 214, FTP_T_HELP_END);
    return 0;
}
