// ipcheck.cpp - failed logins counted per client address, the lockout after too many, and
// the login file. One mutex guards the table; sessions of many threads check at once.
#include "libpwd.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "log.h"
#include "pal.h"
#include "pwd_internal.h"

#define PWD_TAG "pwd"

namespace {
struct ip_rec {
    uint64_t first_ms;
    uint64_t last_fail_ms;  ///< 0 before the first failure
    uint64_t unlock_ms;
    int count;
};

struct ip_table {
    std::mutex lock;
    bool on = false;
    int limit = 0;
    int wait_m = 60;
    size_t max_recs = 10000;
    std::unordered_map<std::string, ip_rec> recs;
    flog *file = nullptr;
};
}  // namespace

static ip_table g_ip;
static uint64_t (*g_clock)() = os_clock_ms;

void ipcheck_set_clock(uint64_t (*clock_ms)()) {
    g_clock = clock_ms ? clock_ms : os_clock_ms;
}

int ipcheck_init(const char *login_file, uint64_t file_size_cap, int fail_limit, int wait_m,
                 int table_limit) {
    std::scoped_lock g(g_ip.lock);
    if (login_file && *login_file) {
        flog_opts fo{file_size_cap, FLOG_TIME};
        g_ip.file = flog_open(login_file, &fo);
    }
    g_ip.recs.clear();
    g_ip.limit = fail_limit;
    g_ip.wait_m = wait_m > 0 ? wait_m : 60;
    g_ip.max_recs = table_limit > 0 ? size_t(table_limit) : 10000;
    g_ip.on = fail_limit > 0;
    if (!g_ip.on)
        LOG2(LOG2_WARN, PWD_TAG, "nvsd_login_fail_count==0 stop ipcheck\n");
    return 0;
}

// Makes room: the records with the earliest failure go. A zero running minimum is always
// replaced by the next value, so records that never failed go only when no failed record
// is older than the last of them.
static void ipcheck_purge() {
    uint64_t min = 0;
    for (const auto &[addr, rec] : g_ip.recs)
        if (min == 0 || rec.last_fail_ms < min)
            min = rec.last_fail_ms;
    std::erase_if(g_ip.recs, [min](const auto &kv) { return kv.second.last_fail_ms == min; });
}

int ipcheck_check(const char *addr, std::span<char> err) {
    std::scoped_lock g(g_ip.lock);
    if (!g_ip.on)
        return PWD_OK;
    uint64_t now = g_clock();
    auto it = g_ip.recs.find(addr);
    if (it == g_ip.recs.end()) {
        if (g_ip.recs.size() >= g_ip.max_recs)
            ipcheck_purge();
        g_ip.recs.emplace(addr, ip_rec{now, 0, 0, 0});
        return PWD_OK;
    }
    ip_rec &r = it->second;
    if (r.count < g_ip.limit)
        return PWD_OK;
    if (now < r.unlock_ms) {
        (void)pal_snprintf(err, "Login failed %d times, Please try again in %0.2f minutes",
                           r.count, double(r.unlock_ms - now) / 60000.0);
        return PWD_LOCKED;
    }
    r.count = 0;
    return PWD_OK;
}

void ipcheck_login_fail(const char *addr, const char *user) {
    std::scoped_lock g(g_ip.lock);
    if (g_ip.file)
        (void)flog_printf(g_ip.file, "\twarn\t%s\tlogin\tlogin failed form %s\n", user, addr);
    if (!g_ip.on)
        return;
    auto it = g_ip.recs.find(addr);
    if (it == g_ip.recs.end())
        return;
    uint64_t now = g_clock();
    ip_rec &r = it->second;
    r.count++;
    r.last_fail_ms = now;
    if (r.count >= g_ip.limit)
        r.unlock_ms = now + uint64_t(g_ip.wait_m) * 60000;
}

void ipcheck_login_ok(const char *addr, const char *user) {
    std::scoped_lock g(g_ip.lock);
    if (g_ip.file)
        (void)flog_printf(g_ip.file, "\tinfo\t%s\tlogin\tlogin from %s\n", user, addr);
    if (g_ip.on)
        g_ip.recs.erase(addr);
}

int ipcheck_count() {
    std::scoped_lock g(g_ip.lock);
    return static_cast<int>(g_ip.recs.size());
}

void ipcheck_table_exit() {
    std::scoped_lock g(g_ip.lock);
    g_ip.recs.clear();
    g_ip.on = false;
    if (g_ip.file)
        flog_close(g_ip.file);
    g_ip.file = nullptr;
}
