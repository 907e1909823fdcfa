// ftpd_mlsd.cpp - machine-readable listings (MLST on the control connection, MLSD on the
// data connection, OPTS MLST to choose the facts) and MFMT, offered with
// "nvtd:ftp_extensions". A fact line is "type=file;size=12;modify=20240101120000;perm=r;
// unique=1f; name": names go out exactly as stored, blanks included.
#include "ftpd_internal.h"
#include "ftpd_reply.h"

#include <cstring>
#include <string>
#include <string_view>

#include "log.h"

static constexpr const char *TAG = "ftpd";

enum : unsigned {
    FACT_TYPE = 0x01,
    FACT_SIZE = 0x02,
    FACT_MODIFY = 0x04,
    FACT_PERM = 0x08,
    FACT_UNIQUE = 0x10,
    FACT_ALL = 0x1f,
};

static const struct {
    const char *name;
    unsigned bit;
} k_facts[] = {
    {"type", FACT_TYPE}, {"size", FACT_SIZE},     {"modify", FACT_MODIFY},
    {"perm", FACT_PERM}, {"unique", FACT_UNIQUE},
};

// The facts a session shows: all of them until OPTS MLST chose others. The session record
// starts zeroed, so the stored word is the complement of the chosen set.
static unsigned facts_of(const ftp_session *s) {
    return ~s->mlst_hidden & FACT_ALL;
}

// What the session may do with the entry: RFC 3659's letters for files and directories.
static const char *perm_of(const vfs_dirent *e) {
    bool dir = (e->st.kind & VFS_K_DIR) != 0;
    if (g_ftpd_conf.readonly)
        return dir ? "el" : "r";
    return dir ? "cdeflmp" : "adfrw";
}

/// The fact line of e without its line end; type_override names cdir or pdir. Built field
/// by field in a fixed buffer: MLSD writes one per entry of directories of tens of
/// thousands.
static std::string_view fact_line(ftp_session *s, const vfs_dirent *e, const char *type_override,
                                  const char *name, char *buf, size_t size) {
    unsigned facts = facts_of(s);
    ftp_line_out o{buf, buf + size - 1};
    if (facts & FACT_TYPE) {
        o.put("type=");
        o.put(type_override ? type_override
              : (e->st.kind & VFS_K_DIR) ? "dir"
              : (e->st.kind & VFS_K_FILE) ? "file"
                                          : "OS.unix=other");
        o.put_char(';');
    }
    if ((facts & FACT_SIZE) && (e->st.kind & VFS_K_FILE)) {
        o.put("size=");
        o.put_num(static_cast<long long>(e->st.size), 0);
        o.put_char(';');
    }
    if (facts & FACT_MODIFY) {
        pal_tm tm{};
        os_time_split(e->st.mtime.sec, true, &tm);
        o.put("modify=");
        for (int v : {tm.year / 100, tm.year % 100, tm.mon, tm.mday, tm.hour, tm.min, tm.sec})
            o.put_2digits(v);
        o.put_char(';');
    }
    if (facts & FACT_PERM) {
        o.put("perm=");
        o.put(perm_of(e));
        o.put_char(';');
    }
    if (facts & FACT_UNIQUE) {
        o.put("unique=");
        o.put_hex(e->st.id);
        o.put_char(';');
    }
    o.put_char(' ');
    o.put(name);
    *o.p = '\0';
    return std::string_view(buf, size_t(o.p - buf));
}

int do_mlst(ftp_session *s) {
    char path[VFS_PATH_MAX];
    if (ftp_resolve(s, s->arg && *s->arg ? s->arg : ".", path) != 0)
        return ftp_relply(s, 553, FTP_T_NAME_NOT_ALLOWED), 0;
    vfs_dirent e{};
    if (vfs_dirent_of(s->mount, path, &e) < 0) {
        LOG2(LOG2_DBG, TAG, "mlst [%s] error: %s\n", path, vfs_strerror(s->mount));
        return ftp_relply(s, 550, FTP_T_MLST_FAILED), 0;
    }
    (void)ftp_lrelply(s, 250, FTP_T_MLST_BEGIN, path);
    char line[VFS_PATH_MAX + 256];
    (void)ftp_reply_line(s, "%.*s", int(fact_line(s, &e, nullptr, path, line, sizeof line).size()),
                         line);
    (void)ftp_relply(s, 250, FTP_T_MLST_END);
    return 0;
}

// Writes the directory's fact lines to the data connection through the listing buffer.
static int mlsd_entries(ftp_session *s, const char *path, int) {
    vfs_dir *d = vfs_opendir(s->mount, path);
    if (d == nullptr)
        return -1;
    int rc = 0;
    char line[VFS_NAME_MAX + 256];
    auto put = [&](const vfs_dirent *e, const char *type, const char *name) {
        std::string_view l = fact_line(s, e, type, name, line, sizeof line - 2);
        line[l.size()] = '\r';
        line[l.size() + 1] = '\n';
        return ftp_list_write(s, std::string_view(line, l.size() + 2));
    };
    vfs_dirent self{};
    if (vfs_dirent_of(s->mount, path, &self) >= 0)
        rc = put(&self, "cdir", ".");
    // The parent, except at the root, which has none inside the session's tree.
    char parent[VFS_PATH_MAX];
    std::string above = std::string(path) + "/..";
    vfs_dirent up{};
    bool has_parent = strcmp(path, "/") != 0 && ftp_resolve(s, above.c_str(), parent) == 0 &&
                      vfs_dirent_of(s->mount, parent, &up) >= 0;
    if (rc == 0 && has_parent)
        rc = put(&up, "pdir", "..");
    while (rc == 0) {
        vfs_dirent *e = vfs_readdir(d);
        if (e == nullptr)
            break;
        rc = put(e, nullptr, e->name);
    }
    vfs_closedir(d);
    return rc != 0 ? rc : ftp_list_flush(s);
}

int do_mlsd(ftp_session *s) {
    char path[VFS_PATH_MAX];
    if (ftp_resolve(s, s->arg && *s->arg ? s->arg : ".", path) != 0)
        return ftp_relply(s, 553, FTP_T_NAME_NOT_ALLOWED), 0;
    vfs_stat_rec st{};
    // A missing directory is 550, as for MLST: clients such as rclone take 550 as "no such
    // directory" and create it, but stop at any other error.
    if (vfs_stat(s->mount, path, &st) < 0)
        return ftp_relply(s, 550, FTP_T_MLST_FAILED), 0;
    if (!(st.kind & VFS_K_DIR))
        return ftp_relply(s, 501, FTP_T_MLSD_NOT_DIR), 0;
    ftp_list_run(s, path, mlsd_entries, 0);
    return 0;
}

std::string ftp_mlst_feat(const ftp_session *s) {
    std::string out = "MLST ";
    for (const auto &f : k_facts)
        out += std::string(f.name) + ((facts_of(s) & f.bit) ? "*;" : ";");
    return out;
}

int ftp_opts_mlst(ftp_session *s, const char *facts) {
    unsigned chosen = 0;
    std::string shown;
    std::string_view rest(facts);
    while (!rest.empty()) {
        size_t cut = rest.find(';');
        std::string_view item = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        for (const auto &f : k_facts)
            if (item.size() == strlen(f.name) && pal_iequals(item, f.name))
                chosen |= f.bit;
    }
    for (const auto &f : k_facts)
        if (chosen & f.bit)
            shown += std::string(f.name) + ";";
    s->mlst_hidden = ~chosen & FACT_ALL;
    return ftp_relply(s, 200, FTP_T_OPTS_MLST, shown.c_str()), 0;
}

// Days since 1970-01-01 of a proleptic Gregorian date (the civil-from-days inverse).
static int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

/// "YYYYMMDDHHMMSS" (UTC) into seconds since 1970; false for anything else or a date that
/// does not exist.
static bool parse_mfmt_time(std::string_view t, int64_t *out) {
    if (t.size() != 14 || t.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    auto num = [&](size_t at, size_t n) { return pal_atoi(std::string(t.substr(at, n))); };
    int y = num(0, 4), mo = num(4, 2), d = num(6, 2), h = num(8, 2), mi = num(10, 2),
        sec = num(12, 2);
    static const int mdays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > mdays[mo - 1] || h > 23 || mi > 59 ||
        sec > 60)
        return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo == 2 && d == 29 && !leap)
        return false;
    *out = days_from_civil(y, unsigned(mo), unsigned(d)) * 86400 + h * 3600 + mi * 60 + sec;
    return true;
}

int do_mfmt(ftp_session *s) {
    std::string_view a(s->arg ? s->arg : "");
    size_t blank = a.find(' ');
    int64_t when = 0;
    if (blank == std::string_view::npos || !parse_mfmt_time(a.substr(0, blank), &when))
        return ftp_relply(s, 501, FTP_T_SYNTAX_ARGS), 0;
    if (ftp_check_perm(s) != 0)
        return 0;
    std::string name(a.substr(blank + 1));
    char path[VFS_PATH_MAX];
    if (ftp_resolve(s, name.c_str(), path) != 0)
        return ftp_relply(s, 553, FTP_T_NAME_NOT_ALLOWED), 0;
    vfs_file *f = vfs_open(s->mount, path, VFS_O_WRITE);
    vfs_time mtime{when, 0};
    if (f == nullptr || vfs_futime(f, nullptr, &mtime) != 0) {
        LOG2(LOG2_DBG, TAG, "mfmt [%s] error: %s\n", path,
             f ? vfs_strerror(f) : vfs_strerror(s->mount));
        if (f)
            vfs_close(f);
        return ftp_relply(s, 550, FTP_T_MFMT_FAILED), 0;
    }
    vfs_close(f);
    std::string stamp(a.substr(0, blank));
    return ftp_relply(s, 213, FTP_T_MFMT_OK, stamp.c_str(), name.c_str()), 0;
}
