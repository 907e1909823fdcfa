// log_count_test.cpp - the messages counted by level: only what passes the filter, each
// under its own level, from several threads at once.
#include "log_test_util.h"

#include <array>
#include <thread>
#include <vector>

using LogCount = LogTest;

namespace {
std::array<uint64_t, 7> counts() {
    std::array<uint64_t, 7> c{};
    for (int level = LOG2_CRIT; level <= LOG2_VERB; level++)
        c[size_t(level - LOG2_CRIT)] = log2_line_count(level);
    return c;
}
}  // namespace

TEST_F(LogCount, CountsEachLevelThatPassesTheFilter) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_INFO), 0);
    auto before = counts();
    LOG2(LOG2_ERR, "main", "one error\n");
    LOG2(LOG2_WARN | LOG2_F_OSERR, "main", "a warning with the system error\n");
    LOG2(LOG2_WARN, "main", "another warning\n");
    LOG2(LOG2_INFO, "main", "an info line\n");
    LOG2(LOG2_DBG, "main", "filtered\n");
    LOG2(LOG2_VERB, "main", "filtered too\n");
    auto after = counts();
    // crit err warn noti info dbg verb
    const std::array<uint64_t, 7> added = {0, 1, 2, 0, 1, 0, 0};
    for (size_t i = 0; i < added.size(); i++)
        EXPECT_EQ(after[i], before[i] + added[i]) << "level " << LOG2_CRIT + int(i);
    EXPECT_EQ(captured().size(), 4u);  // the counted lines are the ones the sinks got
    EXPECT_EQ(log2_line_count(1), 0u);
    EXPECT_EQ(log2_line_count(9), 0u);
}

TEST_F(LogCount, ThreadsLoseNoCount) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_OUT_CB, static_cast<log2_out_fn>(nullptr)), 0);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_NOTI), 0);
    uint64_t before = log2_line_count(LOG2_NOTI);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([] {
            for (int i = 0; i < 500; i++)
                LOG2(LOG2_NOTI, "main", "line %d\n", i);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(log2_line_count(LOG2_NOTI), before + 2000);
}
