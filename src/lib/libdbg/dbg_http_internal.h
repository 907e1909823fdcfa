// dbg_http_internal.h - what the web console's files share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "dbg_http.h"

enum : size_t {
    DBG_HTTP_REPLY_MAX = 16383,  ///< longest /cmd reply
    DBG_HTTP_LOG_MAX = 16384,    ///< /log stops adding records near this length
    DBG_HTTP_LOG_TEXT = 1471,    ///< longest escaped record text in a /log reply
    DBG_HTTP_PARAM_MAX = 63,     ///< token, name and value parameters
    DBG_HTTP_CMD_RAW = 16383,    ///< the command parameter before decoding
    DBG_HTTP_CMD_MAX = 4095,     ///< the command after decoding
    DBG_HTTP_MSG_MAX = 511,      ///< the reason of a failed /update
};

/// Appends the JSON escape of text to *out, at most max bytes: only whole escapes and
/// whole UTF-8 sequences go in, so a cut text is still valid inside a JSON string.
/// Returns the number of bytes of text taken.
size_t dbg_json_escape_to(std::string *out, std::string_view text, size_t max);

/// Closes the log reader of http_log_init (nothing when none is open).
void http_log_exit();
