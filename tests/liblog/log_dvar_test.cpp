// log_dvar_test.cpp - "log.level" and "log.dbgview" as dynamic variables of a registry.
#include "log.h"
#include "pal_value.h"

#include <gtest/gtest.h>

namespace {
class LogDvar : public testing::Test {
protected:
    void SetUp() override {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        m_ = dvar_mgr_new();
        for (dvar &d : log2_dvars())
            ASSERT_EQ(dvar_mgr_add(m_, &d), 0);
    }
    void TearDown() override {
        dvar_mgr_free(m_);
        log2_exit();
    }
    dvar_mgr *m_ = nullptr;
};
}  // namespace

// The records only carry the log's own runtime variables (their values and refusals are
// checked in LogSettings.IoctlRefusalsAndRuntimeVariables): a set through the registry
// reaches the running log, its refusal text comes back, a get reads the value.
TEST_F(LogDvar, RecordsReachTheRunningLog) {
    char msg[DVAR_MSG_SIZE] = "", buf[DVAR_VALUE_SIZE];
    EXPECT_EQ(dvar_mgr_set(m_, "log.level", "verbose", msg), -1);
    EXPECT_STREQ(msg, "invalid param [verbose]\n");
    ASSERT_EQ(dvar_mgr_set(m_, "log.level", "dbg", msg), 0);
    EXPECT_TRUE(log2_enabled(LOG2_DBG));
    EXPECT_EQ(dvar_mgr_get(dvar_mgr_find(m_, "log.level"), buf), 3);
    EXPECT_STREQ(buf, "dbg");
    dvar *d = dvar_mgr_find(m_, "log.dbgview");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->type, DVAR_TYPE_ENUM);
    EXPECT_STREQ(d->range, "0|1");
    ASSERT_EQ(dvar_mgr_set(m_, "log.dbgview", "1", msg), 0);
    ASSERT_GE(dvar_mgr_get(d, buf), 0);
    EXPECT_STREQ(buf, "1");
}
