// sh_exec_test.cpp - running lines: splitting, assignments, aliases, repeats, unknown
// commands, argument rules, bad input and use from several threads.
#include "sh_test_util.h"

#include <thread>
#include <vector>

using namespace std::string_literals;

static const std::string not_found(const std::string &name) {
    return "command not found: [" + name + "]\nType `help` to learn how to use prompt\n"s + '\0';
}

TEST_F(ShellTest, AssignmentTakesTheRestOfTheLineAsValue) {
    sh_result r = sh_run("shtest_a=b c");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "");  // an assignment prints nothing, not even the end of a reply
    std::string value;
    ASSERT_TRUE(libsh_env_get("shtest_a", &value));
    EXPECT_EQ(value, "b c");
}

TEST_F(ShellTest, AssignmentFormsThatAreCommands) {
    sh_result r = sh_run("shx b=c");
    EXPECT_EQ(r.rc, -12);
    EXPECT_EQ(r.text, not_found("shx"));
    // "a" is the default alias of alias: the line defines the alias b.
    EXPECT_EQ(sh_run("a shb=c").rc, 0);
    std::string value;
    EXPECT_TRUE(libsh_alias_get("shb", &value));
    EXPECT_EQ(value, "c");
    EXPECT_EQ(sh_run("a==b").text, not_found("a==b"));
    EXPECT_EQ(sh_run("=b").text, not_found("=b"));
}

TEST_F(ShellTest, EmptyLineRepeatsTheLastLine) {
    EXPECT_EQ(sh_run("echo again").text, "again\n"s + '\0');
    EXPECT_EQ(libsh_last_cmd(), "echo again");
    sh_result r = sh_run("   ");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "again\n"s + '\0');
}

TEST_F(ShellTest, EmptyLineAfterUnknownCommandOnlyEndsTheReply) {
    EXPECT_EQ(sh_run("nosuch").rc, -12);
    EXPECT_EQ(libsh_last_cmd(), "");
    sh_result r = sh_run("");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "\0"s);
}

TEST_F(ShellTest, QuotesProtectSemicolons) {
    EXPECT_EQ(sh_run("echo 'x;y'").text, "'x;y'\n"s + '\0');
    EXPECT_EQ(sh_run("echo \"x;y\"").text, "x;y\n"s + '\0');
}

TEST_F(ShellTest, OddQuoteCountRunsNothing) {
    (void)sh_run("echo before");
    sh_result r = sh_run("echo it's; echo x");
    EXPECT_LT(r.rc, 0);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(libsh_last_cmd(), "");
}

TEST_F(ShellTest, CommandsRunInOrderWithOneFlushEach) {
    sh_result r = sh_run("echo one; echo two;;echo three");
    EXPECT_EQ(r.text, "one\n\0two\n\0three\n\0"s);
}

TEST_F(ShellTest, UnknownCommandStopsTheLine) {
    sh_result r = sh_run("nosuch; echo after");
    EXPECT_EQ(r.rc, -12);
    EXPECT_EQ(r.text, not_found("nosuch"));
}

TEST_F(ShellTest, NegativeResultStopsTheLine) {
    sh_result r = sh_run("unset; echo after");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.text, "unsetenv: Too few arguments\n"s + '\0');
}

TEST_F(ShellTest, CommentBeforeSemicolonIsSkipped) {
    EXPECT_EQ(sh_run("# a comment; echo runs").text, "runs\n"s + '\0');
    EXPECT_EQ(sh_run("#only").text, "");
}

TEST_F(ShellTest, DefaultAliasesRunTheirCommands) {
    sh_result r = sh_run("si; sm");
    EXPECT_EQ(r.rc, 0);
    size_t end = r.text.find('\0');
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(r.text.rfind("ver=", 0), 0u) << r.text;
    EXPECT_NE(r.text.find("heap_in_use=", end), std::string::npos) << r.text;
}

TEST_F(ShellTest, AliasExpandsOnceOnly) {
    EXPECT_EQ(sh_run("alias shloop=shloop").rc, 0);
    EXPECT_EQ(sh_run("shloop x").text, not_found("shloop"));
    EXPECT_EQ(sh_run("alias shtwo=si").rc, 0);  // si is itself an alias: not expanded again
    EXPECT_EQ(sh_run("shtwo").text, not_found("si"));
    // Single quotes are ordinary characters in arguments: the value is "'echo".
    EXPECT_EQ(sh_run("alias shsq='echo pre'").text, "pre' not found\n"s + '\0');
    EXPECT_EQ(sh_run("alias shecho=\"echo pre\"").rc, 0);
    EXPECT_EQ(sh_run("shecho post").text, "pre post\n"s + '\0');
}

TEST(ShellSplit, SemicolonSplitKeepsQuotesAndDropsEmptyPieces) {
    std::vector<std::string> out;
    EXPECT_EQ(str_split_esape("a;'b;c';\"d;e\";;", ";", &out), 3);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "'b;c'", "\"d;e\""}));
    // One flag for both kinds: a single quote inside double quotes ends "inside".
    EXPECT_EQ(str_split_esape("\"x';y'\"", ";", &out), 2);
    EXPECT_EQ(str_split_esape("a'b", ";", &out), -1);
}

TEST(ShellSplit, ArgumentsFollowTheWindowsRules) {
    using v = std::vector<std::string>;
    EXPECT_EQ(libsh_split_args("cmd a\\\\\"b c\" d"), (v{"cmd", "a\\b c", "d"}));
    EXPECT_EQ(libsh_split_args("cmd a\\\"b"), (v{"cmd", "a\"b"}));
    EXPECT_EQ(libsh_split_args("cmd a\\\\\\\"b"), (v{"cmd", "a\\\"b"}));
    EXPECT_EQ(libsh_split_args("cmd a\\b\\\\c"), (v{"cmd", "a\\b\\\\c"}));
    EXPECT_EQ(libsh_split_args("cmd \"a \"\"q\"\" b\""), (v{"cmd", "a \"q\" b"}));
    EXPECT_EQ(libsh_split_args("cmd 'a b'"), (v{"cmd", "'a", "b'"}));
    EXPECT_EQ(libsh_split_args("\"c\\\\md x\" y"), (v{"c\\\\md x", "y"}));
    EXPECT_EQ(libsh_split_args("cmd \"\" \t x"), (v{"cmd", "", "x"}));
}

TEST(ShellText, TimeSpans) {
    EXPECT_EQ(libsh_time_span(3725.5), "1 hour 2 minutes");
    EXPECT_EQ(libsh_time_span(59.5), "59.500 seconds");
    EXPECT_EQ(libsh_time_span(1.0), "1.000 second");
    EXPECT_EQ(libsh_time_span(2 * 86400 + 60), "2 days 1 minute");
    EXPECT_EQ(libsh_time_span(86400 + 7200 + 5), "1 day 2 hours 5.000 seconds");
}

TEST(ShellText, QuotedValues) {
    EXPECT_EQ(libsh_quote(""), "''");
    EXPECT_EQ(libsh_quote("a b"), "'a b'");
    EXPECT_EQ(libsh_quote("a;b"), "'a;b'");
    EXPECT_EQ(libsh_quote("'a b'"), "'a b'");
    EXPECT_EQ(libsh_quote("ab"), "ab");
}

TEST_F(ShellTest, OverlongLineIsCut) {
    std::string line = "echo " + std::string(100000, 'x');
    sh_result r = sh_run(line);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "echo "s.substr(0, 0) + std::string(4095 - 5, 'x') + "\n" + '\0');
}

TEST_F(ShellTest, HighBytesAreKeptAndNotTrimmed) {
    sh_result r = sh_run("echo \xe4\xb8\xad\xa0");
    EXPECT_EQ(r.text, "\xe4\xb8\xad\xa0\n"s + '\0');
}

TEST_F(ShellTest, ManySemicolonsAndNestedQuotes) {
    EXPECT_EQ(sh_run(std::string(10000, ';')).text, "");
    std::string quotes = "echo " + std::string(1000, '"') + "x" + std::string(1000, '"');
    sh_result r = sh_run(quotes);
    EXPECT_EQ(r.rc, 0);
    // Inside quotes each doubled quote is one literal quote: 499 of them on either side.
    EXPECT_EQ(r.text, std::string(499, '"') + "x" + std::string(499, '"') + "\n" + '\0');
}

TEST_F(ShellTest, AliasesAndAssignmentsFromSeveralThreads) {
    constexpr int threads = 4, rounds = 300;
    std::vector<std::thread> pool;
    std::vector<int> bad(threads, 0);
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([t, &bad] {
            std::string name = "shthr" + std::to_string(t);
            for (int i = 0; i < rounds; i++) {
                std::string value = std::to_string(i);
                sh_result a = sh_run("alias " + name + "=\"echo " + value + "\"");
                sh_result v = sh_run(name + "_v=" + value);
                sh_result e = sh_run(name);
                std::string got;
                if (a.rc != 0 || v.rc != 0 || e.text != value + "\n" + '\0' ||
                    !libsh_env_get(name + "_v", &got) || got != value)
                    bad[t]++;
                (void)sh_run("unalias " + name);
                if (i % 50 == 0 && sh_run("show memory").text.find("heap_in_use=") ==
                                       std::string::npos)
                    bad[t]++;  // sessions on several threads ask for memory figures at once
            }
        });
    }
    for (std::thread &th : pool)
        th.join();
    for (int t = 0; t < threads; t++)
        EXPECT_EQ(bad[t], 0) << "thread " << t;
}
