// pal_service.h - what running under a service manager needs: the readiness message to
// systemd's notification socket, and running a helper program to its end.
#pragma once

/// Sends state (e.g. "READY=1" or "STOPPING=1") as one datagram to the socket named by
/// NOTIFY_SOCKET (a path, or '@' for an abstract name). Returns 1 when sent, 0 when the
/// variable is not set, or a negative table code.
int os_notify_state(const char *state);

/// True when name is an executable file in one of the directories of PATH.
bool os_find_exec(const char *name);

/// Runs argv[0] (looked up in PATH) with the arguments argv (ending with null), standard
/// input from /dev/null, and waits for it. Returns its exit status, 128 + the signal that
/// ended it, or a negative table code when it could not be started.
int os_run_wait(const char *const argv[]);
