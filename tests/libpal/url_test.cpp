// url_test.cpp - URL parts, query lookups, decoding and escaping, path joining and query
// editing, including overlong and odd input.
#include "pal_url.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pal.h"

namespace {
/// A parsed URL with its own buffer.
struct parsed {
    url_t u{};
    std::vector<char> buf = std::vector<char>(URL_BUF_SIZE, 'x');
    int rc;
    explicit parsed(const char *text) : rc(url_parser(&u, buf.data(), text)) {}
};

/// "scheme|user|passwd|host|port|path|query|fragment|url_get_port" of text, or "FAIL".
std::string parts(const char *text) {
    parsed p(text);
    if (p.rc != 0)
        return "FAIL";
    auto s = [](const char *v) { return v ? v : "<null>"; };
    const url_t &u = p.u;
    return pal_format("%s|%s|%s|%s|%d|%s|%s|%s|%d", s(u.scheme), s(u.user), s(u.passwd),
                      s(u.host), u.port, s(u.path), s(u.query), s(u.fragment),
                      url_get_port(&u));
}

std::vector<std::string> g_log;
int catch_log(int, const char *, const char *, int, const char *, const char *fmt, va_list ap) {
    g_log.push_back(pal_vformat(fmt, ap));
    return 0;
}

/// url_set_query on a copy of url; returns the result, or "FAIL" and the logged reason.
std::string set_query(const char *url, const char *key, const char *val, int mode) {
    std::vector<char> buf(URL_BUF_SIZE, '\0');
    pal_strlcpy(buf, url);
    g_log.clear();
    pal_set_log_hook(catch_log);
    int rc = url_set_query(buf.data(), key, val, 1, mode);
    pal_set_log_hook(nullptr);
    if (rc != 0)
        return "FAIL " + (g_log.empty() ? std::string() : g_log.back());
    return buf.data();
}
}  // namespace

TEST(UrlParser, AuthorityAndPlainForms) {
    const char *const cases[][2] = {
        {"tcp://[::1]:2121/x?a=1#f", "tcp|||::1|2121|/x|a=1|f|2121"},
        {"http://u:p@h", "http|u|p|h|0|/|||80"},
        // The first '@' ends the user information.
        {"http://h/a@b", "http|h/a||b|0|/|||80"},
        // A fragment only follows a query.
        {"http://h/p#frag", "http|||h|0|/p|||80"},
        {"///srv/p", "name|||srv|0|/p|||0"},
        // Blanks around the text go, the port wraps at 16 bits, '\' turns into '/'.
        {"  HTTPS://user@host:99999 /dir\\f ?? q=1&r=2#x#y  ",
         "HTTPS|user||host|34463|/dir/f |q=1&r=2|x#y|34463"},
        // An unclosed bracket: the host runs to the end.
        {"https://[fe80::1", "https|||fe80::1|0|/|||443"},
        // No digit after ':' gives port 0; the path starts where the digits would end.
        {"ftp://h:x/p", "ftp|||h|0|x/p|||0"},
        // Without "://" the text is a file path.
        {"C:\\dir\\f?x=1", "file||||0|C:/dir/f|x=1||0"},
    };
    for (const auto &[text, want] : cases)
        EXPECT_EQ(parts(text), want) << text;

    char path[4096];
    EXPECT_EQ(url_get_path("/srv/ftp?ro=1", path), 0);
    EXPECT_STREQ(path, "/srv/ftp");
    EXPECT_EQ(url_get_path("?only=query", path), -1);
    EXPECT_EQ(url_get_path("tcp://h", path), 0);
    EXPECT_STREQ(path, "/");
}

TEST(UrlParser, LongAndOddInputStaysInsideTheBuffer) {
    std::string big = "http://" + std::string(3000, 'u') + ":" + std::string(3000, 'p') + "@" +
                      std::string(3000, 'h') + "/" + std::string(9000, 'q');
    parsed a(big.c_str());
    ASSERT_EQ(a.rc, 0);
    // The input is cut at 8191 characters (2182 of the host's); the parts then fill the
    // buffer, so the host is cut again and the later parts stay empty but terminated.
    EXPECT_EQ(std::string(a.u.user).size(), 3000u);
    EXPECT_EQ(std::string(a.u.passwd).size(), 3000u);
    EXPECT_EQ(std::string(a.u.host).size(), 2181u);
    EXPECT_STREQ(a.u.path, "");
    EXPECT_EQ(a.u.fragment, a.buf.data() + URL_BUF_SIZE - 1);

    std::string odd;
    for (int c = 1; c < 256; c++)
        odd += static_cast<char>(c);
    // The last one has a scheme and a path both longer than the buffer.
    for (const std::string &s : {odd, "http://" + odd, "///" + odd + odd + odd, std::string(),
                                 "///" + std::string(8188, '/')}) {
        parsed p(s.c_str());
        EXPECT_EQ(p.rc, 0);
        EXPECT_LT(p.u.fragment + std::string(p.u.fragment).size(), p.buf.data() + URL_BUF_SIZE);
    }
    EXPECT_STREQ(parsed(("///" + std::string(8188, '/')).c_str()).u.fragment, "");
    url_t u{};
    char buf[URL_BUF_SIZE];
    EXPECT_EQ(url_parser(&u, buf, nullptr), -1);
    EXPECT_EQ(url_parser(nullptr, buf, "x"), -1);
}

TEST(UrlQuery, LookupDecodeAndEscape) {
    char out[256];
    auto raw = [&](const char *query, const char *key) {
        return str_query_get(query, key, out, sizeof out) == 0 ? std::string(out) : "<absent>";
    };
    EXPECT_EQ(raw(" a = 1 & b=%41+&flag&c=3", "b"), "%41+");
    EXPECT_EQ(raw("a=1&flag&c=3", "c"), "3");  // bare flag skipped
    EXPECT_EQ(raw("A=1", "a"), "<absent>");
    EXPECT_EQ(raw("a=1=2&a=3", "a"), "1=2");
    auto get = [&](const char *url, const char *key, const char *def) {
        url_get_query(url, key, def, out, sizeof out);
        return std::string(out);
    };
    EXPECT_EQ(get("tcp://h/p?name=a%20b%2fc&n=42&e=", "name", "def"), "a b/c");
    EXPECT_EQ(get("tcp://h/p?n=42", "missing", "def"), "def");
    EXPECT_EQ(get("k=v", "k", nullptr), "v");  // no '?': the whole text
    const char *q = "x?n=42&e=&neg=-3";
    EXPECT_EQ(url_get_query_int(q, "n", 7), 42);
    EXPECT_EQ(url_get_query_int(q, "e", 7), 7);
    EXPECT_EQ(url_get_query_int(q, "neg", 7), -3);
    EXPECT_EQ(url_get_query_int(q, "none", 7), 7);
    char tiny[5];
    url_get_query("x?k=abcdef", "k", "", tiny, 4);
    EXPECT_STREQ(tiny, "abc");

    EXPECT_EQ(url_decode("%41%6a+%zz%4z%", out, sizeof out), 6u);
    EXPECT_STREQ(out, "Aj+zzz");
    EXPECT_EQ(url_decode("100%", out, sizeof out), 3u);
    EXPECT_EQ(url_decode("abcdef", out, 4), 3u);
    EXPECT_STREQ(out, "abc");

    EXPECT_EQ(url_escape("a b#%&+;=?\x01\x7f\xc3\xa9/z", out, sizeof out), 40u);
    EXPECT_STREQ(out, "a%20b%23%25%26%2B%3B%3D%3F%01%7F%C3%A9/z");
    url_escape("ab cd", tiny, sizeof tiny);  // no half escape at the end
    EXPECT_STREQ(tiny, "ab");
    std::string all;
    for (int c = 1; c < 256; c++)
        all += static_cast<char>(c);
    char esc[1024], back[512];
    url_escape(all.c_str(), esc, sizeof esc);
    url_decode(esc, back, sizeof back);
    EXPECT_EQ(all, back);
}

TEST(UrlEdit, AddPath) {
    char url[URL_BUF_SIZE] = "file:///base?ro=1";
    url_add_path(url, "sub");
    EXPECT_STREQ(url, "file:///base/sub?ro=1");
    pal_strlcpy(url, "file:///base?ro=1");
    url_add_path(url, "/abs");
    EXPECT_STREQ(url, "file:///base/abs?ro=1");
    pal_strlcpy(url, "file:///base/");
    url_add_path(url, "x");
    EXPECT_STREQ(url, "file:///base/x");
    url_add_path(url, std::string(9000, 'p').c_str());
    EXPECT_EQ(std::string(url).size(), static_cast<size_t>(URL_BUF_SIZE - 1));
}

TEST(UrlEdit, SetQueryModesAndBadArguments) {
    EXPECT_EQ(set_query("a?x=1&y=2", "x", "3", URL_QUERY_SET_ALWAYS), "a?x=3&y=2");
    EXPECT_EQ(set_query("a?x=1&y=2", "x", "3", URL_QUERY_DEL_EXIST), "a?y=2");
    EXPECT_EQ(set_query("a?x=1&y=2", "z", "3", URL_QUERY_SET_EXIST), "a?x=1&y=2");
    EXPECT_EQ(set_query("a?x=1&y=2", "y", "3", URL_QUERY_SET_EXIST), "a?x=1&y=3");
    EXPECT_EQ(set_query("a?x=1&y=2", "x", "3", URL_QUERY_SET_NOT_EXIST), "a?x=1&y=2");
    EXPECT_EQ(set_query("a?x=1&y=2", "z", "a b&c", URL_QUERY_SET_NOT_EXIST),
              "a?x=1&y=2&z=a%20b%26c");
    EXPECT_EQ(set_query("a?x=1", "x", "", URL_QUERY_DEL_EXIST), "a");
    EXPECT_EQ(set_query("a", "z", "1", URL_QUERY_SET_ALWAYS), "a?z=1");
    EXPECT_EQ(set_query("a?", "z", "1", URL_QUERY_SET_ALWAYS), "a?z=1");
    EXPECT_EQ(set_query("a?", "z", "1", URL_QUERY_SET_EXIST), "a?");
    EXPECT_EQ(set_query("a", "z", "1", URL_QUERY_DEL_EXIST), "a");
    EXPECT_EQ(set_query("a?xx=1", "x", "2", URL_QUERY_SET_ALWAYS), "a?xx=1&x=2");

    const std::string fail = "FAIL url=[a] key=[";
    EXPECT_EQ(set_query("a?x=1", "x", "", URL_QUERY_SET_ALWAYS),
              "FAIL url=[a?x=1] key=[x] val=[] escape=[1] mode=[set_always] error: "
              "val cannot be empty\n");
    EXPECT_EQ(set_query("a", nullptr, "1", URL_QUERY_SET_EXIST),
              fail + "(null)] val=[1] escape=[1] mode=[set_exist] error: "
                     "key or val cannot be null\n");
    EXPECT_EQ(set_query("a", "", "1", URL_QUERY_DEL_EXIST),
              fail + "] val=[1] escape=[1] mode=[del_exist] error: key cannot be empty\n");
    EXPECT_EQ(set_query("a", "k&", "1", URL_QUERY_SET_NOT_EXIST),
              fail + "k&] val=[1] escape=[1] mode=[set_not_exist] error: "
                     "key cannot contain [;/\\\"'?:@# &=]\n");
    EXPECT_EQ(set_query("a", "k", "1", 9).substr(0, 4), "FAIL");
    std::string near(8185, 'u');  // the change would not fit the buffer
    EXPECT_EQ(set_query(near.c_str(), "key", "value", URL_QUERY_SET_ALWAYS).substr(0, 4), "FAIL");
}
