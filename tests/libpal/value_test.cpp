// value_test.cpp - the runtime-variable registries: their checks, lookups and typed values.
#include "pal.h"
#include "pal_value.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

static std::string text_a() { return "a"; }
static std::string text_b() { return "b"; }
static int func_one(dbgsh_srv_ctx *, int, char **) { return 1; }

struct RvarDeleter {
    void operator()(rvar_mgr *m) const { rvar_mgr_free(m); }
};
struct DvarDeleter {
    void operator()(dvar_mgr *m) const { dvar_mgr_free(m); }
};

TEST(RvarMgr, SecondItemWithTakenNameFailsAndFirstStays) {
    std::unique_ptr<rvar_mgr, RvarDeleter> m(rvar_mgr_new());
    static const rvar first{"info", "first", text_a}, second{"info", "second", text_b};
    ASSERT_EQ(rvar_mgr_add(m.get(), &first), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rvar_mgr_add(m.get(), &second), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("error: var=info already exists\n"),
              std::string::npos);
    ASSERT_EQ(rvar_mgr_count(m.get()), 1u);
    EXPECT_EQ(rvar_mgr_find(m.get(), "info")->get(), "a");
    EXPECT_EQ(rvar_mgr_find(m.get(), "Info"), nullptr);  // names compare exactly
}

TEST(RvarMgr, ItemWithoutGetIsRefusedAndOrderIsKept) {
    std::unique_ptr<rvar_mgr, RvarDeleter> m(rvar_mgr_new());
    static const rvar none{"none", "x", nullptr}, b{"b", "x", text_b}, a{"a", "x", text_a};
    testing::internal::CaptureStderr();
    EXPECT_EQ(rvar_mgr_add(m.get(), &none), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("var=none init error\n"),
              std::string::npos);
    ASSERT_EQ(rvar_mgr_add(m.get(), &b), 0);
    ASSERT_EQ(rvar_mgr_add(m.get(), &a), 0);
    EXPECT_EQ(rvar_mgr_at(m.get(), 0), &b);
    EXPECT_EQ(rvar_mgr_at(m.get(), 1), &a);
    EXPECT_EQ(rvar_mgr_at(m.get(), 2), nullptr);
}

TEST(FvarMgr, ChecksFuncAndFindsByName) {
    fvar_mgr *m = fvar_mgr_new();
    static const fvar bad{"bad", "x", nullptr}, one{"one", "x", func_one};
    testing::internal::CaptureStderr();
    EXPECT_EQ(fvar_mgr_add(m, &bad), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("var=bad init error\n"),
              std::string::npos);
    ASSERT_EQ(fvar_mgr_add(m, &one), 0);
    EXPECT_EQ(fvar_mgr_find(m, "one")->func(nullptr, 0, nullptr), 1);
    EXPECT_EQ(fvar_mgr_count(m), 1u);
    fvar_mgr_free(m);
}

TEST(DvarMgr, UnknownNameGivesMinus12AndReason) {
    std::unique_ptr<dvar_mgr, DvarDeleter> m(dvar_mgr_new());
    char msg[DVAR_MSG_SIZE] = "";
    EXPECT_EQ(dvar_mgr_set(m.get(), "no.such", "1", msg), -12);
    EXPECT_STREQ(msg, "The set variable 'no.such' does not exist");
}

TEST(DvarMgr, RecordWithoutSetOrValueIsRefused) {
    std::unique_ptr<dvar_mgr, DvarDeleter> m(dvar_mgr_new());
    static dvar d{.name = "x.none", .type = 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(dvar_mgr_add(m.get(), &d), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("var=x.none set error\n"),
              std::string::npos);
    EXPECT_EQ(dvar_mgr_count(m.get()), 0u);
}

TEST(DvarMgr, IntegerHeldElsewhereIsReadAndWritten) {
    std::unique_ptr<dvar_mgr, DvarDeleter> m(dvar_mgr_new());
    int target = 7;
    dvar d{.name = "x.ref", .value = {.type = VALUE_TYPE_INT_PTR, .ref = &target}};
    ASSERT_EQ(dvar_mgr_add(m.get(), &d), 0);
    char buf[DVAR_VALUE_SIZE];
    EXPECT_EQ(dvar_mgr_get(&d, buf), 1);
    EXPECT_STREQ(buf, "7");
    char msg[DVAR_MSG_SIZE] = "";
    EXPECT_EQ(dvar_mgr_set(m.get(), "x.ref", "-42", msg), 0);
    EXPECT_EQ(target, -42);
    EXPECT_EQ(dvar_mgr_set(m.get(), "x.ref", "junk", msg), 0);  // unparsable gives 0
    EXPECT_EQ(target, 0);
}

TEST(DvarMgr, IntegerInTheRecordAndUnsupportedKind) {
    std::unique_ptr<dvar_mgr, DvarDeleter> m(dvar_mgr_new());
    dvar own{.name = "x.own", .value = {.type = VALUE_TYPE_INT, .i = 3}};
    dvar odd{.name = "x.odd", .value = {.type = 20}};
    ASSERT_EQ(dvar_mgr_add(m.get(), &own), 0);
    ASSERT_EQ(dvar_mgr_add(m.get(), &odd), 0);
    char msg[DVAR_MSG_SIZE] = "", buf[DVAR_VALUE_SIZE];
    EXPECT_EQ(dvar_mgr_set(m.get(), "x.own", "12", msg), 0);
    EXPECT_EQ(own.value.i, 12);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dvar_mgr_set(m.get(), "x.odd", "1", msg), -1);
    EXPECT_EQ(dvar_mgr_get(&odd, buf), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("unsupport type=20\n"), std::string::npos) << err;
}

TEST(DvarMgr, GetWithoutGetOrValueSaysNotSupported) {
    static int last = 0;
    dvar d{.name = "x.wo", .set = [](const char *v, std::span<char>) {
               last = pal_atoi(v);
               return 0;
           }};
    std::unique_ptr<dvar_mgr, DvarDeleter> m(dvar_mgr_new());
    ASSERT_EQ(dvar_mgr_add(m.get(), &d), 0);
    char msg[DVAR_MSG_SIZE] = "", buf[DVAR_VALUE_SIZE];
    EXPECT_EQ(dvar_mgr_set(m.get(), "x.wo", "5", msg), 0);
    EXPECT_EQ(last, 5);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dvar_mgr_get(&d, buf), -1);
    EXPECT_STREQ(buf, "error: not support");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("error: var.name x.wo get=NULL error\n"),
              std::string::npos);
}
