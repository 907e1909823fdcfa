// sh_sysinfo_linux.cpp - the system facts the shell shows, read from uname, /proc and the
// C library's allocator; the environment; opening files for `source`. The only file of the
// shell's interpreter that includes system headers.
#include "sh_internal.h"

#include "pal.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

std::vector<std::string> sh_os_environ() {
    std::vector<std::string> out;
    for (char **e = environ; e != nullptr && *e != nullptr; e++)
        out.emplace_back(*e);
    return out;
}

std::string sh_os_info() {
    struct utsname u {};
    if (uname(&u) != 0)
        return "unknown";
    return pal_format("%s %s %s %s", u.sysname, u.release, u.version, u.machine);
}

/// The value after "key" and its colon on the first line that starts with key.
static std::string proc_field(const std::string &text, std::string_view key) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + at, end - at);
        if (line.substr(0, key.size()) == key) {
            size_t colon = line.find(':');
            if (colon != std::string_view::npos)
                return std::string(pal_trim(line.substr(colon + 1)));
        }
        at = end + 1;
    }
    return "";
}

std::string sh_hw_info() {
    std::string cpu, mem;
    (void)os_read_file("/proc/cpuinfo", &cpu);
    (void)os_read_file("/proc/meminfo", &mem);
    std::string model = proc_field(cpu, "model name");
    if (model.empty())
        model = os_machine_name();
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return pal_format("%s, %ld cores, %s memory", model.c_str(), cores,
                      proc_field(mem, "MemTotal").c_str());
}

double sh_os_uptime() {
    std::string text;
    if (os_read_file("/proc/uptime", &text) != 0)
        return 0;
    return std::strtod(text.c_str(), nullptr);
}

double sh_proc_uptime() {
    // Field 22 of /proc/self/stat is the start time in clock ticks after boot; the command
    // name (field 2) may hold blanks, so counting starts after its closing parenthesis.
    std::string stat;
    if (os_read_file("/proc/self/stat", &stat) != 0)
        return 0;
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return 0;
    const char *p = stat.c_str() + paren + 1;
    for (int field = 3; field < 22 && *p; field++) {
        while (*p == ' ')
            p++;
        while (*p && *p != ' ')
            p++;
    }
    double ticks = std::strtod(p, nullptr);
    long hz = sysconf(_SC_CLK_TCK);
    double up = sh_os_uptime() - ticks / static_cast<double>(hz > 0 ? hz : 100);
    return up > 0 ? up : 0;
}

// glibc walks its arenas for mallinfo2; sessions of the debug shell ask from many threads,
// so the walks take turns.
static struct mallinfo2 sh_mallinfo() {
    static std::mutex lock;
    std::scoped_lock g(lock);
    return mallinfo2();
}

std::string sh_memory_stats() {
    struct mallinfo2 mi = sh_mallinfo();
    std::string status;
    (void)os_read_file("/proc/self/status", &status);
    std::string out;
    out += pal_format("heap_arena=%zu\n", mi.arena);
    out += pal_format("heap_mmap=%zu\n", mi.hblkhd);
    out += pal_format("heap_in_use=%zu\n", mi.uordblks);
    out += pal_format("heap_free=%zu\n", mi.fordblks);
    out += pal_format("heap_releasable=%zu\n", mi.keepcost);
    out += pal_format("mmap_blocks=%zu\n", mi.hblks);
    for (const char *key : {"VmPeak", "VmSize", "VmHWM", "VmRSS", "RssAnon", "VmData", "VmStk",
                            "Threads"}) {
        std::string value = proc_field(status, key);
        if (!value.empty())
            out += pal_format("%s=%s\n", key, value.c_str());
    }
    return out;
}

int sh_source_open(const char *path, std::string *why) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *why = std::strerror(errno);
        return pal_errno_code(errno);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // Only regular files end: a directory, a device such as /dev/zero or a pipe is
        // refused rather than read forever.
        *why = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
        close(fd);
        return PAL_EINVAL;
    }
    return fd;
}

std::string sh_errno_text() {
    return std::strerror(errno);
}
