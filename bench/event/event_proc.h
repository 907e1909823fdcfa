// event_proc.h - the server child of event_bench. nvtd runs until its standard input ends,
// so the child reads a pipe that only the bench holds: when the bench ends in any way, the
// pipe closes and the server stops by itself.
#pragma once

#include <string>
#include <vector>

struct bench_child {
    int pid = 0;        ///< 0 when no child runs
    int stdin_fd = -1;  ///< write end of the child's standard input
};

/// Starts argv[0] with argv, standard input from a pipe and standard output and error into
/// the file out_path. Returns 0, or -1 when the pipe, the file or the start failed.
[[nodiscard]] int bench_child_start(bench_child *c, const std::vector<std::string> &argv,
                                    const std::string &out_path);
/// True while the child runs; reaps it once it has ended.
bool bench_child_alive(bench_child *c);
/// Closes the child's input, waits up to wait_ms for it to end, then kills and reaps it.
/// Does nothing when no child runs.
void bench_child_stop(bench_child *c, int wait_ms);
