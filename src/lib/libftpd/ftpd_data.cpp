// ftpd_data.cpp - data connections: PORT, EPRT, PASV, EPSV.
#include "ftpd_internal.h"

int do_port(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_eprt(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_pasv(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int do_epsv(ftp_session *s) {
    ftp_relply(s, 502, "Command not implemented.");
    return 0;
}

int get_fd(ftp_session *s) {
    ftp_relply(s, 425, "Use PORT or PASV first.");
    return -1;
}

void data_close(ftp_session *s) {
    if (s->data.handle != 0) {
        net_close(&s->data);
        s->data.handle = 0;
    }
    if (s->pasv != nullptr) {
        sock_tcp_server_wait_close(s->pasv);
        s->pasv = nullptr;
    }
}
