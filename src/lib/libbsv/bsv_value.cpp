// bsv_value.cpp - schema strings, record layouts and their accessors, the record types and
// the "log" record built for every log event.
#include "bsv.h"

#include <cstring>
#include <string_view>

#include "log.h"
#include "pal.h"

struct bsv_type_desc {
    const char *name;
    int size;
};
static constexpr bsv_type_desc bsv_types[] = {
    {nullptr, 0}, {"u8", 1}, {"u16", 2}, {"u32", 4}, {"u64", 8}, {"str", -1},
};

static int type_of(std::string_view t) {
    for (int i = 1; i < int(std::size(bsv_types)); i++)
        if (t == bsv_types[i].name)
            return i;
    return 0;
}

/// Adds the fields of one "names-type" item.
static int add_item(bsv_value *ctx, std::string_view item, const char *schema) {
    size_t dash = item.find('-');
    if (dash == std::string_view::npos) {
        LOG2(LOG2_ERR, "bsv", "buf=[%s] info=[%s] error\n", std::string(item).c_str(), schema);
        return -1;
    }
    std::string type(item.substr(dash + 1));
    int t = type_of(type);
    if (t == 0) {
        LOG2(LOG2_ERR, "bsv", "type=[%s] error\n", type.c_str());
        return -1;
    }
    std::string_view names = item.substr(0, dash);
    for (;;) {
        size_t bar = t == VALUE_TYPE_STRING ? names.find('|') : std::string_view::npos;
        bool first_str = t == VALUE_TYPE_STRING &&
                         (ctx->val.empty() || ctx->val.back().type != VALUE_TYPE_STRING);
        int size = bsv_types[t].size;
        int offset = t != VALUE_TYPE_STRING || first_str ? ctx->fixed_size : -1;
        ctx->val.push_back({std::string(names.substr(0, bar)), t, size, offset});
        if (size > 0)
            ctx->fixed_size += size;
        if (bar == std::string_view::npos)
            break;
        names.remove_prefix(bar + 1);
    }
    return 0;
}

int bsv_value_init(bsv_value *ctx, const char *schema, bool swapped) {
    PAL_ASSERT_RET(ctx != nullptr && schema != nullptr, -1);
    *ctx = bsv_value{};
    ctx->swapped = swapped;
    std::string_view rest(schema);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        if (add_item(ctx, rest.substr(0, comma), schema) != 0)
            return -1;
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
    ctx->count_idx = int(ctx->val.size());
    return 0;
}

uint64_t bsv_value_get(const bsv_value *ctx, std::span<const uint8_t> rec, int idx) {
    PAL_ASSERT_RET(idx < ctx->count_idx, 0);
    const bsv_field &f = ctx->val[size_t(idx)];
    PAL_ASSERT_RET(f.type != VALUE_TYPE_STRING, 0);
    if (size_t(f.offset + f.size) > rec.size())
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < f.size; i++) {
        int at = ctx->swapped ? i : f.size - 1 - i;  // most significant byte first
        v = (v << 8) | rec[size_t(f.offset + at)];
    }
    return v;
}

uint8_t bsv_value_get_u8(const bsv_value *ctx, std::span<const uint8_t> rec, int idx) {
    return uint8_t(bsv_value_get(ctx, rec, idx));
}
uint32_t bsv_value_get_u32(const bsv_value *ctx, std::span<const uint8_t> rec, int idx) {
    return uint32_t(bsv_value_get(ctx, rec, idx));
}
uint64_t bsv_value_get_u64(const bsv_value *ctx, std::span<const uint8_t> rec, int idx) {
    return bsv_value_get(ctx, rec, idx);
}

std::string bsv_value_get_str(const bsv_value *ctx, std::span<const uint8_t> rec, int idx) {
    PAL_ASSERT_RET(idx < ctx->count_idx, "");
    PAL_ASSERT_RET(ctx->val[size_t(idx)].type == VALUE_TYPE_STRING, "");
    size_t at = size_t(ctx->fixed_size);
    int i = 0;
    while (i < idx && ctx->val[size_t(i)].type != VALUE_TYPE_STRING)
        i++;
    for (; i <= idx; i++) {  // step over the strings before idx
        if (at >= rec.size())
            return "";
        const void *end = std::memchr(rec.data() + at, 0, rec.size() - at);
        size_t len = end ? size_t(static_cast<const uint8_t *>(end) - rec.data()) - at
                         : rec.size() - at;
        if (i == idx)
            return std::string(reinterpret_cast<const char *>(rec.data() + at), len);
        at += len + 1;
    }
    return "";
}

static constexpr const char *bsv_schema_log =
    "sec-u64,usec-u32,pid-u32,tid-u32,level-u8,tag|tid_name|file|line|func|msg-str";
static constexpr const char *bsv_schema_log3 =
    "sec-u64,usec-u32,pid-u32,tid-u32,cpu_num-u16,irql-u8,level-u8,"
    "tag|tid_name|file|line|func|msg-str";
static constexpr const char *bsv_schema_frame =
    "sid-u64,bid-u64,stime-u64,ver_id-u32,app_id-u16,os_id-u8,arch_id-u8,type_id-u16,"
    "hostname|data-str";

int bsv_type_open_value(int id, bsv_value *ctx) {
    switch (id) {
    case 1: return bsv_value_init(ctx, bsv_schema_log, false);
    case 2: return bsv_value_init(ctx, bsv_schema_log, true);
    case 3: return bsv_value_init(ctx, bsv_schema_log3, false);
    case 5: return bsv_value_init(ctx, bsv_schema_frame, false);
    case 6: return bsv_value_init(ctx, bsv_schema_frame, true);
    default:
        LOG2(LOG2_ERR, "bsv", "type=%d error: not found\n", id);
        return -1;
    }
}

// ---------------------------------------------------------------------------------------
// The "log" record.

static void put_le(uint8_t *p, uint64_t v, int size) {
    for (int i = 0; i < size; i++)
        p[i] = uint8_t(v >> (8 * i));
}

/// Appends s (len bytes) and its zero; false once the string part is full (cut there).
static bool put_str(uint8_t *base, size_t *used, const char *s, size_t len) {
    size_t room = BSV_LOG_STR_MAX - *used;
    if (len + 1 > room) {
        std::memcpy(base + *used, s, room - 1);
        base[*used + room - 1] = 0;
        *used = BSV_LOG_STR_MAX;
        return false;
    }
    std::memcpy(base + *used, s, len);
    base[*used + len] = 0;
    *used += len + 1;
    return true;
}

static const char *cut_root(const char *file) {
    static constexpr std::string_view root = NVTD_SOURCE_ROOT;
    if (file != nullptr && std::strncmp(file, root.data(), root.size()) == 0)
        return file + root.size();
    return file;
}

int bsv_log_record(std::span<uint8_t> out, uint64_t sec, uint32_t usec, int level,
                   const char *tag, const char *tid_name, const char *file, int line,
                   const char *func, const char *msg, int msg_len) {
    PAL_ASSERT_RET(out.size() >= BSV_LOG_REC_MAX, 0);
    uint8_t *p = out.data();
    put_le(p, sec, 8);
    put_le(p + 8, usec, 4);
    put_le(p + 12, uint32_t(os_getpid()), 4);
    put_le(p + 16, uint32_t(os_thread_id()), 4);
    p[20] = uint8_t(level & 0xFF);
    uint8_t *strs = p + 21;
    size_t used = 0;
    char line_text[16];
    (void)pal_snprintf(line_text, "%d", line);
    file = cut_root(file);
    const char *parts[] = {tag, tid_name, file ? file : "", line_text, func, msg};
    for (int i = 0; i < 6; i++) {
        if (parts[i] == nullptr)
            break;  // a missing string ends the list
        size_t len = i == 5 && msg_len >= 0 ? size_t(msg_len) : std::strlen(parts[i]);
        if (!put_str(strs, &used, parts[i], len))
            break;
    }
    return int(21 + used);
}
