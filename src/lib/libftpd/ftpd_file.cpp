// ftpd_file.cpp - file commands and fixed replies.
#include "ftpd_internal.h"

int do_mkd(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_rmd(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_dele(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_rnfr(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_rnto(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_size(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_mdtm(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_opts(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_syst(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_feat(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_help(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_noop(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

