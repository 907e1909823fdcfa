// ftpd_reply.h - the texts of the server's replies, one name each, so that the same reply
// always reads the same and every text can be found in one place. Texts that take values
// are printf formats; they are macros so that the compiler checks their arguments.
#pragma once

#define FTP_T_LIST_BEGIN             "Here comes the directory listing"  // 150
#define FTP_T_RETR_BEGIN             "Opening %s mode data connection for %s (%lli bytes)."  // 150
#define FTP_T_UPLOAD_BEGIN           "OK to send data."  // 150
#define FTP_T_NOOP_OK                "NOOP ok"  // 200
#define FTP_T_MODE_S                 "Mode set to S."  // 200
#define FTP_T_PORT_OK                "PORT command successful. Consider using PASV"  // 200
#define FTP_T_STRU_F                 "Structure set to F."  // 200
#define FTP_T_TYPE_ASCII             "Swiching to ASCII mode"  // 200
#define FTP_T_TYPE_BINARY            "Swiching to Binarry mode"  // 200
#define FTP_T_UTF8_ALWAYS            "Always in UTF8 mode."  // 200
#define FTP_T_FEAT_BEGIN             "Features:"  // 211
#define FTP_T_FEAT_END               "End"  // 211
#define FTP_T_STAT_BEGIN             "FTP server status:"  // 211
#define FTP_T_STAT_END               "End of status"  // 211/213
#define FTP_T_STAT_PATH_BEGIN        "Status follows:"  // 213
#define FTP_T_HELP_BEGIN             "The following commands are recognized."  // 214
#define FTP_T_HELP_END               "Help OK."  // 214
#define FTP_T_SYST                   "Unix Type: L8"  // 215
#define FTP_T_GREETING               "(%s %s)"  // 220
#define FTP_T_GOODBYE                "Goodbye."  // 221
#define FTP_T_ABOR_NONE              "No transfer to ABOR."  // 225
#define FTP_T_ABOR_OK                "ABOR successful"  // 226
#define FTP_T_LIST_OK                "Directory send OK"  // 226
#define FTP_T_XFER_OK                "Transfer complete."  // 226
#define FTP_T_PASV_OK                "Entering Passive Mode (%u,%u,%u,%u,%u,%u)."  // 227
#define FTP_T_EPSV_OK                "Entering Extended Passive Mode (|||%d|)"  // 229
#define FTP_T_LOGIN_OK               "Login successful"  // 230
#define FTP_T_CWD_OK                 "Directory successfully changed."  // 250
#define FTP_T_DELE_OK                "Delete operation successful."  // 250
#define FTP_T_RMD_OK                 "Remove directory operation successful."  // 250
#define FTP_T_RNTO_OK                "Rename successful."  // 250
#define FTP_T_USER_OK                "Please specify the password"  // 331
#define FTP_T_REST_OK                "Restart position accepted (%lli)."  // 350
#define FTP_T_RNFR_OK                "Ready for RNTO"  // 350
#define FTP_T_IDLE_TIMEOUT           "Timeout."  // 421
#define FTP_T_LOGIN_TIMEOUT          "Login timeout."  // 421
#define FTP_T_NOT_AVAILABLE          "Service not available."  // 421
#define FTP_T_TOO_MANY_PER_IP "There are too many connections from your internet address."  // 421
#define FTP_T_TOO_MANY_USERS         "There are too many connected users, please try later."  // 421
#define FTP_T_NO_DATA_MODE           "Use PORT or PASV first."  // 425
#define FTP_T_PASV_NO_PORT           "Can't open passive connection."  // 425
#define FTP_T_RECV_NET_FAILED        "Failure recving to network stream."  // 426
#define FTP_T_WRITE_NET_FAILED       "Failure writting to network stream."  // 426
#define FTP_T_XFER_ABORTED           "Transfer aborted."  // 426
#define FTP_T_LOCAL_FAILED_UPLOAD    "Failure reading from local file."  // 451
#define FTP_T_READ_LOCAL_FAILED      "Failure reading from local file"  // 451
#define FTP_T_ACCEPT_FAILED          "Accpect failed."  // 500
#define FTP_T_BAD_COMMAND            "Bad command"  // 500
#define FTP_T_CONNECT_FAILED         "Connect failed."  // 500
#define FTP_T_PASV_IPV6              "Use EPSV with IPv6."  // 500
#define FTP_T_PORT_ILLEGAL           "Illegal PORT command."  // 500
#define FTP_T_SITE_UNKNOWN           "Unknown SITE command."  // 500
#define FTP_T_TYPE_UNKNOWN           "Unrecognised Type command"  // 500
#define FTP_T_UNKNOWN_IN_XFER        "Unknown command"  // 500
#define FTP_T_OPTS_UNKNOWN           "Option not understood."  // 501
#define FTP_T_SYNTAX_ARGS            "Syntax error in parameters or arguments."  // 501
#define FTP_T_RNFR_FIRST             "RNFR required first."  // 503
#define FTP_T_RNTO_FAILED            "Rename directory operation failed"  // 503
#define FTP_T_PARAM_NOT_IMPL         "Command not implemented for that parameter."  // 504
#define FTP_T_LOGIN_FIRST            "Please login with USER and PASS."  // 530
#define FTP_T_USER_WRONG             "Login incorrect"  // 530
#define FTP_T_CWD_FAILED             "Failured to change directory."  // 550
#define FTP_T_DELE_FAILED            "Delete operation failed."  // 550
#define FTP_T_FSTAT_FAILED           "Failured to fstat file."  // 550
#define FTP_T_MDTM_FAILED            "Could not get file modification time."  // 550
#define FTP_T_MKD_FAILED             "Create directory operation failed"  // 550
#define FTP_T_NO_PERM                "no perm."  // 550
#define FTP_T_OPEN_FAILED            "Failured to open file."  // 550
#define FTP_T_RMD_FAILED             "Remove directory operation failed"  // 550
#define FTP_T_SEEK_FAILED            "Could not seek file."  // 550
#define FTP_T_SIZE_FAILED            "Could not get file size."  // 550
#define FTP_T_UPLOAD_OPEN_FAILED     "Could not open file."  // 553
#define FTP_T_NAME_NOT_ALLOWED       "File name not allowed."  // 553

// FTPS on the plain port and protected data connections (with the extensions on).
#define FTP_T_AUTH_OK                "Proceed with negotiation."  // 234
#define FTP_T_AUTH_UNKNOWN           "AUTH mechanism not supported."  // 504
#define FTP_T_AUTH_AGAIN             "Already using TLS."  // 503
#define FTP_T_AUTH_AFTER_LOGIN       "AUTH must come before USER and PASS."  // 503
#define FTP_T_AUTH_NO_CERT           "TLS is not available: no certificate is loaded."  // 431
#define FTP_T_PBSZ_OK                "PBSZ=0"  // 200
#define FTP_T_PBSZ_CLEAR             "PBSZ not allowed on insecure control connection."  // 503
#define FTP_T_PBSZ_FIRST             "PBSZ required first."  // 503
#define FTP_T_PROT_C                 "PROT now Clear."  // 200
#define FTP_T_PROT_P                 "PROT now Private."  // 200
#define FTP_T_PROT_CLEAR             "PROT not allowed on insecure control connection."  // 503
#define FTP_T_PROT_LEVEL             "PROT level not supported."  // 536
#define FTP_T_PROT_UNKNOWN           "Unknown PROT level."  // 504
// 530
#define FTP_T_TLS_REQUIRED \
    "This server requires AUTH TLS before USER (nvtd:ftps_required)."
#define FTP_T_MLST_BEGIN             "Listing %s"  // 250
#define FTP_T_MLST_END               "End"  // 250
#define FTP_T_MLST_FAILED            "Could not get file status."  // 550
#define FTP_T_MLSD_NOT_DIR           "Not a directory."  // 501
#define FTP_T_OPTS_MLST              "MLST OPTS %s"  // 200
#define FTP_T_MFMT_OK                "Modify=%s; %s"  // 213
#define FTP_T_MFMT_FAILED            "Could not set file modification time."  // 550
// 425
#define FTP_T_DATA_TLS_REUSE \
    "The data connection must resume the control connection's TLS session (nvtd:ftps_data_reuse)."
#define FTP_T_DATA_TLS_FAILED        "TLS handshake on the data connection failed."  // 425
