// pal_url.h - the URL parser: one caller-supplied 8192-byte buffer holds every part,
// nothing is allocated. Also query lookup, percent-decoding, path joining and query editing.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int { URL_BUF_SIZE = 8192 };

/// Parts of a parsed URL; every text points into buf and is terminated.
struct url_t {
    const char *scheme;
    const char *user;
    const char *passwd;
    const char *host;  ///< IPv6 literals without their brackets
    uint16_t port;     ///< 0 when absent
    const char *path;
    const char *query;     ///< without the leading '?'
    const char *fragment;  ///< without the '#'
    char *buf;
    size_t buf_size;
};

/// Zeroes the record and buf (URL_BUF_SIZE bytes), then parses text into it. 0 or -1.
[[nodiscard]] int url_parser(url_t *u, char *buf, const char *text);
/// Parses into the buffer already attached to u. 0 or -1.
[[nodiscard]] int url_parser_imp(url_t *u, const char *text);

/// The port, else 80 for "http" and 443 for "https" (any case), else 0.
int url_get_port(const url_t *u);
/// The path of text into out (4096 bytes). 0, or -1 when text does not parse or the path
/// is empty.
int url_get_path(const char *text, char *out);
/// Looks key up in the part after the first '?' of text (or all of text without '?') and
/// copies the percent-decoded value, or def, into out (always terminated).
void url_get_query(const char *text, const char *key, const char *def, char *out,
                   size_t out_size);
/// The value of key as a decimal integer, or def when absent or empty.
int url_get_query_int(const char *text, const char *key, int def);
/// Inserts path before the query of url (a buffer of URL_BUF_SIZE bytes).
void url_add_path(char *url, const char *path);

enum : int {
    URL_QUERY_SET_ALWAYS = 1,
    URL_QUERY_SET_NOT_EXIST = 2,
    URL_QUERY_SET_EXIST = 3,
    URL_QUERY_DEL_EXIST = 4,
};
/// Edits the query of url (a buffer of URL_BUF_SIZE bytes). 0, or -1 with the reason
/// logged at error level.
/// The value is always percent-escaped (escape is only reported in the error message);
/// a change that would not fit the buffer fails and leaves url as it was.
int url_set_query(char *url, const char *key, const char *val, int escape, int mode);

/// Raw (not decoded) value of key in a query text into out. 0, or -1 when absent.
int str_query_get(const char *query, const char *key, char *out, size_t out_size);
/// The value of one hexadecimal digit, or -1.
int url_hex(char c);
/// Percent-decodes src into out (always terminated). Returns the length.
size_t url_decode(const char *src, char *out, size_t out_size);
/// Percent-escapes src for a query value into out (always terminated). Returns the length.
size_t url_escape(const char *src, char *out, size_t out_size);
