// dbg_http_text_test.cpp - the texts of the web console's endpoints: JSON escaping, query
// parameters, a shell line run into memory, the set variables and the log reader.
#include "dbg_http.h"

#include <gtest/gtest.h>

#include <string>

#include "bsvf.h"
#include "dbg_http_internal.h"
#include "log.h"
#include "pal.h"
#include "sh.h"

namespace {
class DbgHttpText : public testing::Test {
protected:
    static void SetUpTestSuite() {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        bsvf_log_init();
        libsh_init();
    }
    void TearDown() override {
        http_log_exit();
        (void)log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "info");
    }
};

constexpr const char *kHead = "[{\"resp\":\"";
constexpr const char *kTail = "\"}]";
}  // namespace

TEST(DbgJsonEscape, EscapesQuotesBackslashesAndControlBytes) {
    EXPECT_EQ(dbg_json_escape("a\"b\\c\b\t\n\f\r"), "a\\\"b\\\\c\\b\\t\\n\\f\\r");
    EXPECT_EQ(dbg_json_escape(std::string("\0\x01\x0b\x1f ", 5)), "\\u0000\\u0001\\u000B\\u001F ");
    // DEL, bytes of 0x80 and above, '/' and '<' pass as they are.
    EXPECT_EQ(dbg_json_escape("\x7f\xc3\xa9\xff/<"), "\x7f\xc3\xa9\xff/<");
}

TEST(DbgJsonEscape, ACutTakesOnlyWholeEscapesAndCharacters) {
    std::string out;
    EXPECT_EQ(dbg_json_escape_to(&out, "ab\ncd", 3), 2u);  // "\n" needs two more bytes
    EXPECT_EQ(out, "ab");
    out.clear();
    EXPECT_EQ(dbg_json_escape_to(&out, "a\xe2\x82\xac", 3), 1u);  // the euro sign is 3 bytes
    EXPECT_EQ(out, "a");
    out.clear();
    EXPECT_EQ(dbg_json_escape_to(&out, std::string("\x01\x02", 2), 11), 1u);
    EXPECT_EQ(out, "\\u0001");
}

TEST(DbgQuery, FindsTheExactKeyTrimmedAndCut) {
    std::string v;
    ASSERT_TRUE(dbg_query_get("tok=1& token = abc &command=x", "token", 63, &v));
    EXPECT_EQ(v, "abc");
    ASSERT_TRUE(dbg_query_get("command=show%20info+x", "command", 63, &v));
    EXPECT_EQ(v, "show%20info+x");  // not decoded
    ASSERT_TRUE(dbg_query_get("name=" + std::string(100, 'n'), "name", 63, &v));
    EXPECT_EQ(v, std::string(63, 'n'));
    ASSERT_TRUE(dbg_query_get("value=", "value", 63, &v));
    EXPECT_EQ(v, "");
}

TEST(DbgQuery, MissingKeyOrABareItemBeforeItIsNotFound) {
    std::string v = "left";
    EXPECT_FALSE(dbg_query_get("", "token", 63, &v));
    EXPECT_FALSE(dbg_query_get("tokens=1&xtoken=2", "token", 63, &v));
    EXPECT_FALSE(dbg_query_get("flag&token=1", "token", 63, &v));
    EXPECT_TRUE(dbg_query_get("token=1&flag", "token", 63, &v));
}

TEST_F(DbgHttpText, ShowInfoIsOneElementWithEscapedLinesEndingInNul) {
    std::string reply;
    EXPECT_EQ(http_exec_cmd("show info", &reply), 0);
    ASSERT_GT(reply.size(), std::string(kHead).size() + 20);
    EXPECT_EQ(reply.rfind(kHead, 0), 0u);
    EXPECT_EQ(reply.find("\"resp\"", 1), reply.find("\"resp\""));  // one element
    EXPECT_EQ(reply.find('\n'), std::string::npos);
    EXPECT_NE(reply.find("\\n"), std::string::npos);
    EXPECT_TRUE(reply.ends_with("\\u0000\"}]")) << reply;
}

TEST_F(DbgHttpText, EachCommandOfALineEndsInNul) {
    std::string reply;
    EXPECT_EQ(http_exec_cmd("echo one;echo \"a\\\"b\\\"\"", &reply), 0);  // prints a"b"
    EXPECT_EQ(reply, "[{\"resp\":\"one\\n\\u0000a\\\"b\\\"\\n\\u0000\"}]");
}

TEST_F(DbgHttpText, UnknownCommandRepliesWithTheShellsMessages) {
    std::string reply;
    EXPECT_EQ(http_exec_cmd("nosuch x", &reply), -12);
    EXPECT_EQ(reply, "[{\"resp\":\"command not found: [nosuch]\\nType `help` to learn how to "
                     "use prompt\\n\\u0000\"}]");
}

TEST_F(DbgHttpText, LineWithoutOutputGivesAnEmptyReply) {
    std::string reply = "old";
    EXPECT_EQ(http_exec_cmd("# only a comment", &reply), 0);
    EXPECT_EQ(reply, "");
}

TEST_F(DbgHttpText, LongOutputIsCutToValidJson) {
    // Each control byte grows to a six-byte escape: 4000 of them pass the reply's limit.
    std::string reply;
    EXPECT_EQ(http_exec_cmd(("echo " + std::string(4000, '\x01')).c_str(), &reply), 0);
    ASSERT_LE(reply.size(), 16383u);
    ASSERT_GT(reply.size(), 16300u);
    EXPECT_EQ(reply.rfind(kHead, 0), 0u);
    ASSERT_TRUE(reply.ends_with(kTail));
    std::string body = reply.substr(10, reply.size() - 13);
    EXPECT_EQ(body.size() % 6, 0u);
    EXPECT_EQ(body.substr(body.size() - 6), "\\u0001");
}

TEST_F(DbgHttpText, ConfigListsTheLogVariablesWithTheirRanges) {
    (void)log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "warn");
    std::string c = dbg_http_config_reply();
    EXPECT_EQ(c.rfind("[{", 0), 0u);
    EXPECT_TRUE(c.ends_with("} ]")) << c;
    EXPECT_NE(c.find("{\"desc\":\"Set log output level\",\"name\":\"log.level\",\"value\":\"warn\","
                     "\"type\":\"enum\",\"range\":\"verb/dbg/info/noti/warn/err/crit\"}"),
              std::string::npos)
        << c;
    EXPECT_NE(c.find("\"name\":\"log.dbgview\",\"value\":\"0\",\"type\":\"enum\",\"range\":\"0/1\"}"),
              std::string::npos)
        << c;
}

TEST_F(DbgHttpText, UpdateSetsTheVariable) {
    EXPECT_EQ(dbg_http_update_reply("log.level", "dbg", "q"),
              "{ \"success\" : true, \"msg\" : \"ok\" }");
    EXPECT_NE(dbg_http_config_reply().find("\"name\":\"log.level\",\"value\":\"dbg\""),
              std::string::npos);
}

TEST_F(DbgHttpText, UpdateFailuresCarryTheEscapedReason) {
    (void)log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "noti");
    EXPECT_EQ(dbg_http_update_reply("no\"such", "1", "q"),
              "{ \"success\" : false, \"msg\" : \"The set variable 'no\\\"such' does not exist\" }");
    EXPECT_EQ(dbg_http_update_reply("log.level", "loud", "q"),
              "{ \"success\" : false, \"msg\" : \"invalid param [loud]\\n\" }");
    EXPECT_NE(dbg_http_config_reply().find("\"name\":\"log.level\",\"value\":\"noti\""),
              std::string::npos);
}

TEST(DbgHttpLevel, NamesOfRecordLevels) {
    // From LOG2_CRIT (2) to one beyond LOG2_VERB.
    const char *want[] = {"error", "error", "warning", "warning",
                          "info",  "debug", "debug",   "unkown(9)"};
    for (int level = LOG2_CRIT; level <= LOG2_VERB + 1; level++)
        EXPECT_EQ(dbg_http_level_name(level), want[level - LOG2_CRIT]) << level;
}

TEST_F(DbgHttpText, LogGivesNewRecordsOnceThenAnEmptyArray) {
    ASSERT_EQ(http_log_init(), 0);
    LOG2(LOG2_WARN, "test", "marker \"quoted\"\n");
    std::string first = dbg_http_log_reply();
    EXPECT_EQ(first.rfind("[{\"log\":\"", 0), 0u) << first;
    EXPECT_NE(first.find("marker \\\"quoted\\\"\\n\",\"level\":\"warning\"}]"), std::string::npos)
        << first;
    EXPECT_EQ(dbg_http_log_reply(), "[]");
}

TEST_F(DbgHttpText, LogRepliesStayNearTheirLimitAndLoseNothing) {
    ASSERT_EQ(http_log_init(), 0);
    std::string pad(1000, 'p');
    for (int i = 0; i < 40; i++)
        LOG2(LOG2_INFO, "test", "%s %02d\n", pad.c_str(), i);
    std::string all;
    int replies = 0;
    for (std::string r = dbg_http_log_reply(); r != "[]"; r = dbg_http_log_reply()) {
        EXPECT_LT(r.size(), 16384u);
        all += r;
        ASSERT_LT(++replies, 10);
    }
    EXPECT_GT(replies, 1);
    for (int i = 0; i < 40; i++)
        EXPECT_NE(all.find(pal_format("p %02d\\n", i)), std::string::npos) << i;
}
