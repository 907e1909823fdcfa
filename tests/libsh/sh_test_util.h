// sh_test_util.h - a shell started once per test program and lines run through a memory
// session context, whose text shows each command's end as a zero byte.
#pragma once

#include "log.h"
#include "sh.h"

#include <gtest/gtest.h>

#include <string>

struct sh_result {
    int rc;
    std::string text;  ///< output; each flush appears as '\0'
};

/// Runs line in a fresh memory context.
inline sh_result sh_run(const std::string &line) {
    libsh_mem_ctx m;
    libsh_mem_ctx_init(&m);
    int rc = libsh_exec_line(&m.ctx, line.c_str());
    return {rc, m.text};
}

/// A literal with embedded zero bytes.
inline std::string zs(const char *s, size_t n) {
    return std::string(s, n);
}

class ShellTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        libsh_init();
    }
    void SetUp() override {
        // Each test starts without a line to repeat.
        (void)sh_run("nosuch_command_to_clear_the_last_line");
    }
};
