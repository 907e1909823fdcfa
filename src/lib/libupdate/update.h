// update.h - one-shot HTTP fetches into memory, the published version record (checked by
// its CRC-32) and the command-line utilities built on them. Every call blocks its caller
// until it is done or its time-out has passed; nothing here starts a thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct net_stream;

/// The largest body a fetch takes into memory; a longer announced length is refused
/// before anything is allocated for it.
constexpr uint64_t UPDATE_BODY_MAX = uint64_t(1) << 30;
/// Body pieces are read at most this many bytes at a time.
constexpr int UPDATE_PIECE = 32768;

/// Fetches url whole over s, an open stream to its server: sends "GET <path> HTTP/1.1"
/// with Host and "Connection: close", accepts only the status line "HTTP/1.1 200 OK" and a
/// reply with Content-Length (at most UPDATE_BODY_MAX), then reads the body until every
/// announced byte arrived or timeout_ms, counted from the start of the body, has passed.
/// With progress, a line with the byte count and speed is redrawn on standard error.
/// Returns 0 with the body in *out, or -1 (the cause logged with tag "net"); *out is
/// emptied on failure. s stays open and the caller's.
[[nodiscard]] int http_bcat(net_stream *s, const char *url, int timeout_ms, std::string *out,
                            bool progress);

/// Opens the stream for url (its host and port, through the proxy its "proxy" or
/// "proxy_url" keys or "http_proxy" name), runs http_bcat and closes the stream. The
/// connect also waits at most timeout_ms. 0 or -1, as http_bcat.
[[nodiscard]] int http_get(const char *url, int timeout_ms, std::string *out, bool progress);

/// Checks a version record: crc in section update must be the lowercase "%x" CRC-32 of
/// the record's bytes up to and including its last '='. Copies update:ver (at most 31
/// characters, always terminated) into ver. Returns 0, or 1 with the cause logged with
/// tag "update".
[[nodiscard]] int update_parse_record(std::string_view record, std::span<char, 32> ver);

/// Fetches the version record at url (2000 ms) and checks it. 0 with the published version
/// in ver, or 1 on any failure (logged with tag "update").
[[nodiscard]] int update_get_new_ver(const char *url, std::span<char, 32> ver);

/// The number of a dotted version of 1 to 4 decimal parts, part 1 in bits 48 to 63 and so
/// on; 0 for any other text, a first part of 0 or a negative part.
uint64_t update_ver_num(const char *ver);
/// Compares two version texts by their numbers: -1, 0 or 1.
int update_ver_cmp(const char *a, const char *b);

/// Exit statuses of the utilities.
enum : int {
    UPDATE_EXIT_OK = 0,
    UPDATE_EXIT_FAIL = 1,   ///< the work failed (or, for a compare, the first is greater)
    UPDATE_EXIT_NEWER = 2,  ///< a newer version is published
};

/// Downloads url into the file path: 3000 ms for the body, a progress line when standard
/// error is a terminal. Missing parent directories are created. The file is written beside
/// path and renamed over it only when the whole body arrived, so a failure leaves an
/// existing file as it was and never leaves a partial one. UPDATE_EXIT_OK or _FAIL.
int update_download(const char *url, const char *path);

/// Copies into new_file every key that old_file has in the same section, comments of
/// new_file kept; new_file is saved only when a key was taken over. UPDATE_EXIT_OK when
/// both files loaded (and a needed save worked), else _FAIL.
int update_conf_merge(const char *new_file, const char *old_file);

/// The value of key (section:key) in the file into *out, "" when absent. UPDATE_EXIT_OK,
/// or _FAIL when the file does not load.
int update_conf_get(const char *file, const char *key, std::string *out);

/// Fetches the version record at url and compares it with own_ver: UPDATE_EXIT_NEWER
/// when the published version is greater, _OK when not, _FAIL when the check failed. The
/// published version is copied into ver.
int update_check(const char *url, const char *own_ver, std::span<char, 32> ver);
