// pal_string.cpp - bounded string helpers: every write into a fixed buffer goes through
// these, so the size checks are written once.
#include "pal.h"

#include <climits>
#include <cstdio>
#include <cstring>

int pal_strlcpy(std::span<char> dst, std::string_view src) {
    if (dst.empty())
        return PAL_ETRUNC;
    size_t n = std::min(src.size(), dst.size() - 1);
    memcpy(dst.data(), src.data(), n);
    dst[n] = '\0';
    return n < src.size() ? PAL_ETRUNC : static_cast<int>(n);
}

int pal_strlcat(std::span<char> dst, std::string_view src) {
    if (dst.empty())
        return PAL_ETRUNC;
    size_t used = strnlen(dst.data(), dst.size());
    if (used == dst.size())  // not terminated: treat the buffer as full
        used = dst.size() - 1;
    int r = pal_strlcpy(dst.subspan(used), src);
    return r < 0 ? r : static_cast<int>(used) + r;
}

int pal_vsnprintf(std::span<char> dst, const char *fmt, va_list ap, bool *cut) {
    if (cut)
        *cut = false;
    if (dst.empty())
        return 0;
    int n = vsnprintf(dst.data(), dst.size(), fmt, ap);
    if (n < 0) {
        dst[0] = '\0';
        return 0;
    }
    if (static_cast<size_t>(n) >= dst.size()) {
        if (cut)
            *cut = true;
        return static_cast<int>(dst.size() - 1);
    }
    return n;
}

int pal_snprintf(std::span<char> dst, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = pal_vsnprintf(dst, fmt, ap);
    va_end(ap);
    return n;
}

std::string pal_vformat(const char *fmt, va_list ap) {
    va_list ap2;
    va_copy(ap2, ap);
    char small[256];
    int n = vsnprintf(small, sizeof small, fmt, ap2);
    va_end(ap2);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n), '\0');
    vsnprintf(out.data(), out.size() + 1, fmt, ap);
    return out;
}

std::string pal_format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = pal_vformat(fmt, ap);
    va_end(ap);
    return s;
}

bool pal_isspace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view pal_trim(std::string_view s) {
    while (!s.empty() && pal_isspace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && pal_isspace(s.back()))
        s.remove_suffix(1);
    return s;
}

static char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

static char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool pal_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

bool pal_istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && pal_iequals(s.substr(0, prefix.size()), prefix);
}

void pal_to_upper(std::span<char> s) {
    for (char &c : s) {
        if (c == '\0')
            break;
        c = ascii_upper(c);
    }
}

void pal_to_lower(std::span<char> s) {
    for (char &c : s) {
        if (c == '\0')
            break;
        c = ascii_lower(c);
    }
}

long long pal_atoll(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && pal_isspace(s[i]))
        i++;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        neg = s[i++] == '-';
    // Accumulate as a negative number so LLONG_MIN itself stays representable.
    long long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++) {
        int d = s[i] - '0';
        if (v < (LLONG_MIN + d) / 10) {
            v = LLONG_MIN;
            while (i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '9')
                i++;
            break;
        }
        v = v * 10 - d;
    }
    if (neg)
        return v;
    return v == LLONG_MIN ? LLONG_MAX : -v;
}

int pal_atoi(std::string_view s) {
    long long v = pal_atoll(s);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}
