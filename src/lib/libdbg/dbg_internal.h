// dbg_internal.h - what the server and client files of libdbg share.
#pragma once

#include <string>

#include "dbg.h"
#include "net.h"

inline constexpr const char *DBG_TAG = "dbg";

enum : int {
    DBG_LINE_MAX = 8191,     ///< longest command line a server takes; longer ones are cut
    DBG_WAIT_MS = 1000,      ///< read slice of a session; also the client's write time-out
    DBG_REPLY_MAX = 16383,   ///< longest reply a client takes
};

/// Reads lines ended by LF or NUL from a stream, drops CRs and cuts a line after
/// DBG_LINE_MAX bytes (the rest up to its end is discarded). One reader per stream.
struct dbg_line_reader {
    std::string pending;  ///< bytes read after the last line handed out
    std::string line;     ///< the line being collected
    bool cutting = false; ///< the line was cut; its rest is being skipped
};
/// The next line into *out. 1 with a line, 0 when none came within DBG_WAIT_MS, -1 when
/// the stream failed or ended.
int dbg_read_line(net_stream *s, dbg_line_reader *r, std::string *out);
