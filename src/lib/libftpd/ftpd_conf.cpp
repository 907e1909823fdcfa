// ftpd_conf.cpp - the FTP server's settings table and the functions that walk any settings
// table: defaults, the file reader, the dump lines. A setting's key, default, bound, unit
// and dump name are written once, in its row.
#include "ftpd.h"

#include <algorithm>

#include "conf.h"
#include "pal.h"

static constexpr ftpd_conf *c = &g_ftpd_conf;

// Rows in the order of the dump. The login part follows the program's own lines there.
static constexpr ftpd_setting ftpd_rows[] = {
    {.key = "nvtd:ftp_server_port", .dump = "ftp_server_port", .field = &c->ftp_port, .def = 21},
    {.key = "nvtd:ftp_server_addr", .dump = "ftp_server_addr", .type = FTPD_SET_STR,
     .field = &c->ftp_addr},
    {.key = "nvtd:ftps_server_port", .dump = "ftps_server_port", .field = &c->ftps_port},
    {.key = "nvtd:ftps_server_addr", .dump = "ftps_server_addr", .type = FTPD_SET_STR,
     .field = &c->ftps_addr},
    {.key = "nvtd:ftps_key_file", .dump = "ftps_key_file", .type = FTPD_SET_STR,
     .field = &c->key_file, .def_text = "nvtd.key"},
    {.key = "nvtd:ftps_crt_file", .dump = "ftps_crt_file", .type = FTPD_SET_STR,
     .field = &c->crt_file, .def_text = "nvtd.crt"},
    {.key = "nvtd:user", .dump = "ftpd_login_user", .type = FTPD_SET_STR, .field = &c->user,
     .flags = FTPD_SET_CREDENTIAL},
    {.key = "nvtd:passwd", .dump = "ftpd_login_passwd", .type = FTPD_SET_STR,
     .field = &c->passwd, .flags = FTPD_SET_CREDENTIAL},
    {.key = "nvtd:readonly", .dump = "ftpd_file_readonly", .field = &c->readonly},
    // One block size for both directions.
    {.key = "nvtd:bs", .dump = "ftpd_read_bs", .type = FTPD_SET_SIZE, .field = &c->read_bs,
     .def = 2097152, .min = 4096, .also = &c->write_bs},
    {.key = "nvtd:max_clients", .dump = "ftpd_max_clients", .field = &c->max_clients},
    {.key = "nvtd:read_timeout", .dump = "ftpd_read_timeout", .field = &c->read_timeout_ms,
     .def = 5, .scale = 1000, .min = 3000},
    {.key = "nvtd:idle_session_timeout", .dump = "ftpd_idle_session_timeout",
     .field = &c->idle_timeout_ms, .def = 600, .scale = 1000, .min = 15000},
    {.key = "nvtd:upload_max_rate", .dump = "ftpd_upload_max_rate", .type = FTPD_SET_SIZE,
     .field = &c->upload_max_rate, .min = 0},
    {.key = "nvtd:download_max_rate", .dump = "ftpd_download_max_rate", .type = FTPD_SET_SIZE,
     .field = &c->download_max_rate, .min = 0},
    {.key = "nvtd:passive_begin_port", .dump = "ftpd_passive_begin_port",
     .field = &c->passive_begin_port},
    {.key = "nvtd:passive_end_port", .dump = "ftpd_passive_end_port",
     .field = &c->passive_end_port},
    {.key = "nvtd:ftp_root", .dump = "ftp_root", .type = FTPD_SET_STR, .field = &c->ftp_root},
    {.key = "nvtd:pasv_address", .dump = "pasv_address", .type = FTPD_SET_STR,
     .field = &c->pasv_address},

    {.key = "login:login_file", .dump = "ftpd_login_file", .type = FTPD_SET_STR,
     .field = &c->login_file, .part = FTPD_DUMP_LOGIN},
    {.key = "login:login_file_size", .dump = "ftpd_login_file_size", .type = FTPD_SET_SIZE,
     .field = &c->login_file_size, .def = 2097152, .min = 0, .part = FTPD_DUMP_LOGIN},
    // Below 0 the lockout is off, as with 0.
    {.key = "login:login_fail_count", .dump = "ftpd_login_fail_count",
     .field = &c->login_fail_count, .def = 5, .min = 0, .part = FTPD_DUMP_LOGIN},
    {.key = "login:login_fail_wait_m", .dump = "ftpd_login_fail_wait_m",
     .field = &c->login_fail_wait_m, .def = 15, .min = 1, .part = FTPD_DUMP_LOGIN},
    {.key = "nvtd:max_per_ip", .dump = "ftpd_max_per_ip", .field = &c->max_per_ip, .min = 0,
     .part = FTPD_DUMP_LOGIN},
    // 0 stays 0 (no deadline), so there is no lower bound above it.
    {.key = "nvtd:login_timeout", .dump = "ftpd_login_timeout", .field = &c->login_timeout_ms,
     .scale = 1000, .min = 0, .part = FTPD_DUMP_LOGIN},
    {.key = "nvtd:ftp_extensions", .dump = "ftpd_extensions", .field = &c->ftp_extensions,
     .min = 0, .part = FTPD_DUMP_LOGIN},
    {.key = "nvtd:ftps_required", .dump = "ftpd_ftps_required", .field = &c->ftps_required,
     .min = 0, .part = FTPD_DUMP_LOGIN},
    {.key = "nvtd:ftps_data_reuse", .dump = "ftpd_ftps_data_reuse",
     .field = &c->ftps_data_reuse, .min = 0, .part = FTPD_DUMP_LOGIN},

    // Fixed values: no key, no dump line.
    {.key = nullptr, .dump = nullptr, .field = &c->port_connect_timeout_ms, .def = 3000},
    {.key = nullptr, .dump = nullptr, .field = &c->pasv_accept_wait_ms, .def = 3000},
    {.key = nullptr, .dump = nullptr, .field = &c->ctrl_poll_timeout_ms, .def = 2000},
};

std::span<const ftpd_setting> ftpd_settings() {
    return ftpd_rows;
}

// The value in the file's unit: the key's when h has it, else the default.
static int64_t setting_raw(const ftpd_setting &r, conf_handle *h) {
    bool from_file = h != nullptr && r.key != nullptr;
    if (r.type == FTPD_SET_SIZE) {
        auto def = static_cast<uint64_t>(r.def);
        return pal_size_to_i32(from_file ? conf_get_key_size(h, r.key, def) : def);
    }
    auto def = static_cast<int>(r.def);
    return from_file ? conf_get_key_int(h, r.key, def) : def;
}

// Computed wide so that a large number of seconds cannot overflow the milliseconds.
static int setting_bound(const ftpd_setting &r, int64_t raw) {
    int64_t v = std::clamp<int64_t>(raw * r.scale, INT32_MIN, INT32_MAX);
    return static_cast<int>(std::max<int64_t>(v, r.min));
}

static void setting_store(const ftpd_setting &r, conf_handle *h) {
    if (r.type == FTPD_SET_STR) {
        const char *v = h != nullptr && r.key != nullptr
                            ? conf_get_key_string(h, r.key, r.def_text)
                            : r.def_text;
        *static_cast<std::string *>(r.field) = v ? v : "";
        if (r.also != nullptr)
            *static_cast<std::string *>(r.also) = *static_cast<std::string *>(r.field);
        return;
    }
    int v = setting_bound(r, setting_raw(r, h));
    *static_cast<int *>(r.field) = v;
    if (r.also != nullptr)
        *static_cast<int *>(r.also) = v;
}

void ftpd_settings_defaults(std::span<const ftpd_setting> rows) {
    for (const ftpd_setting &r : rows)
        setting_store(r, nullptr);
}

void ftpd_settings_read(std::span<const ftpd_setting> rows, conf_handle *h,
                        void (*check)(const ftpd_setting &row)) {
    for (const ftpd_setting &r : rows) {
        if (r.key == nullptr)
            continue;
        setting_store(r, h);
        if (check != nullptr && (r.flags & FTPD_SET_CREDENTIAL) != 0)
            check(r);
    }
}

std::string ftpd_conf_quote(std::string_view value) {
    if (value.empty())
        return "''";
    if (value[0] != '\'' && value.find_first_of(" \t;") != std::string_view::npos)
        return "'" + std::string(value) + "'";
    return std::string(value);
}

void ftpd_setting_dump(const ftpd_setting &row, std::string *out) {
    if (row.dump == nullptr)
        return;
    *out += row.dump;
    *out += '=';
    if (row.type == FTPD_SET_STR)
        *out += ftpd_conf_quote(*static_cast<const std::string *>(row.field));
    else
        *out += std::to_string(*static_cast<const int *>(row.field));
    *out += '\n';
}

void ftpd_settings_dump(std::span<const ftpd_setting> rows, unsigned part, std::string *out) {
    for (const ftpd_setting &r : rows)
        if (r.part == part)
            ftpd_setting_dump(r, out);
}

const ftpd_setting *ftpd_setting_find(std::span<const ftpd_setting> rows, const char *dump) {
    std::string_view name(dump);
    for (const ftpd_setting &r : rows)
        if (r.dump != nullptr && name == r.dump)
            return &r;
    return nullptr;
}
