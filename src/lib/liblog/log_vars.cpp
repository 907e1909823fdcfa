// log_vars.cpp - the runtime variables of the log ("log.level", "log.dbgview") as records
// for the shell's variable table.
#include "log.h"

#include "log_internal.h"

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
