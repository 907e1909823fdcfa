// app_metrics.cpp - the /metrics page of the web console in the Prometheus text format
// 0.0.4: each family's HELP and TYPE lines, then its samples. Every figure comes from a
// counter its library keeps with relaxed atomics, or from /proc, so a scrape takes no lock
// a session holds and a busy server pays nothing for being watched.
#include "libapp.h"

#include <charconv>
#include <cmath>
#include <iterator>

#include "app_metrics_internal.h"
#include "ftpd.h"
#include "libpwd.h"
#include "log.h"
#include "pal.h"

std::string app_metrics_escape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

void app_metrics_family(std::string *out, const char *name, const char *type,
                        std::string_view help) {
    *out += "# HELP ";
    *out += name;
    *out += ' ';
    for (char c : help) {
        if (c == '\\')
            *out += "\\\\";
        else if (c == '\n')
            *out += "\\n";
        else
            *out += c;
    }
    *out += "\n# TYPE ";
    *out += name;
    *out += ' ';
    *out += type;
    *out += '\n';
}

static void sample_head(std::string *out, const char *name,
                        std::initializer_list<app_metric_label> labels) {
    *out += name;
    if (labels.size() == 0) {
        *out += ' ';
        return;
    }
    char sep = '{';
    for (const app_metric_label &l : labels) {
        *out += sep;
        *out += l.name;
        *out += "=\"";
        *out += app_metrics_escape(l.value);
        *out += '"';
        sep = ',';
    }
    *out += "} ";
}

void app_metrics_sample(std::string *out, const char *name,
                        std::initializer_list<app_metric_label> labels, uint64_t value) {
    sample_head(out, name, labels);
    *out += pal_format("%llu\n", static_cast<unsigned long long>(value));
}

// The shortest text that reads back as the same double, with its line feed.
static std::string shortest(double value) {
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf - 1, value);
    *r.ptr++ = '\n';
    return std::string(buf, r.ptr);
}

void app_metrics_sample(std::string *out, const char *name,
                        std::initializer_list<app_metric_label> labels, double value) {
    sample_head(out, name, labels);
    if (std::isnan(value))
        *out += "NaN\n";
    else if (std::isinf(value))
        *out += value > 0 ? "+Inf\n" : "-Inf\n";
    else
        *out += shortest(value);
}

// ---------------------------------------------------------------------------------------
// The families.

/// A gauge of one sample without labels; a fact that could not be read is left out.
static void gauge(std::string *out, const char *name, const char *help, double v) {
    if (v < 0)
        return;
    app_metrics_family(out, name, "gauge", help);
    app_metrics_sample(out, name, {}, v);
}

static void process_metrics(std::string *out) {
    app_proc_facts f;
    app_proc_facts_read(&f);
    gauge(out, "process_start_time_seconds",
          "Start time of the process since the Unix epoch in seconds.", f.start_time_s);
    if (f.cpu_s >= 0) {
        app_metrics_family(out, "process_cpu_seconds_total", "counter",
                           "Total user and system CPU time spent in seconds.");
        app_metrics_sample(out, "process_cpu_seconds_total", {}, f.cpu_s);
    }
    gauge(out, "process_resident_memory_bytes", "Resident memory size in bytes.",
          double(f.rss_bytes));
    gauge(out, "process_virtual_memory_bytes", "Virtual memory size in bytes.",
          double(f.vm_bytes));
    gauge(out, "process_open_fds", "Number of open file descriptors.", double(f.open_fds));
    gauge(out, "process_max_fds", "Maximum number of open file descriptors.",
          double(f.max_fds));
    gauge(out, "process_threads", "Number of threads of the process.", double(f.threads));
}

static void build_metrics(std::string *out) {
    app_metrics_family(out, "nvtd_build_info", "gauge",
                       "The running program's version; the value is always 1.");
    app_metrics_sample(out, "nvtd_build_info",
                       {{"version", g_app.app_ver ? g_app.app_ver : ""},
                        {"name", g_app.app_name ? g_app.app_name : ""}},
                       uint64_t{1});
}

static void ftp_session_metrics(std::string *out, const ftpd_stats &st) {
    app_metrics_family(out, "nvtd_ftp_sessions_active", "gauge",
                       "FTP sessions open now, by the port they came in on.");
    for (int p = 0; p < FTPD_PROTO_COUNT; p++)
        app_metrics_sample(out, "nvtd_ftp_sessions_active", {{"proto", ftpd_proto_name(p)}},
                           double(st.sessions_active[p]));
    app_metrics_family(out, "nvtd_ftp_sessions_total", "counter",
                       "FTP sessions greeted, by the port they came in on.");
    for (int p = 0; p < FTPD_PROTO_COUNT; p++)
        app_metrics_sample(out, "nvtd_ftp_sessions_total", {{"proto", ftpd_proto_name(p)}},
                           st.sessions_total[p]);
    app_metrics_family(out, "nvtd_ftp_sessions_refused_total", "counter",
                       "Connections refused with 421, by the limit that refused them.");
    app_metrics_sample(out, "nvtd_ftp_sessions_refused_total", {{"reason", "max_clients"}},
                       st.refused_max_clients);
    app_metrics_sample(out, "nvtd_ftp_sessions_refused_total", {{"reason", "max_per_ip"}},
                       st.refused_max_per_ip);
    app_metrics_family(out, "nvtd_ftp_passive_accept_timeouts_total", "counter",
                       "Passive data listeners that no client connected to in time.");
    app_metrics_sample(out, "nvtd_ftp_passive_accept_timeouts_total", {},
                       st.pasv_accept_timeouts);
}

static void ftp_data_metrics(std::string *out, const ftpd_stats &st) {
    app_metrics_family(out, "nvtd_ftp_data_sent_bytes_total", "counter",
                       "Bytes sent on data connections (downloads and listings).");
    app_metrics_sample(out, "nvtd_ftp_data_sent_bytes_total", {}, st.data_bytes_sent);
    app_metrics_family(out, "nvtd_ftp_data_received_bytes_total", "counter",
                       "Bytes received on data connections (uploads).");
    app_metrics_sample(out, "nvtd_ftp_data_received_bytes_total", {}, st.data_bytes_received);
    app_metrics_family(out, "nvtd_ftp_transfers_total", "counter",
                       "Transfers and listings that began, by command and result.");
    for (int c = 0; c < FTPD_XCMD_COUNT; c++)
        for (int r = 0; r < FTPD_XRES_COUNT; r++)
            app_metrics_sample(out, "nvtd_ftp_transfers_total",
                               {{"command", ftpd_xcmd_name(c)}, {"result", ftpd_xres_name(r)}},
                               st.transfers[c][r]);
    app_metrics_family(out, "nvtd_ftp_replies_total", "counter",
                       "FTP replies sent, by the class of their code.");
    static const char *const classes[5] = {"1xx", "2xx", "3xx", "4xx", "5xx"};
    for (int k = 0; k < 5; k++)
        app_metrics_sample(out, "nvtd_ftp_replies_total", {{"class", classes[k]}},
                           st.replies[k]);
}

static void login_metrics(std::string *out) {
    pwd_stats ps{};
    libpwd_stats_get(&ps);
    app_metrics_family(out, "nvtd_logins_total", "counter",
                       "Logins checked against the configured user, by result.");
    app_metrics_sample(out, "nvtd_logins_total", {{"result", "ok"}}, ps.logins_ok);
    app_metrics_sample(out, "nvtd_logins_total", {{"result", "failed"}}, ps.logins_failed);
    app_metrics_sample(out, "nvtd_logins_total", {{"result", "locked"}}, ps.logins_locked);
    app_metrics_family(out, "nvtd_login_locked_addresses", "gauge",
                       "Client addresses (IPv6: /64 prefixes) locked out now.");
    app_metrics_sample(out, "nvtd_login_locked_addresses", {}, double(ps.locked_now));
}

static void log_metrics(std::string *out) {
    app_metrics_family(out, "nvtd_log_lines_total", "counter",
                       "Log messages that passed the level filter, by level.");
    // The level names of the log.level setting.
    static const char *const names[] = {"crit", "err", "warn", "noti", "info", "dbg", "verb"};
    static_assert(std::size(names) == LOG2_VERB - LOG2_CRIT + 1, "one name per level");
    for (int level = LOG2_CRIT; level <= LOG2_VERB; level++)
        app_metrics_sample(out, "nvtd_log_lines_total",
                           {{"level", names[level - LOG2_CRIT]}}, log2_line_count(level));
}

std::string app_metrics_text() {
    std::string out;
    out.reserve(8192);
    process_metrics(&out);
    build_metrics(&out);
    ftpd_stats st{};
    ftpd_stats_get(&st);
    ftp_session_metrics(&out, st);
    ftp_data_metrics(&out, st);
    login_metrics(&out);
    log_metrics(&out);
    return out;
}
