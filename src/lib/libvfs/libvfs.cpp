// libvfs.cpp - the VFS core: driver registry, checked handles, read cache, and the thin
// wrappers that turn the server's file operations into driver calls.
// Handles are checked by magic and type before every use; a closed handle has its magic
// cleared so that a stale pointer is refused while its memory is not reused.
#include "vfs.h"

#include "log.h"
#include "pal.h"
#include "pal_url.h"
#include "vfs_internal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace {
std::mutex g_reg_lock;
std::array<const vfs_drv *, 4> g_drvs{};
bool g_started = false;
// Every live handle, so that a stale or foreign pointer is refused without reading the
// memory it points to (a closed handle's memory is already freed).
std::shared_mutex g_live_lock;
std::unordered_set<const void *> g_live;
}  // namespace

static bool live(const void *h) {
    std::shared_lock lk(g_live_lock);
    return g_live.count(h) != 0;
}

static void live_add(const void *h) {
    std::unique_lock lk(g_live_lock);
    g_live.insert(h);
}

static void live_del(const void *h) {
    std::unique_lock lk(g_live_lock);
    g_live.erase(h);
}

// Read cache of one file handle: one window of the file, refilled on a miss.
struct vfs_rcache {
    size_t cap = 0;
    std::unique_ptr<char[]> buf;
    size_t pos = 0;      // read position within buf
    size_t filled = 0;   // 0: empty
    int64_t fsize = 0;   // file size when the cache was made
    int64_t start = 0;   // file offset of buf[0]
};

struct vfs_mount {
    uint32_t magic = VFS_MAGIC;
    uint32_t type = VFS_T_MOUNT;
    void *ctx = nullptr;
    std::vector<vfs_file *> files;
    std::vector<vfs_dir *> dirs;
    const vfs_drv *drv = nullptr;
    vfs_err err{};
    std::mutex lock;  // guards files and dirs
    uint64_t wcache_size = 0;
    uint64_t rcache_size = 0;
};

struct vfs_file {
    uint32_t magic = VFS_MAGIC;
    uint32_t type = VFS_T_FILE;
    unsigned flags = 0;
    void *fctx = nullptr;
    vfs_mount *m = nullptr;
    std::string path;
    // Uploads write straight through, so the write cache never holds bytes: only its
    // capacity is kept, and flushing it has nothing to do.
    uint64_t wcache_cap = 0;
    std::unique_ptr<vfs_rcache> rcache;
    bool caches_set = false;
};

struct vfs_dir {
    uint32_t magic = VFS_MAGIC;
    uint32_t type = VFS_T_DIR;
    void *dctx = nullptr;
    vfs_mount *m = nullptr;
    std::string path;
};

static bool mount_ok(const vfs_mount *m) {
    return m && live(m) && m->magic == VFS_MAGIC && m->type == VFS_T_MOUNT;
}
static bool file_ok(const vfs_file *f) {
    return f && live(f) && f->magic == VFS_MAGIC && f->type == VFS_T_FILE && mount_ok(f->m);
}
static bool dir_ok(const vfs_dir *d) {
    return d && live(d) && d->magic == VFS_MAGIC && d->type == VFS_T_DIR && mount_ok(d->m);
}

static void set_missing(vfs_mount *m, const char *func) {
    vfs_err_set(&m->err, "src\\lib\\libvfs\\libvfs", func, __LINE__, PAL_ENOTSUP, "%s", "");
}

// ---------------------------------------------------------------------------------------
// Registry.

int vfs_add_drv(const vfs_drv *drv) {
    if (!drv)
        return -1;
    std::scoped_lock lk(g_reg_lock);
    for (auto &slot : g_drvs) {
        if (!slot) {
            slot = drv;
            return 0;
        }
    }
    LOG2(LOG2_CRIT, "vfs_loc", "failed\n");
    return -1;
}

int libvfs_init() {
    // Held for the whole start, so that a second caller waits until the drivers are ready.
    static std::mutex init_lock;
    std::scoped_lock init(init_lock);
    {
        std::scoped_lock lk(g_reg_lock);
        if (g_started)
            return 0;
        g_started = true;
    }
    if (vfs_add_drv(&vfs_drv_file) < 0 || vfs_add_drv(&vfs_drv_physfs) < 0)
        return -1;
    std::array<const vfs_drv *, 4> drvs;
    {
        std::scoped_lock lk(g_reg_lock);
        drvs = g_drvs;
    }
    for (const vfs_drv *d : drvs) {
        if (d && d->init && d->init() != 0) {
            LOG2(LOG2_CRIT, "vfs_loc", "drv [%s] init failed\n", d->name);
            return -1;
        }
    }
    return 0;
}

void libvfs_exit() {
    std::array<const vfs_drv *, 4> drvs;
    {
        std::scoped_lock lk(g_reg_lock);
        if (!g_started)
            return;
        g_started = false;
        drvs = g_drvs;
        g_drvs = {};
    }
    for (const vfs_drv *d : drvs)
        if (d && d->exit)
            d->exit();
}

static const vfs_drv *find_drv(const char *url) {
    std::scoped_lock lk(g_reg_lock);
    for (int i = 3; i >= 0; i--)
        if (g_drvs[i] && g_drvs[i]->probe && g_drvs[i]->probe(url) == 0)
            return g_drvs[i];
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Mounts.

// Sessions named by a leading "///" come from the client session store, which this build
// does not have; such URLs fail.
static int url_rewrite(const char *url, std::string *out) {
    if (std::strncmp(url, "///", 3) == 0)
        return -1;
    out->assign(url);
    std::replace(out->begin(), out->end(), '\\', '/');
    return 0;
}

vfs_mount *vfs_mount2(const char *url, vfs_err *err) {
    if (!url) {
        vfs_err_set(err, "src\\lib\\libvfs\\libvfs", __func__, __LINE__, PAL_EINVAL, "%s", "");
        return nullptr;
    }
    if (libvfs_init() != 0)
        return nullptr;
    std::string turl;
    if (url_rewrite(url, &turl) != 0) {
        vfs_err_set(err, "src\\lib\\libvfs\\libvfs", __func__, __LINE__, PAL_EINVAL,
                    "url_conf_2_real [%s] failed\n", url);
        LOG2(LOG2_ERR, "vfs_loc", "url_conf_2_real [%s] failed\n", url);
        return nullptr;
    }
    LOG2(LOG2_VERB, "vfs_loc", "url=[%s] turl=[%s]\n", url, turl.c_str());

    auto m = std::make_unique<vfs_mount>();
    m->drv = find_drv(turl.c_str());
    if (!m->drv) {
        LOG2(LOG2_ERR, "vfs_loc", "find_drv failed\n");
        vfs_err_set(err, "src\\lib\\libvfs\\libvfs", __func__, __LINE__, PAL_ENOTSUP,
                    "find_drv failed");
        return nullptr;
    }
    m->ctx = m->drv->mount(turl.c_str(), 0, &m->err, m.get());
    if (!m->ctx) {
        if (err)
            *err = m->err;
        return nullptr;
    }
    m->files.reserve(16);
    m->dirs.reserve(16);
    char size[256];
    url_get_query(url, "rcache_size", "0", size, sizeof size);
    m->rcache_size = size_str_to_u64(size);
    url_get_query(url, "wcache_size", "0", size, sizeof size);
    m->wcache_size = size_str_to_u64(size);
    LOG2(LOG2_VERB, "vfs_loc", "rcache_bsize=%d wcache_bsize=%d\n",
         pal_size_to_i32(m->rcache_size), pal_size_to_i32(m->wcache_size));
    live_add(m.get());
    return m.release();
}

int vfs_umount(vfs_mount *m) {
    if (!mount_ok(m))
        return -1;
    std::vector<vfs_file *> files;
    std::vector<vfs_dir *> dirs;
    {
        std::scoped_lock lk(m->lock);
        files.swap(m->files);
        dirs.swap(m->dirs);
    }
    for (vfs_file *f : files) {
        if (m->drv->close)
            (void)m->drv->close(f->fctx);
        live_del(f);
        f->magic = 0;
        delete f;
    }
    for (vfs_dir *d : dirs) {
        if (m->drv->closedir)
            (void)m->drv->closedir(d->dctx);
        live_del(d);
        d->magic = 0;
        delete d;
    }
    int rc = m->drv->umount ? m->drv->umount(m->ctx) : 0;
    live_del(m);
    m->magic = 0;
    delete m;
    return rc;
}

static vfs_mount *mount_of(const void *h) {
    if (!h || !live(h))
        return nullptr;
    uint32_t hdr[2];
    std::memcpy(hdr, h, sizeof hdr);
    if (hdr[0] != VFS_MAGIC)
        return nullptr;
    if (hdr[1] == VFS_T_MOUNT)
        return const_cast<vfs_mount *>(static_cast<const vfs_mount *>(h));
    if (hdr[1] == VFS_T_FILE) {
        auto *f = static_cast<const vfs_file *>(h);
        return file_ok(f) ? f->m : nullptr;
    }
    if (hdr[1] == VFS_T_DIR) {
        auto *d = static_cast<const vfs_dir *>(h);
        return dir_ok(d) ? d->m : nullptr;
    }
    return nullptr;
}

const char *vfs_strerror(const void *h) {
    vfs_mount *m = mount_of(h);
    if (!m)
        return "invalid handle error";
    if (m->err.msg[0])
        return m->err.msg;
    return pal_strerror(m->err.code);
}

const vfs_err *vfs_lasterr(const void *h) {
    vfs_mount *m = mount_of(h);
    return m ? &m->err : nullptr;
}

// ---------------------------------------------------------------------------------------
// Directories.

vfs_dir *vfs_opendir(vfs_mount *m, const char *path) {
    if (!mount_ok(m) || !path)
        return nullptr;
    if (!m->drv->opendir) {
        set_missing(m, __func__);
        return nullptr;
    }
    void *dctx = m->drv->opendir(m->ctx, path, nullptr);
    if (!dctx)
        return nullptr;
    auto *d = new vfs_dir;
    d->dctx = dctx;
    d->m = m;
    d->path = path;
    {
        std::scoped_lock lk(m->lock);
        m->dirs.push_back(d);
    }
    live_add(d);
    return d;
}

vfs_dirent *vfs_readdir(vfs_dir *d) {
    if (!dir_ok(d) || !d->m->drv->readdir)
        return nullptr;
    return d->m->drv->readdir(d->dctx);
}

vfs_dirent *vfs_readname(vfs_dir *d) {
    if (!dir_ok(d))
        return nullptr;
    if (d->m->drv->readname)
        return d->m->drv->readname(d->dctx);
    return d->m->drv->readdir ? d->m->drv->readdir(d->dctx) : nullptr;
}

int vfs_closedir(vfs_dir *d) {
    if (!dir_ok(d))
        return -1;
    vfs_mount *m = d->m;
    int rc = m->drv->closedir ? m->drv->closedir(d->dctx) : -1;
    {
        std::scoped_lock lk(m->lock);
        std::erase(m->dirs, d);
    }
    live_del(d);
    d->magic = 0;
    delete d;
    return rc;
}

// ---------------------------------------------------------------------------------------
// Control operations.

int vfs_ioctl(vfs_mount *m, int code, void *arg, int len) {
    if (!mount_ok(m))
        return -1;
    if (!m->drv->ioctl) {
        set_missing(m, __func__);
        return -1;
    }
    return m->drv->ioctl(m->ctx, code, arg, len);
}

int vfs_mkdir(vfs_mount *m, const char *path) {
    return vfs_ioctl(m, VFS_IOC_MKDIR, const_cast<char *>(path), -1);
}

int vfs_rmdir(vfs_mount *m, const char *path) {
    return vfs_ioctl(m, VFS_IOC_RMDIR, const_cast<char *>(path), -1);
}

int vfs_remove(vfs_mount *m, const char *path) {
    return vfs_ioctl(m, VFS_IOC_REMOVE, const_cast<char *>(path), -1);
}

int vfs_rename(vfs_mount *m, const char *old_path, const char *new_path, bool replace) {
    vfs_ioc_rename a{old_path, new_path, static_cast<uint8_t>(replace ? 1 : 0)};
    return vfs_ioctl(m, VFS_IOC_RENAME, &a, 12);
}

int vfs_stat(vfs_mount *m, const char *path, vfs_stat_rec *out) {
    vfs_ioc_stat a{path, out};
    return vfs_ioctl(m, VFS_IOC_STAT, &a, 8);
}

int vfs_dirent_of(vfs_mount *m, const char *path, vfs_dirent *out) {
    vfs_ioc_dirent a{path, out};
    return vfs_ioctl(m, VFS_IOC_DIRENT, &a, 8);
}

int vfs_chdir(vfs_mount *m, char *cwd, const char *path) {
    vfs_ioc_chdir a{cwd, VFS_PATH_MAX, path};
    return vfs_ioctl(m, VFS_IOC_CHDIR, &a, 12);
}

int vfs_realpath(vfs_mount *m, const char *cwd, const char *path, char *out) {
    vfs_ioc_realpath a{cwd, path, out, VFS_PATH_MAX};
    return vfs_ioctl(m, VFS_IOC_REALPATH, &a, 16);
}

// ---------------------------------------------------------------------------------------
// Files.

vfs_file *vfs_open(vfs_mount *m, const char *path, unsigned flags) {
    if (!mount_ok(m) || !path)
        return nullptr;
    if (!m->drv->open) {
        set_missing(m, __func__);
        return nullptr;
    }
    void *fctx = m->drv->open(m->ctx, path, flags);
    if (!fctx)
        return nullptr;
    auto *f = new vfs_file;
    f->flags = flags;
    f->fctx = fctx;
    f->m = m;
    f->path = path;
    {
        std::scoped_lock lk(m->lock);
        m->files.push_back(f);
    }
    live_add(f);
    return f;
}

// Nothing is ever held in the write cache (writes go straight through); the flush exists
// so that every operation that must see written bytes has one place to call.
static int64_t wcache_flush(vfs_file *) { return 0; }

int vfs_close(vfs_file *f) {
    if (!file_ok(f))
        return -1;
    if (wcache_flush(f) < 0)
        return -1;
    vfs_mount *m = f->m;
    int rc = m->drv->close ? m->drv->close(f->fctx) : -1;
    {
        std::scoped_lock lk(m->lock);
        std::erase(m->files, f);
    }
    live_del(f);
    f->magic = 0;
    delete f;
    return rc;
}

static int64_t drv_read(vfs_file *f, void *buf, size_t len, int64_t offset) {
    if (!f->m->drv->read) {
        set_missing(f->m, "vfs_pread");
        return -1;
    }
    return f->m->drv->read(f->fctx, buf, len, offset);
}

static int caches_setup(vfs_file *f) {
    f->caches_set = true;
    vfs_mount *m = f->m;
    if (f->flags & VFS_O_READ) {
        if (m->rcache_size == 0)
            return 0;
        vfs_stat_rec st{};
        if (vfs_fstat(f, &st) != 0)
            return -1;
        auto rc = std::make_unique<vfs_rcache>();
        rc->cap = static_cast<size_t>(m->rcache_size);
        rc->buf.reset(new (std::nothrow) char[rc->cap]);
        if (!rc->buf) {
            vfs_err_set(&m->err, "src\\lib\\libvfs\\libvfs", "vfs_pread", __LINE__,
                        PAL_ENOMEM, "%s", "");
            return -1;
        }
        rc->fsize = static_cast<int64_t>(st.size);
        f->rcache = std::move(rc);
        LOG2(LOG2_DBG, "vfs_loc", "name=%s h_rcache=%p\n", f->path.c_str(),
             static_cast<void *>(f->rcache.get()));
        return 0;
    }
    if ((f->flags & VFS_O_WRITE) && m->wcache_size != 0) {
        f->wcache_cap = m->wcache_size;
        LOG2(LOG2_DBG, "vfs_loc", "name=%s h_wcache=%p\n", f->path.c_str(),
             static_cast<void *>(&f->wcache_cap));
    }
    return 0;
}

// Serves a read from the cache window when it starts where the window's read position
// is, then refills the window once at the first byte still wanted. Reads at least as
// large as the window go straight to the driver. The refill is bounded by the size the
// file had when the cache was made.
static int64_t rcache_read(vfs_file *f, char *buf, size_t n, int64_t o) {
    vfs_rcache &rc = *f->rcache;
    if (n >= rc.cap || o < 0) {
        rc.filled = rc.pos = 0;
        return drv_read(f, buf, n, o);
    }
    size_t copied = 0;
    if (rc.filled && rc.start + static_cast<int64_t>(rc.pos) == o) {
        size_t k = std::min(n, rc.filled - rc.pos);
        std::memcpy(buf, rc.buf.get() + rc.pos, k);
        rc.pos += k;
        copied = k;
        if (rc.pos >= rc.filled)
            rc.filled = rc.pos = 0;
        if (copied == n)
            return static_cast<int64_t>(copied);
    }
    rc.filled = rc.pos = 0;
    int64_t at = o + static_cast<int64_t>(copied);
    size_t want = 0;
    if (at < rc.fsize)
        want = static_cast<size_t>(std::min<int64_t>(rc.fsize - at, static_cast<int64_t>(rc.cap)));
    int64_t got = want ? drv_read(f, rc.buf.get(), want, at) : 0;
    if (got < 0)
        return -1;
    size_t k = std::min(static_cast<size_t>(got), n - copied);
    std::memcpy(buf + copied, rc.buf.get(), k);
    rc.start = at;
    rc.pos = k;
    rc.filled = static_cast<size_t>(got) > k ? static_cast<size_t>(got) : 0;
    if (!rc.filled)
        rc.pos = 0;
    return static_cast<int64_t>(copied + k);
}

int64_t vfs_pread(vfs_file *f, void *buf, size_t len, int64_t offset) {
    if (!file_ok(f) || (!buf && len))
        return -1;
    if (!f->caches_set && caches_setup(f) != 0)
        return -1;
    int64_t w = wcache_flush(f);
    if (w < 0)
        return -1;
    if (w > 0 && f->rcache)
        f->rcache->filled = f->rcache->pos = 0;
    if (f->rcache)
        return rcache_read(f, static_cast<char *>(buf), len, offset);
    return drv_read(f, buf, len, offset);
}

int64_t vfs_write(vfs_file *f, const void *buf, size_t len) {
    if (!file_ok(f) || (!buf && len))
        return -1;
    if (!f->m->drv->write) {
        set_missing(f->m, __func__);
        return -1;
    }
    // A read cache window may now hold stale bytes.
    if (f->rcache)
        f->rcache->filled = f->rcache->pos = 0;
    return f->m->drv->write(f->fctx, buf, len, -1);
}

int64_t vfs_lseek(vfs_file *f, int64_t offset, int whence) {
    if (!file_ok(f) || wcache_flush(f) < 0)
        return -1;
    if (!f->m->drv->lseek) {
        set_missing(f->m, __func__);
        return -1;
    }
    return f->m->drv->lseek(f->fctx, offset, whence);
}

int vfs_fstat(vfs_file *f, vfs_stat_rec *out) {
    if (!file_ok(f) || !out || wcache_flush(f) < 0)
        return -1;
    if (!f->m->drv->fstat) {
        set_missing(f->m, __func__);
        return -1;
    }
    return f->m->drv->fstat(f->fctx, out);
}

int vfs_file_fd(vfs_file *f) {
    if (!file_ok(f) || !f->m->drv->fd || wcache_flush(f) < 0)
        return -1;
    return f->m->drv->fd(f->fctx);
}

int vfs_futime(vfs_file *f, const vfs_time *atime, const vfs_time *mtime) {
    if (!file_ok(f) || wcache_flush(f) < 0)
        return -1;
    if (!f->m->drv->futime) {
        set_missing(f->m, __func__);
        return -1;
    }
    return f->m->drv->futime(f->fctx, atime, mtime);
}

int vfs_ftruncate(vfs_file *f, int64_t size) {
    if (!file_ok(f) || wcache_flush(f) < 0)
        return -1;
    if (!f->m->drv->ftruncate) {
        set_missing(f->m, __func__);
        return -1;
    }
    if (f->rcache)
        f->rcache->filled = f->rcache->pos = 0;
    return f->m->drv->ftruncate(f->fctx, size);
}
