// app_metrics_linux.cpp - process facts for the metrics page from /proc/self, /proc/stat
// and the descriptor limit. The only file of libapp that includes system headers.
#include "app_metrics_internal.h"

#include <cstdlib>
#include <string>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include "pal.h"

/// Field n (1-based, as proc(5) numbers them) of /proc/self/stat as a number. The command
/// name (field 2) may hold blanks and parentheses, so counting starts after its last ')'.
static double stat_field(const std::string &stat, int n) {
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || n < 3)
        return -1;
    const char *p = stat.c_str() + paren + 1;
    for (int field = 3; field < n && *p; field++) {
        while (*p == ' ')
            p++;
        while (*p && *p != ' ')
            p++;
    }
    return std::strtod(p, nullptr);
}

/// The boot time ("btime" of /proc/stat) in Unix seconds, or -1.
static double boot_time() {
    std::string text;
    if (os_read_file("/proc/stat", &text) != 0)
        return -1;
    size_t at = text.find("\nbtime ");
    return at == std::string::npos ? -1 : std::strtod(text.c_str() + at + 7, nullptr);
}

/// Entries of /proc/self/fd but the listing's own descriptor.
static int64_t count_fds() {
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    int64_t n = 0;
    int own = dirfd(d);
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        if (std::strtol(e->d_name, nullptr, 10) != own)
            n++;
    }
    closedir(d);
    return n;
}

void app_proc_facts_read(app_proc_facts *out) {
    *out = app_proc_facts{};
    double hz = double(sysconf(_SC_CLK_TCK));
    double page = double(sysconf(_SC_PAGESIZE));
    std::string stat;
    if (os_read_file("/proc/self/stat", &stat) == 0 && hz > 0) {
        // /proc/stat is long on machines with many processors and interrupts, and the
        // boot time in it never changes: it is read once.
        static const double boot = boot_time();
        if (boot >= 0)
            out->start_time_s = boot + stat_field(stat, 22) / hz;
        out->cpu_s = (stat_field(stat, 14) + stat_field(stat, 15)) / hz;
        out->threads = int64_t(stat_field(stat, 20));
        out->vm_bytes = int64_t(stat_field(stat, 23));
        out->rss_bytes = int64_t(stat_field(stat, 24) * page);
    }
    out->open_fds = count_fds();
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0)
        out->max_fds = rl.rlim_cur == RLIM_INFINITY ? INT64_MAX : int64_t(rl.rlim_cur);
}
