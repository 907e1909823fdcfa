// bsv_reg.cpp - the record type registry: at most 8 types, each with at most 8 listeners.
// A listener is a bounded queue; a full queue drops the new record, so a slow reader loses
// records and the logging thread never waits for it.
#include "bsv.h"

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>

#include "log.h"
#include "pal.h"

struct bsv_reader {
    std::deque<std::vector<uint8_t>> queue;  ///< guarded by the registry lock
    size_t max = 4096;
    uint64_t dropped = 0;
};

namespace {
struct bsv_type_reg {
    const char *name;
    int type_id;
    int max_size;
    std::array<bsv_reader *, 8> listeners{};
};
}  // namespace

static std::mutex g_reg_lock;
static std::array<bsv_type_reg *, 8> g_types{};
static bsv_type_reg g_log_type{"log", 1, BSV_REC_MAX, {}};
static std::atomic<int> g_log_listeners{0};

/// Adds t to the registry; the same descriptor twice is harmless. 0, or -1 when full.
static int bsv_type_register(bsv_type_reg *t) {
    std::scoped_lock lock(g_reg_lock);
    for (bsv_type_reg *&slot : g_types) {
        if (slot == t)
            return 0;
        if (slot == nullptr) {
            slot = t;
            return 0;
        }
    }
    return -1;
}

int bsv_reg_log() {
    LOG2(LOG2_VERB, "bsv", "==>\n");
    return bsv_type_register(&g_log_type);
}

bsv_reader *bsv_open_log(int max_records) {
    (void)bsv_reg_log();
    auto *r = new bsv_reader;
    if (max_records > 0)
        r->max = size_t(max_records);
    std::scoped_lock lock(g_reg_lock);
    for (bsv_reader *&slot : g_log_type.listeners) {
        if (slot == nullptr) {
            slot = r;
            g_log_listeners.fetch_add(1);
            return r;
        }
    }
    delete r;
    return nullptr;
}

void bsv_close_log(bsv_reader *r) {
    if (r == nullptr)
        return;
    {
        std::scoped_lock lock(g_reg_lock);
        for (bsv_reader *&slot : g_log_type.listeners) {
            if (slot == r) {
                slot = nullptr;
                g_log_listeners.fetch_sub(1);
            }
        }
    }
    delete r;
}

bool bsv_log_has_listeners() {
    return g_log_listeners.load(std::memory_order_relaxed) > 0;
}

int bsv_log_publish(std::span<const uint8_t> rec) {
    if (!bsv_log_has_listeners() || rec.empty())
        return 0;
    int took = 0;
    std::scoped_lock lock(g_reg_lock);
    for (bsv_reader *r : g_log_type.listeners) {
        if (r == nullptr)
            continue;
        if (r->queue.size() >= r->max) {
            r->dropped++;
            continue;
        }
        r->queue.emplace_back(rec.begin(), rec.end());
        took++;
    }
    return took;
}

int bsv_read_raw_log(bsv_reader *r, std::vector<uint8_t> *rec) {
    PAL_ASSERT_RET(r != nullptr, 0);
    std::scoped_lock lock(g_reg_lock);
    if (r->queue.empty())
        return 0;
    *rec = std::move(r->queue.front());
    r->queue.pop_front();
    return int(rec->size());
}

uint64_t bsv_reader_dropped(const bsv_reader *r) {
    std::scoped_lock lock(g_reg_lock);
    return r->dropped;
}

static const char *level_label(int level) {
    static constexpr const char *labels[] = {"", "", "CRIT", "ERROR", "WARN",
                                             "NOTI", "INFO", "DEBUG", "VERB"};
    return level >= 2 && level <= 8 ? labels[level] : "";
}

int bsv_read_log(bsv_reader *r, int *level, std::string *text) {
    PAL_ASSERT_RET(level != nullptr && text != nullptr, 0);
    std::vector<uint8_t> rec;
    if (bsv_read_raw_log(r, &rec) == 0)
        return 0;
    bsv_value v;
    if (bsv_type_open_value(1, &v) != 0)
        return 0;
    *level = bsv_value_get_u8(&v, rec, 4);
    pal_tm tm{};
    os_time_split(int64_t(bsv_value_get_u64(&v, rec, 0)), false, &tm);
    char buf[BSV_REC_MAX + 1];
    int n = pal_snprintf(buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-5s %d --- [%s] %s %s(): %s",
                         tm.year, tm.mon, tm.mday, tm.hour, tm.min, tm.sec,
                         int(bsv_value_get_u32(&v, rec, 1) / 1000), level_label(*level),
                         int(bsv_value_get_u32(&v, rec, 2)), bsv_value_get_str(&v, rec, 6).c_str(),
                         bsv_value_get_str(&v, rec, 5).c_str(),
                         bsv_value_get_str(&v, rec, 9).c_str(),
                         bsv_value_get_str(&v, rec, 10).c_str());
    *text = std::string(buf, size_t(n < 0 ? BSV_REC_MAX : std::min(n, int(BSV_REC_MAX))));
    return int(text->size());
}
