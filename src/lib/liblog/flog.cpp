// flog.cpp - side log files (the login file and the like): created with mode 0600, append
// mode, one lock per handle, an optional time prefix and a size cap that keeps the newest
// half of the file.
#include "log.h"

#include "log_internal.h"

#include <cerrno>
#include <cstdio>
#include <string>

struct flog {
    std::mutex mu;
    std::FILE *stream = nullptr;
    std::string path;
    flog_opts opts{};
};

// A side file may tell who logged in from where: one that is missing is made readable by
// the owner only (whatever the umask); an existing one keeps the mode it was given. A
// failure to create shows as fopen's failure just after.
static std::FILE *open_append(const char *path) {
    (void)os_create_private_file(path);
    return std::fopen(path, "a+e");  // "e": not inherited by programs the server starts
}

flog *flog_open(const char *path, const flog_opts *opts) {
    if (path == nullptr)
        return nullptr;
    std::FILE *f = open_append(path);
    if (f == nullptr) {
        char err[256];
        LOG2(LOG2_DBG, "log", "fopen %s error: %s\n", path, pal_os_strerror(errno, err));
        return nullptr;
    }
    flog *h = new flog;
    h->stream = f;
    h->path = path;
    if (opts != nullptr)
        h->opts = *opts;
    return h;
}

static int write_text(flog *f, const char *text, size_t len) {
    if (f->opts.flags & FLOG_TIME) {
        pal_tm tm{};
        os_localtime(&tm);
        std::fprintf(f->stream, "%04d-%02d-%02d %02d:%02d:%02d ", tm.year, tm.mon, tm.mday,
                     tm.hour, tm.min, tm.sec);
    }
    std::fwrite(text, 1, len, f->stream);
    std::fflush(f->stream);
    return std::ferror(f->stream) ? -1 : 0;
}

static void reopen(flog *f) {
    if (f->stream != nullptr)
        std::fclose(f->stream);
    f->stream = open_append(f->path.c_str());
}

// Under the handle's lock: write, retry once on a fresh stream, then apply the cap.
static int write_locked(flog *f, const char *text, size_t len) {
    if (f->stream == nullptr || write_text(f, text, len) < 0) {
        reopen(f);
        if (f->stream == nullptr || write_text(f, text, len) < 0)
            return -1;
    }
    long size = std::ftell(f->stream);
    if (f->opts.size_cap == 0 || size < 0 || static_cast<uint64_t>(size) < f->opts.size_cap)
        return 0;
    std::fclose(f->stream);
    f->stream = nullptr;
    log_file_halve(f->path.c_str(), f->opts.size_cap);
    f->stream = open_append(f->path.c_str());
    return 0;
}

int flog_printf(flog *f, const char *fmt, ...) {
    if (f == nullptr)
        return -1;
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    int len = pal_vsnprintf(text, fmt, ap);
    va_end(ap);
    std::scoped_lock lock(f->mu);
    return write_locked(f, text, static_cast<size_t>(len)) < 0 ? -1 : len;
}

void flog_close(flog *f) {
    if (f == nullptr)
        return;
    if (f->stream != nullptr)
        std::fclose(f->stream);
    delete f;
}
