// dbg_page_test.cpp - the web console's built-in page and icon as the library holds them:
// one self-contained HTML document that the template expansion can carry whole, and a PNG.
#include "dbg_page.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>

namespace {
std::string page() { return dbg_builtin_page(); }

/// The names after every "$" that the server's template expansion would take as a
/// variable: letters, digits and underscores.
std::set<std::string> template_names(const std::string &text) {
    std::set<std::string> names;
    for (size_t i = text.find('$'); i != std::string::npos; i = text.find('$', i + 1)) {
        size_t end = i + 1;
        while (end < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
            end++;
        if (end > i + 1)
            names.insert(text.substr(i + 1, end - i - 1));
    }
    return names;
}

uint32_t be32(const unsigned char *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
} // namespace

TEST(DbgPage, IsOneHtmlDocument) {
    std::string p = page();
    EXPECT_EQ(p.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(p.find("</html>"), std::string::npos);
    EXPECT_NE(p.find("<script>"), std::string::npos);
    EXPECT_NE(p.find("<style>"), std::string::npos);
}

TEST(DbgPage, FitsTheTemplateExpansionWithRoomForTheValues) {
    // The expansion keeps at most 65536 bytes; the values need a few hundred more.
    EXPECT_LT(page().size(), 60000u);
}

TEST(DbgPage, NamesExactlyTheThreeTemplateVariables) {
    std::set<std::string> want = {"sh_psa", "title", "token_value"};
    EXPECT_EQ(template_names(page()), want);
}

TEST(DbgPage, TokenAndPromptComeFromHiddenInputs) {
    std::string p = page();
    EXPECT_NE(p.find("<title>$title</title>"), std::string::npos);
    EXPECT_NE(p.find("<input type=\"hidden\" id=\"token\" value=\"$token_value\">"),
              std::string::npos);
    EXPECT_NE(p.find("value=\"$sh_psa\""), std::string::npos);
}

TEST(DbgPage, LoadsNothingFromOtherSites) {
    std::string p = page();
    EXPECT_EQ(p.find("http://"), std::string::npos);
    EXPECT_EQ(p.find("https://"), std::string::npos);
    EXPECT_EQ(p.find("src=\"//"), std::string::npos);
    EXPECT_EQ(p.find("href=\"//"), std::string::npos);
}

TEST(DbgPage, IconIsAPngFromSignatureToEnd) {
    size_t len = 0;
    const unsigned char *icon = dbg_builtin_icon(&len);
    ASSERT_NE(icon, nullptr);
    ASSERT_GT(len, 8u + 25u + 12u);
    EXPECT_EQ(std::memcmp(icon, "\x89PNG\r\n\x1a\n", 8), 0);
    EXPECT_EQ(std::memcmp(icon + 12, "IHDR", 4), 0);
    EXPECT_EQ(be32(icon + 16), be32(icon + 20)); // square
    EXPECT_GE(be32(icon + 16), 16u);
    // Walk the chunks: the last one is IEND and ends exactly at len.
    size_t pos = 8;
    std::string last;
    while (pos + 12 <= len) {
        uint32_t n = be32(icon + pos);
        last.assign(reinterpret_cast<const char *>(icon + pos + 4), 4);
        pos += 12 + n;
    }
    EXPECT_EQ(pos, len);
    EXPECT_EQ(last, "IEND");
}
