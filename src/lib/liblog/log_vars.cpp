// log_vars.cpp - the runtime variables of the log ("log.level", "log.dbgview") as records
// for the shell's variable table, in the log's own form and as dynamic-variable records.
#include "log.h"

#include "log_internal.h"

#include <algorithm>
#include <cstring>

static int level_set(const char *value, std::string *msg) {
    if (value == nullptr || log2_level_parse(value) < 0) {
        if (msg != nullptr)
            *msg = pal_format("invalid param [%s]\n", value ? value : "");
        return -1;
    }
    return log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, value);
}

static std::string level_get() {
    return log2_level_name(log2_ctx_get()->threshold.load());
}

static int dbgview_set(const char *value, std::string *msg) {
    if (value == nullptr || (std::strcmp(value, "0") != 0 && std::strcmp(value, "1") != 0)) {
        if (msg != nullptr)
            *msg = pal_format("error: invalid param [%s]\n", value ? value : "");
        return -1;
    }
    return log2_ioctl(nullptr, LOG2_IOC_DBGVIEW_ON, value[0] == '1' ? 1 : 0);
}

static std::string dbgview_get() {
    return log2_ctx_get()->on_dbgview.load() ? "1" : "0";
}

const log2_var log2_vars[2] = {
    {.name = "log.level",
     .range = "verb|dbg|info|noti|warn|err|crit",
     .help = "Set log output level",
     .set = level_set,
     .get = level_get},
    {.name = "log.dbgview",
     .range = "0|1",
     .help = "Turn outputDebugString output on or off",
     .set = dbgview_set,
     .get = dbgview_get},
};

// The dynamic-variable form: the reasons and values go through the records above.
static int dvar_set(const log2_var &v, const char *value, std::span<char> msg) {
    std::string reason;
    int rc = v.set(value, &reason);
    if (rc < 0)
        pal_strlcpy(msg, reason);
    return rc;
}

static int dvar_get(const log2_var &v, std::span<char> buf) {
    std::string value = v.get();
    pal_strlcpy(buf, value);
    return static_cast<int>(std::min(value.size(), buf.size() - 1));
}

static int level_dvar_set(const char *value, std::span<char> msg) {
    return dvar_set(log2_vars[0], value, msg);
}
static int level_dvar_get(std::span<char> buf) {
    return dvar_get(log2_vars[0], buf);
}
static int dbgview_dvar_set(const char *value, std::span<char> msg) {
    return dvar_set(log2_vars[1], value, msg);
}
static int dbgview_dvar_get(std::span<char> buf) {
    return dvar_get(log2_vars[1], buf);
}

static dvar log2_dvar_records[2] = {
    {.name = "log.level",
     .type = DVAR_TYPE_ENUM,
     .range = "verb|dbg|info|noti|warn|err|crit",
     .desc = "Set log output level",
     .set = level_dvar_set,
     .get = level_dvar_get},
    {.name = "log.dbgview",
     .type = DVAR_TYPE_ENUM,
     .range = "0|1",
     .desc = "Turn outputDebugString output on or off",
     .set = dbgview_dvar_set,
     .get = dbgview_dvar_get},
};

std::span<dvar> log2_dvars() {
    return log2_dvar_records;
}
