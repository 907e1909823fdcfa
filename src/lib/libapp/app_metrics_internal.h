// app_metrics_internal.h - the process facts of the metrics page, read from /proc by the
// one file of libapp that knows Linux (app_metrics_linux.cpp).
#pragma once

#include <cstdint>

/// What the kernel tells about this process. A fact that cannot be read stays negative.
struct app_proc_facts {
    double start_time_s = -1;   ///< Unix time the process started
    double cpu_s = -1;          ///< user and system CPU time
    int64_t rss_bytes = -1;     ///< resident memory
    int64_t vm_bytes = -1;      ///< virtual memory
    int64_t open_fds = -1;      ///< open descriptors
    int64_t max_fds = -1;       ///< the descriptor limit (soft)
    int64_t threads = -1;       ///< threads of the process
};

/// Reads the facts. Any thread; a few small /proc reads, no lock.
void app_proc_facts_read(app_proc_facts *out);
