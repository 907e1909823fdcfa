// pal_time.cpp - the monotonic clock every time-out is measured with, and local time.
#include "pal.h"

#include <ctime>

static uint64_t clock_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t os_clock_ms() {
    return clock_ns(CLOCK_MONOTONIC) / 1000000ull;
}

uint64_t os_clock_us() {
    return clock_ns(CLOCK_MONOTONIC) / 1000ull;
}

void os_sleep_ms(int ms) {
    if (ms <= 0)
        return;
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // Resume after a signal with the time that is left.
    while (nanosleep(&ts, &ts) != 0) {
    }
}

static void fill_tm(const struct tm &t, int usec, pal_tm *out) {
    out->year = t.tm_year + 1900;
    out->mon = t.tm_mon + 1;
    out->mday = t.tm_mday;
    out->hour = t.tm_hour;
    out->min = t.tm_min;
    out->sec = t.tm_sec;
    out->usec = usec;
    out->wday = t.tm_wday;
    out->yday = t.tm_yday;
}

void os_time_split(int64_t t, bool utc, pal_tm *out) {
    time_t tt = static_cast<time_t>(t);
    struct tm parts {};
    if (utc)
        gmtime_r(&tt, &parts);
    else
        localtime_r(&tt, &parts);
    fill_tm(parts, 0, out);
}

int os_time_offset(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm parts {};
    localtime_r(&tt, &parts);
    return static_cast<int>(parts.tm_gmtoff);
}

void os_localtime(pal_tm *out) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm parts {};
    localtime_r(&ts.tv_sec, &parts);
    fill_tm(parts, static_cast<int>(ts.tv_nsec / 1000), out);
}

int64_t os_time_now() {
    return static_cast<int64_t>(time(nullptr));
}
