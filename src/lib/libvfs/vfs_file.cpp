// vfs_file.cpp - the local file driver: serves a mount from one root directory.
// Every path is resolved beneath a descriptor of the root, so neither "..", nor a symbolic
// link inside the root that points outside (or at "/"), reaches anything outside it;
// links that stay inside keep working. This is the only file of libvfs that talks to the
// system's file calls.
#include "log.h"
#include "pal.h"
#include "pal_url.h"
#include "vfs_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

static constexpr const char *SRC = "src/lib/libvfs/file";

namespace {
std::atomic<bool> g_openat2{true};
std::atomic<bool> g_openat2_probed{false};

/// The descriptor of a served root. Every mount of the same directory shares one, closed
/// with the last of them: a server with 10,000 sessions holds 10,000 descriptors for their
/// connections, not 20,000. A root that was replaced since (another directory at the same
/// path) gets a descriptor of its own.
class shared_root {
public:
    shared_root() = default;
    ~shared_root() { reset(); }
    shared_root(const shared_root &) = delete;
    shared_root &operator=(const shared_root &) = delete;

    /// 0, or the errno of the open.
    int open(const std::string &path);
    int get() const { return fd_; }
    void reset();

private:
    struct entry {
        int fd;
        int refs;
        dev_t dev;
        ino_t ino;
    };
    static std::mutex lock_;
    static std::unordered_map<std::string, entry> roots_;
    std::string path_;
    int fd_ = -1;
    bool shared_ = false;
};
std::mutex shared_root::lock_;
std::unordered_map<std::string, shared_root::entry> shared_root::roots_;

int shared_root::open(const std::string &path) {
    reset();
    struct stat now;
    if (stat(path.c_str(), &now) != 0)
        return errno;
    std::scoped_lock g(lock_);
    auto it = roots_.find(path);
    if (it != roots_.end() && it->second.dev == now.st_dev && it->second.ino == now.st_ino) {
        it->second.refs++;
        fd_ = it->second.fd;
        path_ = path;
        shared_ = true;
        return 0;
    }
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    fd_ = fd;
    struct stat sb;
    if (it == roots_.end() && fstat(fd, &sb) == 0) {
        roots_.emplace(path, entry{fd, 1, sb.st_dev, sb.st_ino});
        path_ = path;
        shared_ = true;
    }
    return 0;
}

void shared_root::reset() {
    if (fd_ < 0)
        return;
    if (!shared_) {
        close(fd_);
    } else {
        std::scoped_lock g(lock_);
        auto it = roots_.find(path_);
        if (it != roots_.end() && it->second.fd == fd_ && --it->second.refs == 0) {
            close(fd_);
            roots_.erase(it);
        }
    }
    fd_ = -1;
    shared_ = false;
}
}  // namespace

struct loc_mount {
    uint32_t flags = 1;
    std::string root;  // as given, ending in '/'
    shared_root rootfd;  // O_PATH descriptor every path is resolved beneath
    vfs_err *err = nullptr;
    vfs_mount *mh = nullptr;
    bool readonly = false;
    unsigned open_bits = 0;  // VFS_O_DIRECT from the "direct" option
    int read_timeout_ms = 15000;
    int write_timeout_ms = 8000;
    const char *op = "";  // public operation running, for the error record
};

struct loc_file {
    int kind = 2;
    pal_fd fd;
    loc_mount *mc = nullptr;
};

/// Names scanned ahead of the caller with their status. A listing holds two: while it
/// hands out the entries of one, the helper thread takes the status of the next.
struct loc_batch {
    std::string names;            // the names, each ending in a zero byte
    std::vector<size_t> offsets;  // where each name starts in names
    std::vector<const char *> ptrs;
    std::vector<struct stat> st;
    std::vector<int> err;
    vfs_stat_job job;
    size_t next = 0;      // the next entry to hand out
    bool pending = false;  // its status job is started and not yet finished
};

struct loc_dir {
    int kind = 3;
    DIR *dir = nullptr;
    loc_mount *mc = nullptr;
    std::string rel;      // the directory, relative to the root
    std::string pattern;  // empty: every entry
    long count = 0;
    loc_batch batch[2];
    int cur_batch = 0;  // the batch being handed out; the other is scanned ahead
    vfs_dirent cur{};
};

void vfs_file_use_openat2(bool on) { g_openat2.store(on); }

// ---------------------------------------------------------------------------------------
// Error records.

static int rec_code(loc_mount *mc, int line, int code, const char *msg) {
    vfs_err_set(mc->err, SRC, mc->op, line, code, "%s", msg ? msg : pal_strerror(code));
    return -1;
}

static int rec_os(loc_mount *mc, int line, int e) {
    char buf[256];
    return rec_code(mc, line, pal_errno_code(e), pal_os_strerror(e, buf));
}

#define REC_CODE(mc, code) rec_code((mc), __LINE__, (code), nullptr)
#define REC_OS(mc, e) rec_os((mc), __LINE__, (e))

// ---------------------------------------------------------------------------------------
// Confined resolution. Results are descriptors or -errno.

static int read_link_fd(int fd, const char *name, std::string *out) {
    char buf[4096];
    ssize_t n = readlinkat(fd, name, buf, sizeof buf);
    if (n < 0)
        return -errno;
    if (n == static_cast<ssize_t>(sizeof buf))
        return -ENAMETOOLONG;
    out->assign(buf, static_cast<size_t>(n));
    return 0;
}

static void split_front(std::deque<std::string> &comps, const std::string &path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i)
            parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    comps.insert(comps.begin(), parts.begin(), parts.end());
}

namespace {
// Where a walk stands: the names of the directories from the root down, and descriptors of
// only the deepest WALK_HELD of them. ".." below the held ones opens the names again from
// the root, each without following links, so a walk holds a bounded number of descriptors
// however deep the path and never gets above the root.
class walk_pos {
public:
    static constexpr size_t WALK_HELD = 16;
    explicit walk_pos(int rootfd) : root_(rootfd) {}
    int fd() const { return held_.empty() ? root_ : held_.back().get(); }
    void enter(std::string name, pal_fd dir) {
        names_.push_back(std::move(name));
        held_.push_back(std::move(dir));
        if (held_.size() > WALK_HELD)
            held_.pop_front();
    }
    int up() {
        if (names_.empty())
            return 0;  // ".." of the root is the root
        names_.pop_back();
        held_.pop_back();
        return held_.empty() && !names_.empty() ? reopen() : 0;
    }
    void to_root() {
        names_.clear();
        held_.clear();
    }

private:
    int reopen();
    int root_;
    std::vector<std::string> names_;
    std::deque<pal_fd> held_;  // the deepest held_.size() levels of names_
};
}  // namespace

int walk_pos::reopen() {
    pal_fd cur;
    int at = root_;
    for (size_t i = 0; i < names_.size(); i++) {
        pal_fd next(openat(at, names_[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return -errno;
        if (names_.size() - i > WALK_HELD) {
            cur = std::move(next);
            at = cur.get();
            continue;
        }
        held_.push_back(std::move(next));
        at = held_.back().get();
    }
    return 0;
}

// Puts the target of the link fd in front of the components still to walk; an absolute
// target starts again at the root.
static int walk_link(int fd, int links, walk_pos &pos, std::deque<std::string> &comps) {
    std::string target;
    if (links > 40)
        return -ELOOP;
    if (int rc = read_link_fd(fd, "", &target); rc < 0)
        return rc;
    if (target.empty())
        return -ENOENT;
    if (target[0] == '/')
        pos.to_root();
    split_front(comps, target);
    return 0;
}

// One named component c of a walk: a directory is entered, a link's target goes in front
// of the components still to walk, and the final name ends the walk in *last (also when it
// is missing: that is left for the caller). Returns 1 at the end, 0 to go on, or -errno.
static int walk_name(walk_pos &pos, std::string c, std::deque<std::string> &comps, int *links,
                     std::string *last) {
    bool final = comps.empty();
    pal_fd fd(openat(pos.fd(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid() && !(errno == ENOENT && final))
        return -errno;
    struct stat sb;
    if (fd.valid() && fstat(fd.get(), &sb) != 0)
        return -errno;
    if (fd.valid() && S_ISLNK(sb.st_mode))
        return walk_link(fd.get(), ++*links, pos, comps);
    if (final) {
        *last = std::move(c);
        return 1;
    }
    if (!S_ISDIR(sb.st_mode))
        return -ENOTDIR;
    pos.enter(std::move(c), std::move(fd));
    return 0;
}

// Resolves rel component by component as the kernel does under RESOLVE_IN_ROOT: ".."
// stops at the root, an absolute link target starts again at the root, and a final
// symbolic link is resolved too. On success *dir is the directory that holds the final
// name *last ("." for a directory itself).
static int walk(const loc_mount *mc, const char *rel, pal_fd *dir, std::string *last) {
    walk_pos pos(mc->rootfd.get());
    std::deque<std::string> comps;
    split_front(comps, rel);
    int links = 0;
    last->clear();
    int rc = 0;
    while (rc == 0 && !comps.empty()) {
        std::string c = std::move(comps.front());
        comps.pop_front();
        if (c == "..")
            rc = pos.up();
        else if (c != ".")
            rc = walk_name(pos, std::move(c), comps, &links, last);
    }
    if (rc < 0)
        return rc;
    if (last->empty())
        *last = ".";
    int d = fcntl(pos.fd(), F_DUPFD_CLOEXEC, 0);
    if (d < 0)
        return -errno;
    dir->reset(d);
    return 0;
}

static int walk_open(const loc_mount *mc, const char *rel, int oflags, mode_t mode) {
    pal_fd dir;
    std::string last;
    if (int rc = walk(mc, rel, &dir, &last); rc < 0)
        return rc;
    // O_NOFOLLOW: a link swapped in after the walk is refused instead of followed.
    int fd = openat(dir.get(), last.c_str(), oflags | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd < 0 ? -errno : fd;
}

// Opens rel (relative to the root, "" for the root) with oflags, following links that
// stay inside the root.
static int res_open(const loc_mount *mc, const char *rel, int oflags, mode_t mode = 0) {
    if (g_openat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(oflags | O_CLOEXEC);
        how.mode = (oflags & O_CREAT) ? mode : 0;
        how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
        for (int tries = 0; tries < 16; tries++) {
            long fd = syscall(SYS_openat2, mc->rootfd.get(), *rel ? rel : ".", &how, sizeof how);
            if (fd >= 0)
                return static_cast<int>(fd);
            if (errno == EAGAIN || errno == EINTR)
                continue;  // a rename raced the lookup
            if (errno != ENOSYS)
                return -errno;
            g_openat2.store(false);
            break;
        }
        if (g_openat2.load())
            return -EAGAIN;
    }
    return walk_open(mc, rel, oflags, mode);
}

// Turns a virtual path into the path under the root, refusing what cannot be a path.
static int to_rel(loc_mount *mc, const char *path, char *rel, size_t size) {
    if (!path)
        return REC_CODE(mc, PAL_EINVAL);
    if (strnlen(path, VFS_PATH_MAX) >= VFS_PATH_MAX)
        return REC_CODE(mc, PAL_ENAMETOOLONG);
    if (vfs_path_to_rel(path, rel, size) != 0)
        return REC_CODE(mc, PAL_ENAMETOOLONG);
    return 0;
}

// The directory that holds the final component of path, and that component. The root
// itself has no parent: PAL_EINVAL.
static int res_parent(loc_mount *mc, const char *path, pal_fd *dir, std::string *last) {
    char rel[VFS_PATH_MAX];
    if (to_rel(mc, path, rel, sizeof rel) < 0)
        return -1;
    if (!rel[0])
        return REC_CODE(mc, PAL_EINVAL);
    char *slash = std::strrchr(rel, '/');
    const char *parent = "";
    if (slash) {
        *slash = 0;
        parent = rel;
        last->assign(slash + 1);
    } else {
        last->assign(rel);
    }
    int fd = res_open(mc, parent, O_PATH | O_DIRECTORY);
    if (fd < 0)
        return REC_OS(mc, -fd);
    dir->reset(fd);
    return 0;
}

static int res_path(loc_mount *mc, const char *path, int oflags, pal_fd *out, mode_t mode = 0) {
    char rel[VFS_PATH_MAX];
    if (to_rel(mc, path, rel, sizeof rel) < 0)
        return -1;
    int fd = res_open(mc, rel, oflags, mode);
    if (fd < 0)
        return REC_OS(mc, -fd);
    out->reset(fd);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Status records.

static vfs_time to_vt(const struct timespec &ts) {
    return {static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

static void fill_stat(const struct stat &sb, vfs_stat_rec *out) {
    *out = {};
    if (S_ISDIR(sb.st_mode))
        out->kind = VFS_K_DIR;
    else if (S_ISREG(sb.st_mode))
        out->kind = VFS_K_FILE;
    else if (S_ISLNK(sb.st_mode))
        out->kind = VFS_K_LINK;
    out->attr = sb.st_mode;
    out->size = S_ISREG(sb.st_mode) ? static_cast<uint64_t>(sb.st_size) : 0;
    out->atime = to_vt(sb.st_atim);
    out->mtime = to_vt(sb.st_mtim);
    out->ctime = to_vt(sb.st_ctim);
    out->nlink = S_ISDIR(sb.st_mode) ? 2 : 1;
    out->sys_nlink = static_cast<uint32_t>(sb.st_nlink);
    out->uid = sb.st_uid;
    out->gid = sb.st_gid;
}

// Fills an entry for name inside directory dfd (rel: that directory under the root). A
// link shows its target's status when the target resolves inside the root.
static void fill_entry_of(loc_mount *mc, int dfd, const std::string &rel, const char *name,
                          const struct stat &sb, vfs_dirent *out) {
    fill_stat(sb, &out->st);
    out->link[0] = 0;
    if (S_ISLNK(sb.st_mode)) {
        std::string target;
        if (read_link_fd(dfd, name, &target) == 0)
            (void)pal_strlcpy(out->link, target);
        std::string full = rel.empty() ? std::string(name) : rel + "/" + name;
        int fd = res_open(mc, full.c_str(), O_PATH);
        struct stat tb;
        if (fd >= 0 && fstat(fd, &tb) == 0) {
            fill_stat(tb, &out->st);
            out->st.kind |= VFS_K_LINK;
        }
        if (fd >= 0)
            close(fd);
    }
    (void)pal_strlcpy(out->name, name);
    out->st.id = pal_crc64(0, name, std::strlen(name));
}

static int fill_entry(loc_mount *mc, int dfd, const std::string &rel, const char *name,
                      vfs_dirent *out) {
    struct stat sb;
    if (fstatat(dfd, name, &sb, AT_SYMLINK_NOFOLLOW) != 0)
        return -errno;
    fill_entry_of(mc, dfd, rel, name, sb, out);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Mount.

static int vfs_file_init() { return 0; }
static void vfs_file_exit() {}
static int vfs_file_probe(const char *) { return 0; }

// The root of a bare path URL (no scheme) is the text before its query; other URLs go
// through the URL parser.
static int mount_root(const char *url, std::string *root) {
    if (!url[0])
        return -1;
    if (!std::strstr(url, "://")) {
        root->assign(url, std::strcspn(url, "?#"));
        return 0;
    }
    char path[VFS_PATH_MAX], decoded[VFS_PATH_MAX];
    if (url_get_path(url, path) != 0)
        return -1;
    url_decode(path, decoded, sizeof decoded);
    root->assign(decoded);
    return 0;
}

// "flags" words, separated by ',', '.' or '-'. 0, or PAL_ENOTSUP for "vss".
static int mount_flags(loc_mount *mc, const char *url) {
    char flags[256];
    url_get_query(url, "flags", "", flags, sizeof flags);
    std::string_view rest = flags;
    while (!rest.empty()) {
        size_t n = rest.find_first_of(",.-");
        std::string_view w = rest.substr(0, n);
        rest = n == std::string_view::npos ? std::string_view{} : rest.substr(n + 1);
        if (w.empty())
            continue;
        if (pal_iequals(w, "rw"))
            mc->readonly = false;
        else if (pal_iequals(w, "readonly"))
            mc->readonly = true;
        else if (pal_iequals(w, "direct"))
            mc->open_bits |= VFS_O_DIRECT;
        else if (pal_iequals(w, "vss"))
            return PAL_ENOTSUP;  // no volume snapshots on this system
        else if (!pal_iequals(w, "sync"))
            LOG2(LOG2_DBG, "pal", "flags=[%.*s] not support\n", static_cast<int>(w.size()),
                 w.data());
    }
    return 0;
}

// Kernels before 5.6 lack openat2, and some container filters refuse it with EPERM;
// both get the checked walk from then on.
static void openat2_probe(const loc_mount *mc) {
    if (!g_openat2.load() || g_openat2_probed.exchange(true))
        return;
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, mc->rootfd.get(), ".", &how, sizeof how);
    if (fd >= 0) {
        close(static_cast<int>(fd));
        return;
    }
    if (errno == ENOSYS || errno == EPERM) {
        LOG2(LOG2_DBG, "vfs_loc", "openat2 unavailable (%d), paths are walked\n", errno);
        g_openat2.store(false);
    }
}

static void *vfs_file_mount(const char *url, int, vfs_err *err, vfs_mount *mh) {
    auto *mc = new loc_mount;
    mc->err = err;
    mc->mh = mh;
    mc->op = "vfs_file_mount";
    std::string root;
    if (!url || mount_root(url, &root) != 0) {
        REC_CODE(mc, PAL_EINVAL);
        delete mc;
        return nullptr;
    }
    if (int rc = mount_flags(mc, url); rc < 0) {
        REC_CODE(mc, rc);
        delete mc;
        return nullptr;
    }
    mc->read_timeout_ms = url_get_query_int(url, "read_timeout", 15) * 1000;
    mc->write_timeout_ms = url_get_query_int(url, "write_timeout", 8) * 1000;
    if (root.empty() || root.back() != '/')
        root += '/';
    mc->root = root;
    LOG2(LOG2_DBG, "vfs_loc", "root_dir=[%s]\n", mc->root.c_str());
    if (int e = mc->rootfd.open(mc->root); e != 0) {
        REC_OS(mc, e);
        delete mc;
        return nullptr;
    }
    openat2_probe(mc);
    return mc;
}

static int vfs_file_umount(void *ctx) {
    delete static_cast<loc_mount *>(ctx);
    return 0;
}

static int vfs_file_statfs(void *ctx, vfs_statfs *out) {
    auto *mc = static_cast<loc_mount *>(ctx);
    mc->op = "vfs_file_statfs";
    struct statvfs sv;
    if (fstatvfs(mc->rootfd.get(), &sv) != 0)
        return REC_OS(mc, errno);
    out->total = static_cast<uint64_t>(sv.f_blocks) * sv.f_frsize;
    out->free = static_cast<uint64_t>(sv.f_bavail) * sv.f_frsize;
    out->bsize = sv.f_bsize;
    return 0;
}

static int vfs_file_reserved(void *, int *out) {
    if (out)
        *out = 0;
    return 0;
}

// ---------------------------------------------------------------------------------------
// Files.

static bool wants_write(unsigned flags) {
    return flags & (VFS_O_WRITE | VFS_O_RDWR | VFS_O_CREATE | VFS_O_TRUNC);
}

static int open_flags(unsigned flags) {
    int o = O_RDONLY;
    if ((flags & VFS_O_RDWR) || ((flags & VFS_O_WRITE) && (flags & VFS_O_READ)))
        o = O_RDWR;
    else if (flags & VFS_O_WRITE)
        o = O_WRONLY;
    if ((flags & VFS_O_CREATE) && (flags & (VFS_O_TRUNC | VFS_O_OPEN_ALWAYS)))
        o |= O_CREAT;
    if (flags & VFS_O_TRUNC)
        o |= O_TRUNC;
    if (flags & VFS_O_DIRECT)
        o |= O_SYNC;  // write-through without the buffer alignment O_DIRECT demands
    return o | O_NOCTTY;
}

// Only regular files are served: a directory, a pipe or a device would block or make no
// sense as a transfer. O_NONBLOCK keeps the open itself from waiting on a pipe; reads and
// writes of a regular file never wait on it, so the flag stays.
static int open_checked(loc_mount *mc, const char *path, unsigned flags, mode_t mode) {
    if (flags & VFS_O_SNAPSHOT)
        return REC_CODE(mc, PAL_ENOTSUP);
    if (mc->readonly && wants_write(flags))
        return REC_CODE(mc, PAL_EACCES);
    pal_fd fd;
    if (res_path(mc, path, open_flags(flags | mc->open_bits) | O_NONBLOCK, &fd, mode) < 0)
        return -1;
    struct stat sb;
    if (fstat(fd.get(), &sb) != 0)
        return REC_OS(mc, errno);
    if (!S_ISREG(sb.st_mode))
        return REC_CODE(mc, S_ISDIR(sb.st_mode) ? PAL_EISDIR : PAL_EACCES);
    if (flags & (VFS_O_SEQUENTIAL | VFS_O_RANDOM))
        (void)posix_fadvise(fd.get(), 0, 0,
                            (flags & VFS_O_RANDOM) ? POSIX_FADV_RANDOM : POSIX_FADV_SEQUENTIAL);
    return fd.release();
}

static void *vfs_file_open2(void *ctx, const char *path, unsigned flags, int mode) {
    auto *mc = static_cast<loc_mount *>(ctx);
    mc->op = "vfs_file_open";
    int fd = open_checked(mc, path, flags, static_cast<mode_t>(mode));
    if (fd < 0)
        return nullptr;
    auto *lf = new loc_file;
    lf->fd.reset(fd);
    lf->mc = mc;
    return lf;
}

static void *vfs_file_open(void *ctx, const char *path, unsigned flags) {
    return vfs_file_open2(ctx, path, flags, 0644);
}

// Paths are UTF-8 already; the wide variant is the same call.
static void *vfs_file_wopen(void *ctx, const char *path, unsigned flags) {
    return vfs_file_open2(ctx, path, flags, 0644);
}

static int vfs_file_close(void *fctx) {
    auto *lf = static_cast<loc_file *>(fctx);
    int fd = lf->fd.release();
    int rc = close(fd);
    int e = errno;
    loc_mount *mc = lf->mc;
    delete lf;
    if (rc != 0 && e != EINTR) {
        mc->op = "vfs_file_close";
        return REC_OS(mc, e);
    }
    return 0;
}

static int64_t vfs_file_read(void *fctx, void *buf, size_t len, int64_t offset) {
    auto *lf = static_cast<loc_file *>(fctx);
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = offset == -1 ? read(lf->fd.get(), p + done, len - done)
                                 : pread(lf->fd.get(), p + done, len - done,
                                         static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            lf->mc->op = "vfs_file_read";
            return REC_OS(lf->mc, errno);
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

static int64_t vfs_file_write(void *fctx, const void *buf, size_t len, int64_t offset) {
    auto *lf = static_cast<loc_file *>(fctx);
    const auto *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = offset == -1 ? write(lf->fd.get(), p + done, len - done)
                                 : pwrite(lf->fd.get(), p + done, len - done,
                                          static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            lf->mc->op = "vfs_file_write";
            return REC_OS(lf->mc, n < 0 ? errno : EIO);
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

static int vfs_file_fsync(void *fctx) {
    auto *lf = static_cast<loc_file *>(fctx);
    lf->mc->op = "vfs_file_fsync";
    return fsync(lf->fd.get()) == 0 ? 0 : REC_OS(lf->mc, errno);
}

static int vfs_file_ftruncate(void *fctx, int64_t size) {
    auto *lf = static_cast<loc_file *>(fctx);
    lf->mc->op = "vfs_file_ftruncate";
    return ftruncate(lf->fd.get(), static_cast<off_t>(size)) == 0 ? 0 : REC_OS(lf->mc, errno);
}

static int vfs_file_futime(void *fctx, const vfs_time *atime, const vfs_time *mtime) {
    auto *lf = static_cast<loc_file *>(fctx);
    lf->mc->op = "vfs_file_futime";
    struct timespec ts[2];
    ts[0] = atime ? timespec{atime->sec, atime->nsec} : timespec{0, UTIME_OMIT};
    ts[1] = mtime ? timespec{mtime->sec, mtime->nsec} : timespec{0, UTIME_OMIT};
    return futimens(lf->fd.get(), ts) == 0 ? 0 : REC_OS(lf->mc, errno);
}

// mode: 0 unlock, 1 shared, 2 exclusive; never waits.
static int vfs_file_flock(void *fctx, int64_t offset, int64_t len, int mode) {
    auto *lf = static_cast<loc_file *>(fctx);
    lf->mc->op = "vfs_file_flock";
    struct flock fl{};
    fl.l_type = static_cast<short>(mode == 0 ? F_UNLCK : mode == 1 ? F_RDLCK : F_WRLCK);
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(len);
    return fcntl(lf->fd.get(), F_SETLK, &fl) == 0 ? 0 : REC_OS(lf->mc, errno);
}

static int64_t vfs_file_lseek(void *fctx, int64_t offset, int whence) {
    auto *lf = static_cast<loc_file *>(fctx);
    lf->mc->op = "vfs_file_lseek";
    if (whence < 0 || whence > 2)
        return REC_CODE(lf->mc, PAL_EINVAL);
    static constexpr int whences[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    off_t r = lseek(lf->fd.get(), static_cast<off_t>(offset), whences[whence]);
    return r < 0 ? REC_OS(lf->mc, errno) : static_cast<int64_t>(r);
}

static int vfs_file_fd(void *fctx) {
    return static_cast<loc_file *>(fctx)->fd.get();
}

static int vfs_file_fstat(void *fctx, vfs_stat_rec *out) {
    auto *lf = static_cast<loc_file *>(fctx);
    lf->mc->op = "vfs_file_fstat";
    struct stat sb;
    if (fstat(lf->fd.get(), &sb) != 0)
        return REC_OS(lf->mc, errno);
    fill_stat(sb, out);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Directories.

static void *vfs_file_opendir(void *ctx, const char *path, const char *pattern) {
    auto *mc = static_cast<loc_mount *>(ctx);
    mc->op = "vfs_file_opendir";
    char rel[VFS_PATH_MAX];
    if (to_rel(mc, path, rel, sizeof rel) < 0)
        return nullptr;
    int fd = res_open(mc, rel, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        REC_OS(mc, -fd);
        return nullptr;
    }
    DIR *dir = fdopendir(fd);
    if (!dir) {
        REC_OS(mc, errno);
        close(fd);
        return nullptr;
    }
    auto *ld = new loc_dir;
    ld->dir = dir;
    ld->mc = mc;
    ld->rel = rel;
    if (pattern && std::strcmp(pattern, "*") != 0 && std::strcmp(pattern, "*.*") != 0)
        ld->pattern = pattern;
    return ld;
}

// The next entry of the scan that is neither "." nor ".." and matches the pattern, or null
// at the end (a failure recorded).
static struct dirent *scan_next(loc_dir *ld) {
    for (;;) {
        errno = 0;
        struct dirent *de = readdir(ld->dir);
        if (!de) {
            if (errno)
                REC_OS(ld->mc, errno);
            return nullptr;
        }
        const char *n = de->d_name;
        if (!std::strcmp(n, ".") || !std::strcmp(n, ".."))
            continue;
        if (ld->pattern.empty() || fnmatch(ld->pattern.c_str(), n, 0) == 0)
            return de;
    }
}

/// Names scanned ahead at a time.
enum : size_t { LOC_BATCH = 1024 };

// Scans up to LOC_BATCH names into b and starts taking their status. False at the end of
// the directory.
static bool batch_scan(loc_dir *ld, loc_batch *b) {
    b->names.clear();
    b->offsets.clear();
    b->next = 0;
    while (b->offsets.size() < LOC_BATCH) {
        struct dirent *de = scan_next(ld);
        if (!de)
            break;
        b->offsets.push_back(b->names.size());
        b->names.append(de->d_name, std::strlen(de->d_name) + 1);
    }
    size_t n = b->offsets.size();
    if (n == 0)
        return false;
    b->ptrs.resize(n);
    b->st.resize(n);
    b->err.resize(n);
    for (size_t i = 0; i < n; i++)
        b->ptrs[i] = b->names.data() + b->offsets[i];
    vfs_stat_start(&b->job, dirfd(ld->dir), b->ptrs.data(), n, b->st.data(), b->err.data());
    b->pending = true;
    return true;
}

static void batch_finish(loc_batch *b) {
    if (b->pending)
        vfs_stat_finish(&b->job);
    b->pending = false;
}

// Drops both batches (their status jobs finished first).
static void batch_reset(loc_dir *ld) {
    for (loc_batch &b : ld->batch) {
        batch_finish(&b);
        b.offsets.clear();
        b.next = 0;
    }
    ld->cur_batch = 0;
}

// The batch to hand out entries from, with its status complete and the next one started;
// null at the end of the directory.
static loc_batch *batch_current(loc_dir *ld) {
    loc_batch *b = &ld->batch[ld->cur_batch];
    if (b->next < b->offsets.size())
        return b;
    loc_batch *ahead = &ld->batch[1 - ld->cur_batch];
    if (!ahead->pending && !batch_scan(ld, ahead))
        return nullptr;
    batch_finish(ahead);
    ld->cur_batch = 1 - ld->cur_batch;
    b->offsets.clear();
    b->next = 0;
    (void)batch_scan(ld, b);  // the batch after it, while the caller lists this one
    return ahead;
}

// Entries that vanish between the scan and their status (deleted meanwhile) are skipped.
static vfs_dirent *vfs_file_readdir(void *dctx) {
    auto *ld = static_cast<loc_dir *>(dctx);
    ld->mc->op = "vfs_file_readdir";
    while (loc_batch *b = batch_current(ld)) {
        size_t i = b->next++;
        if (b->err[i] != 0)
            continue;
        fill_entry_of(ld->mc, dirfd(ld->dir), ld->rel, b->ptrs[i], b->st[i], &ld->cur);
        ld->cur.st.kind |= VFS_K_SCAN;
        ld->count++;
        return &ld->cur;
    }
    return nullptr;
}

// Names as the directory holds them, with the kind its entries carry; no status call, so
// a name listing of a large directory costs one scan.
static vfs_dirent *vfs_file_readname(void *dctx) {
    auto *ld = static_cast<loc_dir *>(dctx);
    ld->mc->op = "vfs_file_readdir";
    struct dirent *de = scan_next(ld);
    if (!de)
        return nullptr;
    const char *n = de->d_name;
    ld->cur.st = vfs_stat_rec{};  // not the whole entry: its name buffers are large
    ld->cur.link[0] = '\0';
    (void)pal_strlcpy(ld->cur.name, n);
    unsigned kind = VFS_K_SCAN;
    if (de->d_type == DT_DIR)
        kind |= VFS_K_DIR;
    else if (de->d_type == DT_REG)
        kind |= VFS_K_FILE;
    else if (de->d_type == DT_LNK)
        kind |= VFS_K_LINK;
    ld->cur.st.kind = kind;
    ld->count++;
    return &ld->cur;
}

static long vfs_file_telldir(void *dctx) { return static_cast<loc_dir *>(dctx)->count; }

// Moves to entry pos of the scan by reading it again from the start.
static int vfs_file_seekdir(void *dctx, long pos) {
    auto *ld = static_cast<loc_dir *>(dctx);
    batch_reset(ld);
    rewinddir(ld->dir);
    ld->count = 0;
    while (ld->count < pos)
        if (!vfs_file_readdir(dctx))
            return -1;
    return 0;
}

static int vfs_file_closedir(void *dctx) {
    auto *ld = static_cast<loc_dir *>(dctx);
    batch_reset(ld);
    int rc = closedir(ld->dir);
    delete ld;
    return rc == 0 ? 0 : -1;
}

// ---------------------------------------------------------------------------------------
// Control codes.

static int ioc_int_cell(void *arg, int value) {
    if (arg)
        *static_cast<int *>(arg) = value;
    return 0;
}

static int ioc_statfs(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_statfs *>(arg);
    pal_fd fd;
    if (res_path(mc, a->path, O_PATH, &fd) < 0)
        return -1;
    struct statvfs sv;
    if (fstatvfs(fd.get(), &sv) != 0)
        return REC_OS(mc, errno);
    a->out->total = static_cast<uint64_t>(sv.f_blocks) * sv.f_frsize;
    a->out->free = static_cast<uint64_t>(sv.f_bavail) * sv.f_frsize;
    a->out->bsize = sv.f_bsize;
    return 0;
}

static int ioc_getcwd(loc_mount *mc, void *arg, int len) {
    if (len <= 0)
        return REC_CODE(mc, PAL_EINVAL);
    return getcwd(static_cast<char *>(arg), static_cast<size_t>(len)) ? 0 : REC_OS(mc, errno);
}

static int ioc_setcwd(loc_mount *mc, void *arg, int) {
    return chdir(static_cast<const char *>(arg)) == 0 ? 0 : REC_OS(mc, errno);
}

static const char *fs_type_name(long type, std::span<char> hex) {
    static constexpr struct {
        long magic;
        const char *name;
    } names[] = {
        {0xEF53, "ext4"},        {0x01021994, "tmpfs"},   {0x58465342, "xfs"},
        {0x9123683E, "btrfs"},   {0x794c7630, "overlay"}, {0x6969, "nfs"},
        {0x65735546, "fuse"},    {0x4d44, "vfat"},        {0x2011BAB0, "exfat"},
        {0x5346544e, "ntfs"},    {0x858458f6, "ramfs"},   {0x2fc12fc1, "zfs"},
    };
    for (const auto &n : names)
        if (n.magic == type)
            return n.name;
    pal_snprintf(hex, "0x%lx", type);
    return hex.data();
}

static int ioc_volinfo(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_volinfo *>(arg);
    pal_fd fd;
    if (res_path(mc, a->path, O_PATH, &fd) < 0)
        return -1;
    struct statfs sf;
    if (fstatfs(fd.get(), &sf) != 0)
        return REC_OS(mc, errno);
    *a->out = {};
    (void)pal_strlcpy(a->out->root, mc->root);
    char hex[32];
    (void)pal_strlcpy(a->out->fs_name, fs_type_name(static_cast<long>(sf.f_type), hex));
    a->out->total = static_cast<uint64_t>(sf.f_blocks) * static_cast<uint64_t>(sf.f_bsize);
    return 0;
}

static int ioc_access(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_access *>(arg);
    if (mc->readonly && (a->mode & W_OK))
        return REC_CODE(mc, PAL_EACCES);
    pal_fd fd;
    if (res_path(mc, a->path, O_PATH, &fd) < 0)
        return -1;
    if (a->mode == 0)
        return 0;
    return faccessat(fd.get(), "", a->mode, AT_EMPTY_PATH | AT_EACCESS) == 0 ? 0
                                                                            : REC_OS(mc, errno);
}

static int ioc_touch(loc_mount *mc, void *arg, int) {
    if (mc->readonly)
        return REC_CODE(mc, PAL_EACCES);
    pal_fd fd;
    return res_path(mc, static_cast<const char *>(arg), O_RDONLY | O_CREAT | O_NONBLOCK | O_NOCTTY,
                    &fd, 0644);
}

static int do_mkdir(loc_mount *mc, const char *path, int mode) {
    if (mc->readonly)
        return REC_CODE(mc, PAL_EACCES);
    pal_fd dir;
    std::string last;
    if (res_parent(mc, path, &dir, &last) < 0)
        return -1;
    return mkdirat(dir.get(), last.c_str(), static_cast<mode_t>(mode)) == 0 ? 0
                                                                            : REC_OS(mc, errno);
}

static int ioc_mkdir(loc_mount *mc, void *arg, int) {
    return do_mkdir(mc, static_cast<const char *>(arg), 0755);
}

static int ioc_mkdir2(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_mkdir *>(arg);
    return do_mkdir(mc, a->path, a->mode);
}

static int ioc_unsupported(loc_mount *mc, void *, int) { return REC_CODE(mc, PAL_ENOTSUP); }

static int do_unlink(loc_mount *mc, const char *path, int flags) {
    if (mc->readonly)
        return REC_CODE(mc, PAL_EACCES);
    pal_fd dir;
    std::string last;
    if (res_parent(mc, path, &dir, &last) < 0)
        return -1;
    return unlinkat(dir.get(), last.c_str(), flags) == 0 ? 0 : REC_OS(mc, errno);
}

static int ioc_rmdir(loc_mount *mc, void *arg, int) {
    return do_unlink(mc, static_cast<const char *>(arg), AT_REMOVEDIR);
}

static int ioc_remove(loc_mount *mc, void *arg, int) {
    return do_unlink(mc, static_cast<const char *>(arg), 0);
}

// Without replace the kernel refuses an existing target atomically; file systems that do
// not know RENAME_NOREPLACE get a check before the rename.
static int ioc_rename(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_rename *>(arg);
    if (mc->readonly)
        return REC_CODE(mc, PAL_EACCES);
    pal_fd od, nd;
    std::string ol, nl;
    if (res_parent(mc, a->old_path, &od, &ol) < 0 || res_parent(mc, a->new_path, &nd, &nl) < 0)
        return -1;
    unsigned fl = a->replace ? 0 : RENAME_NOREPLACE;
    if (renameat2(od.get(), ol.c_str(), nd.get(), nl.c_str(), fl) == 0)
        return 0;
    if (errno != EINVAL || a->replace)
        return REC_OS(mc, errno);
    struct stat sb;
    if (fstatat(nd.get(), nl.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0)
        return REC_OS(mc, EEXIST);
    return renameat(od.get(), ol.c_str(), nd.get(), nl.c_str()) == 0 ? 0 : REC_OS(mc, errno);
}

static int ioc_stat(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_stat *>(arg);
    pal_fd fd;
    if (!a->out)
        return REC_CODE(mc, PAL_EINVAL);
    if (res_path(mc, a->path, O_PATH, &fd) < 0)
        return -1;
    struct stat sb;
    if (fstat(fd.get(), &sb) != 0)
        return REC_OS(mc, errno);
    fill_stat(sb, a->out);
    return 0;
}

static int ioc_lstat(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_stat *>(arg);
    if (!a->out)
        return REC_CODE(mc, PAL_EINVAL);
    char rel[VFS_PATH_MAX];
    if (to_rel(mc, a->path, rel, sizeof rel) < 0)
        return -1;
    if (!rel[0])
        return ioc_stat(mc, arg, 0);
    pal_fd dir;
    std::string last;
    if (res_parent(mc, a->path, &dir, &last) < 0)
        return -1;
    struct stat sb;
    if (fstatat(dir.get(), last.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0)
        return REC_OS(mc, errno);
    fill_stat(sb, a->out);
    return 0;
}

static int ioc_dirent(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_dirent *>(arg);
    if (!a->out)
        return REC_CODE(mc, PAL_EINVAL);
    char rel[VFS_PATH_MAX];
    if (to_rel(mc, a->path, rel, sizeof rel) < 0)
        return -1;
    if (!rel[0]) {  // the root has no parent to be listed in
        struct stat sb;
        if (fstat(mc->rootfd.get(), &sb) != 0)
            return REC_OS(mc, errno);
        *a->out = {};
        fill_stat(sb, &a->out->st);
        (void)pal_strlcpy(a->out->name, "/");
        a->out->st.id = pal_crc64(0, "/", 1);
        return 0;
    }
    pal_fd dir;
    std::string last;
    if (res_parent(mc, a->path, &dir, &last) < 0)
        return -1;
    const char *slash = std::strrchr(rel, '/');
    std::string parent = slash ? std::string(rel, static_cast<size_t>(slash - rel)) : "";
    int rc = fill_entry(mc, dir.get(), parent, last.c_str(), a->out);
    return rc == 0 ? 0 : REC_OS(mc, -rc);
}

// The session directory moves only onto a directory inside the root.
static int ioc_chdir(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_chdir *>(arg);
    if (!a->cwd || !a->path || a->size <= 0)
        return REC_CODE(mc, PAL_EINVAL);
    if (strnlen(a->path, VFS_PATH_MAX) >= VFS_PATH_MAX)
        return REC_CODE(mc, PAL_ENAMETOOLONG);
    char res[VFS_PATH_MAX];
    if (int rc = vfs_path_resolve(a->cwd, a->path, res, sizeof res); rc < 0)
        return REC_CODE(mc, rc);
    if (std::strlen(res) >= static_cast<size_t>(a->size))
        return REC_CODE(mc, PAL_ENAMETOOLONG);
    if (std::strcmp(res, "/") != 0) {
        pal_fd fd;
        if (res_path(mc, res, O_PATH, &fd) < 0)
            return -1;
        struct stat sb;
        if (fstat(fd.get(), &sb) != 0)
            return REC_OS(mc, errno);
        if (!S_ISDIR(sb.st_mode))
            return REC_CODE(mc, PAL_ENOTDIR);
    }
    (void)pal_strlcpy({a->cwd, static_cast<size_t>(a->size)}, res);
    return 0;
}

static int ioc_realpath(loc_mount *mc, void *arg, int) {
    auto *a = static_cast<vfs_ioc_realpath *>(arg);
    if (!a->cwd || !a->path || !a->out || a->size <= 0)
        return REC_CODE(mc, PAL_EINVAL);
    if (strnlen(a->path, VFS_PATH_MAX) >= VFS_PATH_MAX ||
        strnlen(a->cwd, VFS_PATH_MAX) >= VFS_PATH_MAX)
        return REC_CODE(mc, PAL_ENAMETOOLONG);
    int rc = vfs_path_resolve(a->cwd, a->path, a->out, static_cast<size_t>(a->size));
    return rc < 0 ? REC_CODE(mc, rc) : 0;
}

using ioc_fn = int (*)(loc_mount *mc, void *arg, int len);

static int ioc_reserved(loc_mount *, void *arg, int) { return ioc_int_cell(arg, 0); }
static int ioc_caps(loc_mount *, void *arg, int) { return ioc_int_cell(arg, 1); }
static int ioc_nop(loc_mount *, void *, int) { return 0; }

static constexpr struct {
    int code;
    bool needs_arg;
    ioc_fn fn;
} ioc_table[] = {
    {VFS_IOC_RESERVED, false, ioc_reserved}, {VFS_IOC_STATFS, true, ioc_statfs},
    {VFS_IOC_GETCWD, true, ioc_getcwd},      {VFS_IOC_SETCWD, true, ioc_setcwd},
    {VFS_IOC_CAPS, false, ioc_caps},         {VFS_IOC_VOLINFO, true, ioc_volinfo},
    {VFS_IOC_NOP, false, ioc_nop},           {VFS_IOC_ACCESS, true, ioc_access},
    {VFS_IOC_TOUCH, true, ioc_touch},        {VFS_IOC_MKDIR, true, ioc_mkdir},
    {VFS_IOC_MKDIR2, true, ioc_mkdir2},      {34, false, ioc_unsupported},
    {35, false, ioc_unsupported},            {36, false, ioc_unsupported},
    {VFS_IOC_RMDIR, true, ioc_rmdir},        {VFS_IOC_REMOVE, true, ioc_remove},
    {VFS_IOC_RENAME, true, ioc_rename},      {VFS_IOC_STAT, true, ioc_stat},
    {VFS_IOC_LSTAT, true, ioc_lstat},        {VFS_IOC_DIRENT, true, ioc_dirent},
    {VFS_IOC_CHDIR, true, ioc_chdir},        {VFS_IOC_REALPATH, true, ioc_realpath},
};

static int vfs_file_ioctl(void *ctx, int code, void *arg, int len) {
    auto *mc = static_cast<loc_mount *>(ctx);
    mc->op = "vfs_file_ioctl";
    for (const auto &e : ioc_table) {
        if (e.code != code)
            continue;
        if (e.needs_arg && !arg)
            return REC_CODE(mc, PAL_EINVAL);
        return e.fn(mc, arg, len);
    }
    return REC_CODE(mc, PAL_EINVAL);
}

const vfs_drv vfs_drv_file = {
    .kind = 1,
    .name = "file",
    .init = vfs_file_init,
    .exit = vfs_file_exit,
    .probe = vfs_file_probe,
    .mount = vfs_file_mount,
    .umount = vfs_file_umount,
    .statfs = vfs_file_statfs,
    .reserved = vfs_file_reserved,
    .open = vfs_file_open,
    .wopen = vfs_file_wopen,
    .open2 = vfs_file_open2,
    .close = vfs_file_close,
    .read = vfs_file_read,
    .write = vfs_file_write,
    .fsync = vfs_file_fsync,
    .ftruncate = vfs_file_ftruncate,
    .futime = vfs_file_futime,
    .flock = vfs_file_flock,
    .lseek = vfs_file_lseek,
    .fstat = vfs_file_fstat,
    .opendir = vfs_file_opendir,
    .readdir = vfs_file_readdir,
    .seekdir = vfs_file_seekdir,
    .telldir = vfs_file_telldir,
    .closedir = vfs_file_closedir,
    .ioctl = vfs_file_ioctl,
    .fd = vfs_file_fd,
    .readname = vfs_file_readname,
};
