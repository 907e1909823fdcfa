// ini_load_test.cpp - reading INI text: names, quoting, comments, continuation lines and
// the line limit, through the store's public interface.
#include <gtest/gtest.h>

#include <string>

#include "conf_test_util.h"

using IniLoad = ConfTest;

TEST_F(IniLoad, NamesAreCaseSensitiveAndTopKeysHaveNoSection) {
    auto h = load_text("top = 1\n[Server]\nPort = 2121\n");
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_key_string(h.get(), "Server:Port", "none"), "2121");
    EXPECT_STREQ(conf_get_key_string(h.get(), "server:port", "none"), "none");
    EXPECT_STREQ(conf_get_key_string(h.get(), "Server\tPort", "none"), "2121");
    EXPECT_EQ(conf_get_int(h.get(), "Server", "Port", 1), 2121);
    EXPECT_TRUE(conf_has_section(h.get(), "Server"));
    EXPECT_FALSE(conf_has_section(h.get(), "server"));
    EXPECT_STREQ(conf_get_key_string(h.get(), ":top", "none"), "1");
    EXPECT_STREQ(conf_get_key_string(h.get(), "Server:top", "none"), "none");
    EXPECT_EQ(conf_list_sections(h.get()), std::vector<std::string>{"Server"});
    EXPECT_EQ(conf_list_keys(h.get(), ""), std::vector<std::string>{"top"});
}

TEST_F(IniLoad, QuotingAndInlineComments) {
    auto h = load_text("[s]\ndq = \"a;b # c\" trailing\nsq = ' x '\nplain = a;b\n"
                       "hash = v # note\nempty2 = \"\"\nemptys = ''\nbare =\nsemi = ;comment\n"
                       "open = \"abc\nnokey\n=novalue\n");
    ASSERT_TRUE(h);
    const char *const want[][2] = {
        {"dq", "a;b # c"}, {"sq", " x "}, {"plain", "a"}, {"hash", "v"}, {"empty2", ""},
        {"emptys", ""}, {"bare", ""}, {"semi", ""},
        {"open", "abc"}};  // an unclosed quote runs to the line end
    for (const auto &[key, value] : want)
        EXPECT_STREQ(conf_get_string(h.get(), "s", key, "ABSENT"), value) << key;
    EXPECT_EQ(conf_list_keys(h.get(), "s").size(), 9u);
    EXPECT_TRUE(logged(7, "syntax error in (11):\n-> nokey\n"));
    EXPECT_TRUE(logged(7, "syntax error in (12):\n-> =novalue\n"));
}

// The number and size rules themselves are the platform layer's (pal_test, size_test).
TEST_F(IniLoad, IntegerAndSizeLookups) {
    auto h = load_text("[s]\nempty =\nneg = -12x\nbig = 99999999999\nm = 2M\nodd = 3q\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_get_key_int(h.get(), "s:empty", 7), 0);
    EXPECT_EQ(conf_get_key_int(h.get(), "s:missing", 7), 7);
    EXPECT_EQ(conf_get_key_int(h.get(), "nosep", 7), 7);
    EXPECT_EQ(conf_get_key_int(h.get(), "s:neg", 7), -12);
    EXPECT_EQ(conf_get_key_int(h.get(), "s:big", 7), INT32_MAX);
    EXPECT_EQ(conf_get_key_string(h.get(), "nosep", nullptr), nullptr);
    EXPECT_EQ(conf_get_key_string(nullptr, "s:empty", "d"), std::string("d"));
    EXPECT_EQ(conf_get_key_size(h.get(), "s:empty", 9), 0u);
    EXPECT_EQ(conf_get_key_size(h.get(), "s:missing", 9), 9u);
    EXPECT_EQ(conf_get_key_size(h.get(), "s:m", 9), 2097152u);
    EXPECT_EQ(conf_get_key_size(h.get(), "s:odd", 9), 0u);
}

TEST_F(IniLoad, ContinuationJoinsLinesWithinTheLimit) {
    auto h = load_text("[s]\nlist = a,\\\n  b,\\\nc\nnext = 1\ntail = end\\");
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_string(h.get(), "s", "list", ""), "a,  b,c");
    EXPECT_STREQ(conf_get_string(h.get(), "s", "next", ""), "1");
    // A backslash on the very last line still keeps the setting.
    EXPECT_STREQ(conf_get_string(h.get(), "s", "tail", ""), "end");
    EXPECT_TRUE(logged(7, "null_line_3\n"));

    // A continued line shares the limit of one line.
    std::string half = "[s]\nk=" + std::string(600, 'a') + "\\\n";
    EXPECT_FALSE(load_text(half + std::string(600, 'b') + "\n"));
    h = load_text(half + std::string(300, 'b') + "\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(std::string(conf_get_string(h.get(), "s", "k", "")).size(), 900u);
}

TEST_F(IniLoad, LineLimitIs1022BytesPlusLineFeed) {
    auto h = load_text("[s]\nk=" + std::string(1020, 'v') + "\nafter=1\n");  // 1022 + LF
    ASSERT_TRUE(h);
    EXPECT_EQ(std::string(conf_get_string(h.get(), "s", "k", "")).size(), 1020u);
    EXPECT_STREQ(conf_get_string(h.get(), "s", "after", ""), "1");

    EXPECT_FALSE(load_text("[s]\nk=" + std::string(1021, 'v') + "\nafter=1\n"));  // 1023 + LF
    EXPECT_TRUE(logged(3, "input line too long in (2): \n"));

    // A last line without line feed loads when the input ends inside the buffer...
    h = load_text("[s]\nk=" + std::string(1020, 'v'));
    ASSERT_TRUE(h);
    EXPECT_EQ(std::string(conf_get_string(h.get(), "s", "k", "")).size(), 1020u);
    // ...but not when it fills the buffer completely.
    EXPECT_FALSE(load_text("[s]\nk=" + std::string(1021, 'v')));
}

TEST_F(IniLoad, HugeBinaryAndMarkedInput) {
    std::string junk;
    for (int i = 0; i < 20000; i++) {
        junk += static_cast<char>((i * 131 + 7) % 256);
        if (i % 97 == 0)
            junk += "\n";
    }
    auto h = load_text(junk);  // may or may not load, but must not crash
    EXPECT_FALSE(load_text("[s]\n" + std::string(100000, 'x') + "\n"));
    EXPECT_FALSE(conf_ptr(conf_load_str(nullptr)));
    // A NUL byte ends the line's text instead of failing the load.
    h = load_file(write("nul.ini", std::string("[s]\nk=ab\0cd\nz=1\n", 16)));
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_string(h.get(), "s", "z", ""), "1");
    EXPECT_STREQ(conf_get_string(h.get(), "s", "k", ""), "ab");

    h = load_text("\xEF\xBB\xBF[s]\r\nk = v \r\n");
    ASSERT_TRUE(h);
    EXPECT_TRUE(conf_has_section(h.get(), "s"));
    EXPECT_STREQ(conf_get_string(h.get(), "s", "k", ""), "v");
    h = load_text("\xEF\xBB[s]\nk=v\n");  // not a mark: part of the first line
    ASSERT_TRUE(h);
    EXPECT_FALSE(conf_has_section(h.get(), "s"));
}

TEST_F(IniLoad, DuplicateSectionsMergeIntoOne) {
    auto h = load_text("; first\n[a]\nx=1\n[b]\ny=2\n; lost\n[a]\nz=3\nx=4\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_list_sections(h.get()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(conf_list_keys(h.get(), "a"), (std::vector<std::string>{"x", "z"}));
    EXPECT_STREQ(conf_get_string(h.get(), "a", "x", ""), "4");
    // The comment before the second header has no entry of its own left to keep it.
    EXPECT_EQ(dump_of(h.get()), "; first\n[a]\nx=4\nz=3\n\n[b]\ny=2\n\n");
}
