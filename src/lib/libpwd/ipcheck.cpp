// ipcheck.cpp - failed logins counted per client address, the lockout after too many, and
// the login file. One mutex guards the table; sessions of many threads check at once, and
// each attempt is checked and counted in one step under it.
#include "libpwd.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "log.h"
#include "pal.h"
#include "pal_socket.h"
#include "pwd_internal.h"

#define PWD_TAG "pwd"

namespace {
struct ip_rec {
    uint64_t first_ms;
    uint64_t last_fail_ms;
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

std::string ipcheck_key(const char *addr) {
    os_sockaddr sa;
    if (!os_ipaddr_parse(addr, &sa))
        return addr;
    static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const uint8_t *a = sa.addr;
    if (sa.family == OS_AF_INET6 && memcmp(a, mapped, sizeof mapped) == 0)
        a += sizeof mapped;
    else if (sa.family == OS_AF_INET6)  // one host often holds a whole /64
        return pal_format("%02x%02x:%02x%02x:%02x%02x:%02x%02x::/64", a[0], a[1], a[2], a[3],
                          a[4], a[5], a[6], a[7]);
    return pal_format("%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
}

static bool ipcheck_locked(const ip_rec &r, uint64_t now) {
    return r.count >= g_ip.limit && now < r.unlock_ms;
}

// Makes room for one more record without ever freeing an address that is locked out:
// first every record whose lock has run out goes, else every unlocked record with the
// fewest failures. Returns false when every record is locked.
static bool ipcheck_purge(uint64_t now) {
    size_t before = g_ip.recs.size();
    std::erase_if(g_ip.recs, [now](const auto &kv) {
        return kv.second.count >= g_ip.limit && now >= kv.second.unlock_ms;
    });
    if (g_ip.recs.size() < before)
        return true;
    int fewest = g_ip.limit;
    for (const auto &[key, rec] : g_ip.recs)
        fewest = std::min(fewest, rec.count);
    if (fewest >= g_ip.limit)
        return false;
    std::erase_if(g_ip.recs, [fewest](const auto &kv) { return kv.second.count == fewest; });
    return true;
}

// The record that counts a failure of key, made when missing. A table full of locked
// addresses grows by up to a quarter of its size, so that those locks hold while new
// addresses are still counted; past that a new address is checked but leaves no record.
static ip_rec *ipcheck_record(const std::string &key, uint64_t now) {
    if (auto it = g_ip.recs.find(key); it != g_ip.recs.end())
        return &it->second;
    size_t n = g_ip.recs.size();
    if (n >= g_ip.max_recs && !ipcheck_purge(now) && n >= g_ip.max_recs + g_ip.max_recs / 4)
        return nullptr;
    return &g_ip.recs.emplace(key, ip_rec{now, 0, 0, 0}).first->second;
}

// The table step of one attempt, under the lock. A lock that has run out starts the
// count again; a failure that reaches the limit locks the address from the next attempt.
static int ipcheck_step(const std::string &key, int outcome, std::span<char> err) {
    uint64_t now = g_clock();
    auto it = g_ip.recs.find(key);
    if (it != g_ip.recs.end() && ipcheck_locked(it->second, now)) {
        const ip_rec &r = it->second;
        (void)pal_snprintf(err, "Login failed %d times, Please try again in %0.2f minutes",
                           r.count, double(r.unlock_ms - now) / 60000.0);
        return PWD_LOCKED;
    }
    if (it != g_ip.recs.end() && it->second.count >= g_ip.limit)
        it->second.count = 0;
    if (outcome == IPCHECK_ACCEPTED && it != g_ip.recs.end())
        g_ip.recs.erase(it);
    if (outcome != IPCHECK_WRONG)
        return PWD_OK;
    ip_rec *r = ipcheck_record(key, now);
    if (r && ++r->count >= g_ip.limit)
        r->unlock_ms = now + uint64_t(g_ip.wait_m) * 60000;
    if (r)
        r->last_fail_ms = now;
    return PWD_OK;
}

int ipcheck_attempt(const char *addr, const char *user, int outcome, std::span<char> err) {
    std::string key = ipcheck_key(addr);  // parsed before the lock: it may ask the system
    std::scoped_lock g(g_ip.lock);
    int rc = g_ip.on ? ipcheck_step(key, outcome, err) : PWD_OK;
    if (rc != PWD_OK || !g_ip.file || outcome == IPCHECK_UNCOUNTED)
        return rc;
    // The file shows the address as the client had it, not the table's key.
    if (outcome == IPCHECK_ACCEPTED)
        (void)flog_printf(g_ip.file, "\tinfo\t%s\tlogin\tlogin from %s\n", user, addr);
    else
        (void)flog_printf(g_ip.file, "\twarn\t%s\tlogin\tlogin failed form %s\n", user, addr);
    return rc;
}

int ipcheck_count() {
    std::scoped_lock g(g_ip.lock);
    return static_cast<int>(g_ip.recs.size());
}

int ipcheck_locked_count() {
    std::scoped_lock g(g_ip.lock);
    if (!g_ip.on)
        return 0;
    uint64_t now = g_clock();
    int n = 0;
    for (const auto &[key, rec] : g_ip.recs)
        n += ipcheck_locked(rec, now) ? 1 : 0;
    return n;
}

void ipcheck_table_exit() {
    std::scoped_lock g(g_ip.lock);
    g_ip.recs.clear();
    g_ip.on = false;
    if (g_ip.file)
        flog_close(g_ip.file);
    g_ip.file = nullptr;
}
