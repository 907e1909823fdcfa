// ftpd_xfer.cpp - transfers: TYPE, REST, RETR, STOR, APPE.
#include "ftpd_internal.h"

int do_type(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_rest(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_retr(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_stor(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_appe(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

