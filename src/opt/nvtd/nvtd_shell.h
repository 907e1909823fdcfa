// nvtd_shell.h - the program's part of the command shell: its show items, aliases and hooks,
// and the console session of console mode.
#pragma once

#include <atomic>

/// Starts the shell and registers the show items "config" and "status", the aliases "st"
/// and "sr", app_stop_server as the hook of `exit`, and stop as the flag that ends console
/// reads. Called by the library start, before any session runs. Returns 0.
int app_shell_init(const std::atomic<int> *stop);

/// The console session with the program's prompt until exit, quit, q or the end of input.
/// Returns 0. Runs on the main thread.
int app_shell_stdio_loop(const char *arg);
