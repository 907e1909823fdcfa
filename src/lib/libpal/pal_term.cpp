// pal_term.cpp - facts about the process's terminal.
#include "pal.h"

#include <unistd.h>

bool os_stderr_is_terminal() {
    return isatty(STDERR_FILENO) == 1;
}
