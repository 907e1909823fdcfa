// dbg_http_log.cpp - the web console's log view: one reader of the process's log records
// shared by every client, drained a reply at a time. A record goes to whichever client
// asks first.
#include "dbg_http_internal.h"

#include <mutex>

#include "bsv.h"
#include "dbg_internal.h"
#include "log.h"
#include "pal.h"

namespace {
/// The console's log reader; mu also keeps two replies from taking records at once.
struct http_log {
    std::mutex mu;
    bsv_reader *reader = nullptr;
};
}  // namespace

static http_log g_http_log;

int http_log_init() {
    std::scoped_lock lock(g_http_log.mu);
    if (g_http_log.reader != nullptr)
        return 0;
    g_http_log.reader = bsv_open_log();
    if (g_http_log.reader == nullptr) {
        LOG2(LOG2_ERR, DBG_TAG, "bsv_open_log failed\n");
        return -1;
    }
    return 0;
}

void http_log_exit() {
    std::scoped_lock lock(g_http_log.mu);
    if (g_http_log.reader != nullptr)
        bsv_close_log(g_http_log.reader);
    g_http_log.reader = nullptr;
}

std::string dbg_http_level_name(int level) {
    switch (level) {
    case LOG2_VERB:
    case LOG2_DBG: return "debug";
    case LOG2_INFO: return "info";
    case LOG2_NOTI:
    case LOG2_WARN: return "warning";
    case LOG2_ERR:
    case LOG2_CRIT: return "error";
    default: return pal_format("unkown(%d)", level);
    }
}

std::string dbg_http_log_reply() {
    std::string out = "[";
    std::scoped_lock lock(g_http_log.mu);
    // Room for one more record is checked before it is taken, so none is ever put back.
    while (g_http_log.reader != nullptr && out.size() + BSV_REC_MAX < DBG_HTTP_LOG_MAX) {
        int level = 0;
        std::string text;
        if (bsv_read_log(g_http_log.reader, &level, &text) <= 0)
            break;
        out.append("{\"log\":\"");
        // A text whose escape outgrows a record is cut at a character, not dropped.
        (void)dbg_json_escape_to(&out, text, DBG_HTTP_LOG_TEXT);
        out.append("\",\"level\":\"").append(dbg_http_level_name(level)).append("\"},");
    }
    if (out.size() == 1)
        return "[]";
    out.back() = ']';
    return out;
}
