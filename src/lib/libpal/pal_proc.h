// pal_proc.h - process control for the program frame: termination signals delivered to a
// thread (so that their handler may log, lock and stop servers), the working directory, and
// a sliced wait for the end of standard input.
#pragma once

#include <atomic>
#include <span>

/// Handler of a routed signal; runs on the thread "sig", never in signal context.
using os_signal_fn = void (*)(int signo);

/// Routes the signals signos[0..count) to fn. The signal itself only records the number;
/// the thread "sig" (started on the first call) calls fn with it. A later call adds signals
/// and replaces fn. Returns 0, or a table code when the thread or a handler cannot be set up.
/// Call from the main thread during start-up.
[[nodiscard]] int os_signal_route(const int *signos, int count, os_signal_fn fn);

/// Gives signo its default action again (a second Ctrl+C then ends the process at once).
/// Safe from the handler.
void os_signal_default(int signo);

/// Stops the thread "sig" and waits for it; signals still routed are then only recorded.
/// Must not be called from the handler. A second call does nothing.
void os_signal_exit();

/// Waits until standard input reaches its end (or is closed or fails) or *stop is non-zero,
/// looking at both every slice_ms. Input read meanwhile is discarded. Returns 0 at the end
/// of input, 1 when stop was set.
int os_stdin_wait_end(const std::atomic<int> *stop, int slice_ms);

/// The current working directory into out. Returns its length or a table code.
[[nodiscard]] int os_getcwd(std::span<char> out);
