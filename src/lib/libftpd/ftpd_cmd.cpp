// ftpd_cmd.cpp - the command table and the dispatcher. Every command runs through one
// place that answers unknown words, applies the login gate and the missing-argument rule,
// so that no handler repeats them.
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "ftpd_internal.h"
#include "ftpd_reply.h"
#include "log.h"

static constexpr unsigned ANON = FTP_CMD_ANON;
static constexpr unsigned ARG = FTP_CMD_NEED_ARG;
static constexpr unsigned PATH = FTP_CMD_NEED_ARG | FTP_CMD_PATH;
static constexpr unsigned EXT = FTP_CMD_EXT;

// Telnet "interrupt process" and "synch" as some clients send them before ABOR.
#define FTP_TELNET_ABOR "\xff\xf4\xff\xf2" "ABOR"

static const ftp_cmd_row ftp_cmds[] = {
    {"USER", ANON, do_user},
    {"PASS", ANON, do_pass},
    {"CWD", 0, do_cwd},
    {"XCWD", 0, do_cwd},
    {"CDUP", 0, do_cdup},
    {"XCUP", 0, do_cdup},
    {"QUIT", ANON, do_quit},
    {"ACCT", 0, nullptr},
    {"SMNT", 0, nullptr},
    {"REIN", 0, nullptr},
    {"PORT", 0, do_port},
    {"PASV", 0, do_pasv},
    {"EPRT", 0, do_eprt},
    {"EPSV", 0, do_epsv},
    {"TYPE", 0, do_type},
    {"STRU", 0, do_stru},
    {"MODE", 0, do_mode},
    {"RETR", PATH, do_retr},
    {"STOR", PATH, do_stor},
    {"APPE", PATH, do_appe},
    {"LIST", 0, do_list},
    {"NLST", 0, do_nlst},
    {"REST", 0, do_rest},
    {"ABOR", 0, do_abor},
    {FTP_TELNET_ABOR, 0, do_abor},
    {"PWD", 0, do_pwd},
    {"XPWD", 0, do_pwd},
    {"MKD", PATH, do_mkd},
    {"RMD", PATH, do_rmd},
    {"XRMD", PATH, do_rmd},
    {"DELE", PATH, do_dele},
    {"RNFR", PATH, do_rnfr},
    {"RNTO", PATH, do_rnto},
    {"SITE", 0, do_site},
    {"SYST", ANON, do_syst},
    {"FEAT", ANON, do_feat},
    {"SIZE", PATH, do_size},
    {"STAT", 0, do_stat},
    {"NOOP", ANON, do_noop},
    {"HELP", ANON, do_help},
    {"STOU", 0, nullptr},
    {"ALLO", 0, nullptr},
    // Advertised by FEAT and HELP, so they work too.
    {"MDTM", PATH, do_mdtm},
    {"OPTS", ANON, do_opts},
    {"XMKD", PATH, do_mkd},
    // FTPS on the plain port and protected data (answered 500 with the extensions off).
    {"AUTH", ANON | EXT, do_auth},
    {"PBSZ", ANON | EXT, do_pbsz},
    {"PROT", ANON | EXT, do_prot},
    {"MLST", EXT, do_mlst},
    {"MLSD", EXT, do_mlsd},
    {"MFMT", EXT, do_mfmt},
};

// Read-only once built: sessions look words up without a lock.
static std::unordered_map<std::string_view, const ftp_cmd_row *> *g_cmd_map;

void ftp_cmd_map_init() {
    if (g_cmd_map)
        return;
    g_cmd_map = new std::unordered_map<std::string_view, const ftp_cmd_row *>;
    for (const ftp_cmd_row &r : ftp_cmds)
        g_cmd_map->emplace(r.name, &r);
}

void ftp_cmd_map_exit() {
    delete g_cmd_map;
    g_cmd_map = nullptr;
}

// The line as the verbose log shows it: a password never reaches the log.
static void ftp_log_line(const char *line) {
    if (!log2_enabled(LOG2_VERB))
        return;
    if (pal_iequals(std::string_view(line).substr(0, 4), "PASS") && (line[4] == ' ' || !line[4]))
        LOG2(LOG2_VERB, "ftpd", "[PASS ***]\n");
    else
        LOG2(LOG2_VERB, "ftpd", "[%s]\n", line);
}

const ftp_cmd_row *ftp_cmd(ftp_session *s) {
    char *line = s->line;
    size_t len = strnlen(line, sizeof s->line);
    while (len > 0 && pal_isspace(line[len - 1]))
        line[--len] = '\0';
    // The exact Telnet form has a row of its own; any other Telnet prefix is dropped.
    if (strncmp(line, FTP_TELNET_ABOR, 4) != 0)
        line = const_cast<char *>(ftp_skip_telnet(line));
    ftp_log_line(line);
    s->cmd = line;
    s->arg = nullptr;
    if (char *blank = strchr(line, ' ')) {
        *blank = '\0';
        s->arg = blank + 1;  // further blanks belong to the argument
    }
    for (char *p = line; *p; p++)
        if (*p >= 'a' && *p <= 'z')
            *p = char(*p - 'a' + 'A');
    if (!g_cmd_map)
        return nullptr;
    auto it = g_cmd_map->find(std::string_view(s->cmd));
    return it == g_cmd_map->end() ? nullptr : it->second;
}

void ftp_dispatch(ftp_session *s) {
    const ftp_cmd_row *row = ftp_cmd(s);
    if (!row || !row->handler || ((row->flags & FTP_CMD_EXT) && !g_ftpd_conf.ftp_extensions)) {
        LOG2(LOG2_DBG, "ftpd", "[%s] Bad command\n", s->cmd);
        (void)ftp_relply(s, 500, FTP_T_BAD_COMMAND);
        return;
    }
    if (!s->logged_in && !(row->flags & FTP_CMD_ANON)) {
        (void)ftp_relply(s, 530, FTP_T_LOGIN_FIRST);
        return;
    }
    if ((row->flags & FTP_CMD_NEED_ARG) && (!s->arg || !*s->arg)) {
        (void)ftp_relply(s, 501, FTP_T_SYNTAX_ARGS);
        return;
    }
    if ((row->flags & FTP_CMD_PATH) && ftp_resolve(s, s->arg, s->path) != 0) {
        (void)ftp_relply(s, 553, FTP_T_NAME_NOT_ALLOWED);
        return;
    }
    (void)row->handler(s);
}
