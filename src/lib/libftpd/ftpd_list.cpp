// ftpd_list.cpp - directory listings (LIST, NLST), the listing line format and STAT.
//
// Listing lines are collected in the session's transfer buffer and written to the data
// connection whenever the next line would not fit in one write block, so a listing of
// many small lines costs few writes. Month names come from a fixed table: clients parse
// them and the process locale must not change them.
#include "ftpd_internal.h"
#include "ftpd_reply.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "log.h"

static constexpr const char *TAG = "ftpd";

/// Entries older than this many seconds (182 days) show the year instead of the time.
static constexpr int64_t LIST_OLD_SECS = 15724800;

enum : int { LIST_LINE_SIZE = 2 * VFS_NAME_MAX + 256 };

static const char *const k_months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

/// The ten-character mode text of an entry.
static void ftp_mode_str(const vfs_dirent *e, char out[11]) {
    char c = '?';
    if (e->st.kind & VFS_K_LINK)
        c = 'l';
    else if (e->st.kind & VFS_K_DIR)
        c = 'd';
    else if (e->st.kind & VFS_K_FILE)
        c = '-';
    pal_snprintf(std::span<char>(out, 11), "%crwxrwxrwx", c);
}


/// Local times of a listing's entries. The system's conversion takes a lock and walks the
/// zone's rules for every call, so the offset from UTC is kept per UTC day; a day in which
/// the offset changes is converted by the system every time.
class list_clock {
public:
    explicit list_clock(int64_t now) : now_(now) {}
    int64_t now() const { return now_; }

    void split(int64_t t, pal_tm *tm) {
        int64_t day = (t >= 0 ? t : t - 86399) / 86400;
        day_off &d = days_[static_cast<uint64_t>(day) % std::size(days_)];
        if (d.day != day) {
            int first = os_time_offset(day * 86400);
            d = {day, first, first == os_time_offset(day * 86400 + 86399)};
        }
        if (d.steady)
            os_time_split(t + d.off, true, tm);
        else
            os_time_split(t, false, tm);
    }

private:
    struct day_off {
        int64_t day = INT64_MIN;
        int off = 0;
        bool steady = false;
    };
    int64_t now_;
    day_off days_[512];
};

/// "Mon dd HH:MM" for recent and future times, "Mon dd YYYY" for older ones.
static void list_time(ftp_line_out *o, int64_t mtime, list_clock *clock) {
    pal_tm tm{};
    clock->split(mtime, &tm);
    int64_t now = clock->now();
    o->put((tm.mon >= 1 && tm.mon <= 12) ? k_months[tm.mon - 1] : "???");
    o->put_char(' ');
    o->put_num(tm.mday, 2);
    o->put_char(' ');
    if (now - mtime > LIST_OLD_SECS) {
        o->put_num(tm.year, 0);
        return;
    }
    o->put_2digits(tm.hour);
    o->put_char(':');
    o->put_2digits(tm.min);
}

/// The mode text as `ls -l` shows it, from the entry's own mode bits.
static void ls_mode_str(const vfs_dirent *e, char out[11]) {
    char type = (e->st.kind & VFS_K_LINK) ? 'l' : (e->st.kind & VFS_K_DIR) ? 'd' : '-';
    static const char rwx[] = "rwxrwxrwx";
    out[0] = type;
    for (int i = 0; i < 9; i++)
        out[1 + i] = (e->st.attr & (0400u >> i)) ? rwx[i] : '-';
    out[10] = '\0';
}

/// Formats the long listing line of e (ending in CR LF) into out: mode, links, owner,
/// group, size, time, name and a link's target. With the extensions on, in the layout of
/// `ls -l` (real mode bits, link count, numeric owner and group, the size right-aligned),
/// which clients parse without guessing. Returns its length.
static int ftp_list_line(const vfs_dirent *e, list_clock *clock, char *out, size_t size) {
    char mode[11];
    bool ls = g_ftpd_conf.ftp_extensions != 0;
    if (ls)
        ls_mode_str(e, mode);
    else
        ftp_mode_str(e, mode);
    ftp_line_out o{out, out + size - 1};
    o.put(mode);
    o.put_char(' ');
    o.put_num(ls ? e->st.sys_nlink : e->st.nlink, 3);
    o.put_char(' ');
    o.put_num(ls ? e->st.uid : static_cast<int>(e->st.owner), -8);
    o.put_char(' ');
    o.put_num(ls ? e->st.gid : static_cast<int>(static_cast<uint32_t>(e->st.group)), -8);
    o.put_char(' ');
    o.put_num(static_cast<long long>(e->st.size), ls ? 8 : -8);
    o.put_char(' ');
    list_time(&o, e->st.mtime.sec, clock);
    o.put_char(' ');
    o.put(e->name);
    if (e->st.kind & VFS_K_LINK) {
        o.put(" -> ");
        o.put(e->link);
    }
    o.put("\r\n");
    *o.p = '\0';
    return int(o.p - out);
}

/// Appends len bytes to the listing, writing the pending bytes first when they would
/// not fit in one write block; data null flushes. Returns 0, or -1 once a write failed.
static int list_buf_write(ftp_session *s, const char *data, uint32_t len) {
    if (s->xf.list_fill > 0 && (data == nullptr || s->xf.list_fill + len > s->xf.write_bs)) {
        int w = net_write(&s->dc.stream, s->xf.buf, static_cast<int>(s->xf.list_fill));
        if (w != static_cast<int>(s->xf.list_fill)) {
            LOG2(LOG2_ERR, TAG, "listing write of %u bytes failed (%d)\n", s->xf.list_fill, w);
            s->xf.list_fill = 0;
            return -1;
        }
        ftpd_count_bytes(false, w);
        s->xf.list_fill = 0;
    }
    if (data != nullptr && len > 0) {
        memcpy(s->xf.buf + s->xf.list_fill, data, len);
        s->xf.list_fill += len;
    }
    return 0;
}

int ftp_list_write(ftp_session *s, std::string_view line) {
    return list_buf_write(s, line.data(), static_cast<uint32_t>(line.size()));
}

int ftp_list_flush(ftp_session *s) {
    return list_buf_write(s, nullptr, 0);
}

/// Writes the line of one entry, long or name only.
static int list_entry(ftp_session *s, vfs_dirent *e, int is_long, list_clock *clock) {
    char line[LIST_LINE_SIZE];
    int n = 0;
    if (is_long) {
        n = ftp_list_line(e, clock, line, sizeof(line));
    } else {
        ftp_line_out o{line, line + sizeof line - 1};
        o.put(e->name);
        o.put("\r\n");
        n = int(o.p - line);
    }
    return list_buf_write(s, line, static_cast<uint32_t>(n));
}

/// Writes the listing of path (a directory's entries, or a file's own line) to the data
/// connection. Returns 0, or -1 when the data connection failed.
static int list_common(ftp_session *s, const char *path, int is_long) {
    list_clock clock(os_time_now());
    s->xf.list_fill = 0;
    vfs_dirent one{};
    if (vfs_dirent_of(s->mount, path, &one) >= 0 && (one.st.kind & VFS_K_DIR) == 0) {
        if (list_entry(s, &one, is_long, &clock) != 0)
            return -1;
        return list_buf_write(s, nullptr, 0);
    }
    vfs_dir *d = vfs_opendir(s->mount, path);
    if (d == nullptr) {
        LOG2(LOG2_ERR, TAG, "opendir [%s] error: %s\n", path, vfs_strerror(s->mount));
        return 0;
    }
    int rc = 0;
    // A name listing needs no status of its entries.
    while (vfs_dirent *e = is_long ? vfs_readdir(d) : vfs_readname(d)) {
        if (strcmp(e->name, ".") == 0 || strcmp(e->name, "..") == 0)
            continue;
        if ((rc = list_entry(s, e, is_long, &clock)) != 0)
            break;
    }
    vfs_closedir(d);
    return rc != 0 ? rc : list_buf_write(s, nullptr, 0);
}

/// The path a LIST or NLST argument names: leading words starting with '-' are options
/// and are skipped; what remains names the directory or file, nothing the current one.
static const char *list_arg_path(ftp_session *s) {
    const char *p = s->arg ? s->arg : "";
    for (;;) {
        while (*p == ' ')
            p++;
        if (*p != '-')
            break;
        while (*p != '\0' && *p != ' ')
            p++;
    }
    return *p != '\0' ? p : ".";
}

static int list_cmd(ftp_session *s, int is_long) {
    char path[VFS_PATH_MAX];
    if (ftp_resolve(s, list_arg_path(s), path) != 0) {
        ftp_relply(s, 553, FTP_T_NAME_NOT_ALLOWED);
        return 0;
    }
    ftp_list_run(s, path, list_common, is_long);
    return 0;
}

void ftp_list_run(ftp_session *s, const char *path, ftp_list_fn write, int mode) {
    if (ftp_xfer_buf(s) != 0) {
        ftp_relply(s, 451, FTP_T_READ_LOCAL_FAILED);
        return;
    }
    if (get_fd(s) != 0)
        return;
    ftp_relply(s, 150, FTP_T_LIST_BEGIN);
    if (ftp_data_protect(s) != 0) {
        data_close(s);
        return;
    }
    s->xf.list_fill = 0;
    int rc = write(s, path, mode);
    data_close(s);
    ftpd_count_xfer(s->cmd, rc != 0 ? FTPD_XRES_FAILED : FTPD_XRES_OK);
    if (rc != 0)
        ftp_relply(s, 451, FTP_T_WRITE_NET_FAILED);
    else
        ftp_relply(s, 226, FTP_T_LIST_OK);
}

int do_list(ftp_session *s) { return list_cmd(s, 1); }

int do_nlst(ftp_session *s) { return list_cmd(s, 0); }

/// STAT with a path: its listing line as a continuation of 213.
static void stat_path(ftp_session *s) {
    char path[VFS_PATH_MAX];
    if (ftp_resolve(s, s->arg, path) != 0) {
        ftp_relply(s, 553, FTP_T_NAME_NOT_ALLOWED);
        return;
    }
    ftp_lrelply(s, 213, FTP_T_STAT_PATH_BEGIN);
    vfs_dirent e{};
    if (vfs_dirent_of(s->mount, path, &e) < 0) {
        LOG2(LOG2_ERR, TAG, "ldirent [%s] error: %s\n", path, vfs_strerror(s->mount));
    } else {
        char line[LIST_LINE_SIZE];
        list_clock clock(os_time_now());
        int n = ftp_list_line(&e, &clock, line, sizeof(line));
        if (n >= 2)
            line[n - 2] = '\0';  // the reply adds its own line end
        ftp_reply_line(s, "%s", line);
    }
    ftp_relply(s, 213, FTP_T_STAT_END);
}

int do_stat(ftp_session *s) {
    if (s->arg != nullptr) {
        stat_path(s);
        return 0;
    }
    const char *user = g_ftpd_conf.user.empty() ? "anonymous" : g_ftpd_conf.user.c_str();
    ftp_lrelply(s, 211, FTP_T_STAT_BEGIN);
    ftp_reply_line(s, "Logged in as %s", user);
    ftp_reply_line(s, "TYPE: %s", s->xf.ascii ? "ASCII" : "BINARY");
    ftp_reply_line(s, "Control connection is %s", s->tls ? "encrypted" : "plain text");
    ftp_reply_line(s, "Data connections will be plain text");
    ftp_reply_line(s, "Logged in as %s", user);
    ftp_relply(s, 211, FTP_T_STAT_END);
    return 0;
}
