// ftpd_list.cpp - listings: LIST, NLST, STAT.
#include "ftpd_internal.h"

int do_list(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_nlst(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_stat(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

