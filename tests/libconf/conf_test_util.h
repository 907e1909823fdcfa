// conf_test_util.h - owned handles, a temporary folder and a log catcher for the
// configuration tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "conf.h"
#include "pal.h"

struct conf_deleter {
    void operator()(conf_handle *h) const { conf_free(h); }
};
using conf_ptr = std::unique_ptr<conf_handle, conf_deleter>;
inline conf_ptr load_text(const std::string &text) { return conf_ptr(conf_load_str(text.c_str())); }
inline conf_ptr load_file(const std::string &path) { return conf_ptr(conf_load(path.c_str())); }

/// What conf_dump prints for h.
inline std::string dump_of(conf_handle *h) {
    ::testing::internal::CaptureStdout();
    conf_dump(h);
    return ::testing::internal::GetCapturedStdout();
}

/// Collects what libconf logs through the platform hook while the fixture lives, and
/// gives each test a folder of its own.
class ConfTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_lines.clear();
        pal_set_log_hook(&ConfTest::hook);
        dir_ = std::filesystem::temp_directory_path() /
               ("nvtd_conf_" + std::to_string(os_getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        pal_set_log_hook(nullptr);
        std::filesystem::remove_all(dir_);
    }
    std::string path(const char *name) const { return (dir_ / name).string(); }
    std::string write(const char *name, const std::string &text) const {
        std::string p = path(name);
        EXPECT_EQ(os_write_file(p.c_str(), text), 0);
        return p;
    }
    std::string read(const std::string &p) const {
        std::string out;
        EXPECT_EQ(os_read_file(p.c_str(), &out), 0);
        return out;
    }
    /// True when a logged line at level contains text.
    static bool logged(int level, const std::string &text) {
        for (const auto &[lvl, line] : log_lines)
            if ((lvl & 0xff) == level && line.find(text) != std::string::npos)
                return true;
        return false;
    }

private:
    static inline std::vector<std::pair<int, std::string>> log_lines;
    static int hook(int level, const char *, const char *, int, const char *, const char *fmt,
                    va_list ap) {
        log_lines.emplace_back(level, pal_vformat(fmt, ap));
        return 0;
    }
    std::filesystem::path dir_;
};
