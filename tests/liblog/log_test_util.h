// log_test_util.h - a fresh log context per test, a temporary folder, and the lines the
// output and error callbacks received.
#pragma once

#include "log.h"
#include "pal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

struct captured_line {
    int level;
    std::string tag;
    std::string text;
    bool err;  ///< came through the error callback
};

inline std::mutex g_cap_mu;
inline std::vector<captured_line> g_cap;

template <bool err> void cap_line(int level, const char *tag, const char *line, int len) {
    std::scoped_lock lock(g_cap_mu);
    g_cap.push_back({level, tag, std::string(line, static_cast<size_t>(len)), err});
}
inline constexpr auto cap_out = cap_line<false>, cap_err = cap_line<true>;
inline std::vector<captured_line> captured() {
    std::scoped_lock lock(g_cap_mu);
    return g_cap;
}

/// The captured lines as "<out|err> <tag>: <text>".
inline std::vector<std::string> captured_text() {
    std::vector<std::string> out;
    for (const captured_line &c : captured())
        out.push_back((c.err ? "err " : "out ") + c.tag + ": " + c.text);
    return out;
}

inline std::string read_text(const std::string &p) {
    std::string text;
    return os_read_file(p.c_str(), &text) == 0 ? text : "";
}

/// The calling thread's id as the log prints it.
inline std::string tid_text() { return std::to_string(static_cast<unsigned>(os_thread_id())); }

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

/// Each test starts from a new context with the console off, no prefix flags, both
/// callbacks capturing, and its own temporary folder.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        log2_exit();
        log2_set_debug(false);
        {
            std::scoped_lock lock(g_cap_mu);
            g_cap.clear();
        }
        ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0), 0);
        ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_OUT_CB, cap_out), 0);
        ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_ERR_CB, cap_err), 0);
        ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0L), 0);
        static std::atomic<int> seq{0};
        dir_ = std::filesystem::temp_directory_path() /
               pal_format("nvtd_log_%d_%d", os_getpid(), seq.fetch_add(1));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        log2_exit();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const char *name) const { return (dir_ / name).string(); }
    /// Sets the prefix flags from their names ("time|tid|func").
    static void flags(const char *names) {
        ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, names), 0);
    }
    /// Opens the file sink on p.
    static void open_file(const std::string &p) {
        ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, p.c_str()), 0);
        ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE_ON, 1), 0);
    }

    std::filesystem::path dir_;
};
