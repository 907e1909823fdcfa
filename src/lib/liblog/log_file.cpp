// log_file.cpp - the text file sink: the file line format, re-creation of a file deleted
// while the program runs, one retry after a write error, and the size cap that keeps the
// newest half of the file starting at a line boundary.
#include "log_internal.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

// "e": the descriptor is not inherited by programs the server starts.
static std::FILE *open_stream(const char *path, const char *mode) {
    char m[8];
    pal_snprintf(m, "%se", mode);
    return std::fopen(path, m);
}

void log_file_close(log2_ctx *c) {
    if (c->file.stream != nullptr)
        std::fclose(c->file.stream);
    c->file.stream = nullptr;
}

int log_file_open(log2_ctx *c, const char *path) {
    log_file_close(c);
    c->file.path[0] = '\0';
    char full[4096];
    if (!path_is_absolute(path) && c->file.dir[0] != '\0')
        pal_snprintf(full, "%s/%s", c->file.dir, path);
    else
        pal_strlcpy(full, path);
    std::FILE *f = open_stream(full, c->file.mode);
    if (f == nullptr) {
        std::fprintf(stderr, "fopen %s err\n", full);
        return -1;
    }
    c->file.stream = f;
    pal_strlcpy(c->file.path, full);
    return 0;
}

int log_file_set_mode(log2_ctx *c, const char *mode) {
    if (std::strcmp(mode, "a") != 0 && std::strcmp(mode, "w") != 0) {
        std::fprintf(stderr, "mode %s err\n", mode);
        return -1;
    }
    pal_strlcpy(c->file.mode, mode);
    return 0;
}

// Returns the bytes written, or -1 when the stream reports an error.
static int64_t write_line(std::FILE *f, int pid, const log2_line *l) {
    const pal_tm &tm = *l->tm;
    char head[1024];
    int n = pal_snprintf(head, "%04d-%02d-%02d %02d:%02d:%02d.%06d %-5s %d --- [%s] %s ",
                         tm.year, tm.mon, tm.mday, tm.hour, tm.min, tm.sec, tm.usec,
                         log2_level_label(l->level), pid, l->thread, l->tag);
    std::fwrite(head, 1, static_cast<size_t>(n), f);
    std::fwrite(l->b, 1, l->b_len, f);
    std::fflush(f);
    return std::ferror(f) ? -1 : n + static_cast<int64_t>(l->b_len);
}

static void reopen_append(log2_ctx *c, const char *mode) {
    log_file_close(c);
    c->file.stream = open_stream(c->file.path, mode);
}

void log_file_write(log2_ctx *c, const log2_line *l) {
    if (!c->on_file.load() || c->file.stream == nullptr)
        return;
    // One look at the file per line tells both whether it still exists and its size.
    int64_t size = os_file_size(c->file.path);
    if (size < 0) {  // deleted or moved away: start a new file
        reopen_append(c, "a+");
        size = 0;
    }
    if (c->file.stream == nullptr)
        return;
    int64_t n = write_line(c->file.stream, c->pid, l);
    if (n < 0) {
        log2_dbg_printf("log_file_write: fwrite error\n");
        reopen_append(c, "a+");
        if (c->file.stream == nullptr || (n = write_line(c->file.stream, c->pid, l)) < 0) {
            log_file_close(c);
            return;
        }
    }
    if (static_cast<uint64_t>(size + n) < c->file.size_cap)
        return;
    log_file_close(c);
    log_file_halve(c->file.path, c->file.size_cap);
    // Appending after the cut: a stream opened with "w" would keep its old position.
    c->file.stream = open_stream(c->file.path, "a");
}

// ---------------------------------------------------------------------------------------
// Halving

namespace {
class file_closer {
public:
    explicit file_closer(std::FILE *f) : f_(f) {}
    file_closer(const file_closer &) = delete;
    file_closer &operator=(const file_closer &) = delete;
    ~file_closer() {
        if (f_ != nullptr)
            std::fclose(f_);
    }
    std::FILE *get() const { return f_; }

private:
    std::FILE *f_;
};
}  // namespace

// Offset just after the first line feed at or after start, or start + 1 when none.
static uint64_t find_cut(std::FILE *in, uint64_t start, std::vector<char> &buf) {
    if (std::fseek(in, static_cast<long>(start), SEEK_SET) != 0)
        return start + 1;
    uint64_t pos = start;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
        const void *lf = std::memchr(buf.data(), '\n', n);
        if (lf != nullptr)
            return pos + static_cast<uint64_t>(static_cast<const char *>(lf) - buf.data()) + 1;
        pos += n;
    }
    return start + 1;
}

// Moves everything from offset from to the start of the file; returns the bytes moved.
// The writer always stays behind the reader, so one file serves as source and target.
static int64_t move_tail(std::FILE *in, std::FILE *out, uint64_t from, std::vector<char> &buf) {
    if (std::fseek(in, static_cast<long>(from), SEEK_SET) != 0)
        return PAL_EIO;
    int64_t moved = 0;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
        if (std::fwrite(buf.data(), 1, n, out) != n)
            return PAL_EIO;
        moved += static_cast<int64_t>(n);
    }
    if (std::fflush(out) != 0)
        return PAL_EIO;
    return moved;
}

int log_file_halve(const char *path, uint64_t cap) {
    int64_t size = os_file_size(path);
    if (size < 0)
        return static_cast<int>(size);
    uint64_t keep = cap / 2;
    if (static_cast<uint64_t>(size) <= keep)
        return 0;
    int64_t moved = 0;
    if (keep > 0) {
        file_closer in(open_stream(path, "rb"));
        file_closer out(open_stream(path, "r+b"));
        if (in.get() == nullptr || out.get() == nullptr)
            return pal_last_error();
        std::vector<char> buf(65536);
        uint64_t cut = find_cut(in.get(), static_cast<uint64_t>(size) - keep, buf);
        moved = move_tail(in.get(), out.get(), cut, buf);
        if (moved < 0)
            return static_cast<int>(moved);
    }
    std::error_code ec;
    std::filesystem::resize_file(path, static_cast<uintmax_t>(moved), ec);
    return ec ? PAL_EIO : 0;
}
