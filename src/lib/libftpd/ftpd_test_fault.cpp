// ftpd_test_fault.cpp - "SITE FAULT" for the crash tests: when the environment holds
// NVTD_TEST_FAULT=1 at start, the command reads through a null pointer on the session's
// thread, so that a test can show a faulting session ending alone. Off in every other run.
#include <cstdlib>
#include <string_view>

#include "ftpd_internal.h"

// Read once, before any session runs.
static const bool g_fault_on = [] {
    const char *v = std::getenv("NVTD_TEST_FAULT");
    return v != nullptr && std::string_view(v) == "1";
}();
// volatile: the compiler cannot see that it stays null.
static int *volatile g_fault_target = nullptr;

bool ftpd_test_fault(ftp_session *s) {
    if (!g_fault_on || s->arg == nullptr || !pal_iequals(s->arg, "FAULT"))
        return false;
    return *g_fault_target != 0;
}
