// conf_internal.h - pieces shared inside libconf: log levels, the INI loader and writer.
// libconf sits below the log core, so it logs through PAL_LOG with the log's level numbers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "conf.h"
#include "dictionary.h"

enum : int {
    CONF_LOG_ERR = 3,
    CONF_LOG_WARN = 4,
    CONF_LOG_DBG = 7,
    CONF_LOG_F_OSERR = 0x100,  ///< the log appends the last system error text
};

/// Longest physical line the loader accepts, line feed and terminator included.
enum : size_t { INI_LINE_MAX = 1024 };

/// What one (joined) line of an INI file is.
enum ini_line_kind : int {
    INI_LINE_BLANK,
    INI_LINE_COMMENT,
    INI_LINE_SECTION,
    INI_LINE_SETTING,
    INI_LINE_ERROR,
};

/// A classified line: for a section name holds the section, for a setting key and val.
struct ini_line {
    ini_line_kind kind = INI_LINE_ERROR;
    std::string name;
    std::string val;
};

/// Classifies one line (without its line end).
ini_line iniparser_classify(std::string_view line);

/// Builds a dictionary from INI text (a leading UTF-8 byte-order mark is skipped).
/// Returns null when a line is too long; a failed insertion ends the load early and
/// returns what was built so far.
[[nodiscard]] std::unique_ptr<dictionary> iniparser_load_all(std::string_view data);

/// The store in INI form, as the save writes it after its byte-order mark.
std::string iniparser_render(const dictionary *d);

/// The INI driver: files matching INI_FILE_PATTERN, and INI text.
extern const conf_driver ini_conf_driver;
inline constexpr const char *INI_FILE_PATTERN = "*.ini|*.nvi|*.inf|*.cfg";
