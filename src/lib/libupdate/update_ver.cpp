// update_ver.cpp - version numbers and the published version record. The record carries
// its own CRC-32 (zlib's) over everything up to its last '=', so a cut or altered record
// is never taken for a version.
#include "update.h"

#include "conf.h"
#include "log.h"
#include "pal.h"

#include <zlib.h>

#include <cstdio>
#include <string>

static constexpr const char *UPDATE_TAG = "update";

// One part as atoi reads it (leading blanks, a sign, digits up to the first other
// character), held at INT_MAX instead of overflowing. False for a negative part.
static bool ver_part(std::string_view text, uint64_t *out) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        i++;
    bool neg = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        i++;
    uint64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
        v = std::min<uint64_t>(v * 10 + static_cast<uint64_t>(text[i] - '0'), 0x7fffffff);
    *out = v;
    return !neg || v == 0;
}

uint64_t update_ver_num(const char *ver) {
    if (ver == nullptr)
        return 0;
    std::string_view rest(ver);
    uint64_t value = 0;
    int parts = 0;
    for (;;) {
        size_t dot = rest.find('.');
        uint64_t part = 0;
        if (parts == 4 || !ver_part(rest.substr(0, dot), &part))
            return 0;
        if (parts == 0 && part == 0)
            return 0;
        // A part of 65536 or more is not masked: it overlaps the field above it.
        value += part << (48 - 16 * parts);
        parts++;
        if (dot == std::string_view::npos)
            return value;
        rest.remove_prefix(dot + 1);
    }
}

int update_ver_cmp(const char *a, const char *b) {
    uint64_t x = update_ver_num(a), y = update_ver_num(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// The lowercase "%x" CRC-32 of data.
static std::string crc32_text(std::string_view data) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt: feed very long data in pieces.
    while (!data.empty()) {
        uInt n = static_cast<uInt>(std::min<size_t>(data.size(), 1u << 30));
        crc = crc32(crc, reinterpret_cast<const Bytef *>(data.data()), n);
        data.remove_prefix(n);
    }
    char text[16];
    snprintf(text, sizeof text, "%x", static_cast<unsigned>(crc));
    return text;
}

// Checks the loaded record h against its text. 0 with the version copied, or 1.
static int record_check(conf_handle *h, std::string_view record, std::span<char, 32> ver) {
    std::string crc = conf_get_key_string(h, "update:crc", "");
    size_t last_eq = record.rfind('=');
    if (crc.empty() || last_eq == std::string_view::npos) {
        LOG2(LOG2_ERR, UPDATE_TAG, "Version conf file has no update:crc\n");
        return 1;
    }
    if (crc32_text(record.substr(0, last_eq + 1)) != crc) {
        LOG2(LOG2_ERR, UPDATE_TAG, "Version conf file integrity error\n");
        return 1;
    }
    std::string v = conf_get_key_string(h, "update:ver", "");
    if (v.empty()) {
        LOG2(LOG2_ERR, UPDATE_TAG, "Version conf file has no update:ver\n");
        return 1;
    }
    (void)pal_strlcpy(ver, v);  // longer versions are cut to 31 characters
    return 0;
}

int update_parse_record(std::string_view record, std::span<char, 32> ver) {
    ver[0] = '\0';
    // The store reads text: the record ends at its first NUL byte, as its checksum does not.
    std::string text(record);
    conf_handle *h = conf_load_str(text.c_str());
    if (h == nullptr) {
        LOG2(LOG2_ERR, UPDATE_TAG, "conf_load failed\n");
        return 1;
    }
    int rc = record_check(h, record, ver);
    conf_free(h);
    return rc;
}

int update_get_new_ver(const char *url, std::span<char, 32> ver) {
    ver[0] = '\0';
    std::string body;
    if (http_get(url, 2000, &body, false) != 0) {
        LOG2(LOG2_ERR, UPDATE_TAG, "get [%s] failed\n", url);
        return 1;
    }
    return update_parse_record(body, ver);
}
