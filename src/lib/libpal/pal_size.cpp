// pal_size.cpp - size text ("2M", "10kB", "1.5k") to bytes, and the clamp that turns a
// 64-bit size into a 32-bit setting.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "pal.h"

namespace {
/// One suffix: its name and the factor it stands for.
struct size_unit {
    const char *name;
    double factor;
};
}  // namespace

// Matched without regard to case, first row wins: so "K" and "k" give 1024, "kb" and
// "KB" 1000, "m" 2^20, "mb" 10^6 and "B" 512 (blocks).
static constexpr size_unit size_units[] = {
    {"c", 1.0},        {"w", 2.0},         {"b", 512.0},          {"kB", 1e3},
    {"kD", 1e3},       {"k", 1024.0},      {"KB", 1e3},           {"KD", 1e3},
    {"K", 1024.0},     {"MB", 1e6},        {"MD", 1e6},           {"M", 1048576.0},
    {"GB", 1e9},       {"GD", 1e9},        {"G", 1073741824.0},   {"TB", 1e12},
    {"T", 1099511627776.0}, {"PB", 1e15},  {"P", 1125899906842624.0},
};

static bool size_is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Multiplies *v by every unit the suffix names; false when part of it names none.
static bool size_apply_suffix(std::string_view suffix, double *v) {
    while (!suffix.empty()) {
        bool found = false;
        for (const size_unit &u : size_units) {
            std::string_view name(u.name);
            if (name.size() <= suffix.size() && pal_iequals(suffix.substr(0, name.size()), name)) {
                *v *= u.factor;
                suffix.remove_prefix(name.size());
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

uint64_t size_str_to_u64(const char *s) {
    if (s == nullptr || s[0] == '-' || s[0] == '+' || s[0] == ' ' ||
        (s[0] >= 0x09 && s[0] <= 0x0d)) {
        return 0;
    }
    std::string_view text(s);
    size_t letters = 0;
    while (letters < text.size() && size_is_letter(text[text.size() - 1 - letters])) {
        letters++;
    }
    if (text.size() > 256 || letters == text.size() || letters >= 3) {
        return 0;
    }
    std::string_view number = text.substr(0, text.size() - letters);
    double v = 0;
    // Decimal only: no hexadecimal, no "inf" or "nan"; text after the number is ignored.
    auto res = std::from_chars(number.data(), number.data() + number.size(), v,
                               std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        // Only an exponent reaches beyond a double: a negative one means almost nothing.
        size_t e = number.find_first_of("eE");
        return (e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-')
                   ? 0
                   : UINT64_MAX;
    }
    if (res.ec != std::errc() || !std::isfinite(v) || v < 0) {
        return 0;
    }
    if (!size_apply_suffix(text.substr(number.size()), &v)) {
        return 0;
    }
    // Sizes beyond 64 bits saturate instead of wrapping into a small number.
    if (v >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(v);
}

int pal_size_to_i32(uint64_t v) {
    return v > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(v);
}
