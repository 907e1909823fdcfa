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

std::vector<std::string> &log_lines() {
    static std::vector<std::string> l;
    return l;
}
int catch_log(int, const char *, const char *, int, const char *, const char *fmt, va_list ap) {
    log_lines().push_back(pal_vformat(fmt, ap));
    return 0;
}

/// url_set_query on a copy of url; returns the result, or "FAIL" and the logged reason.
std::string set_query(const char *url, const char *key, const char *val, int mode) {
    std::vector<char> buf(URL_BUF_SIZE, '\0');
    pal_strlcpy(buf, url);
    log_lines().clear();
    pal_set_log_hook(catch_log);
    int rc = url_set_query(buf.data(), key, val, 1, mode);
    pal_set_log_hook(nullptr);
    if (rc != 0) {
        return "FAIL " + (log_lines().empty() ? std::string() : log_lines().back());
    }
    return buf.data();
}
}  // namespace

TEST(UrlParser, AuthorityForms) {
    parsed a("tcp://[::1]:2121/x?a=1#f");
    ASSERT_EQ(a.rc, 0);
    EXPECT_STREQ(a.u.scheme, "tcp");
    EXPECT_STREQ(a.u.host, "::1");
    EXPECT_EQ(a.u.port, 2121);
    EXPECT_STREQ(a.u.path, "/x");
    EXPECT_STREQ(a.u.query, "a=1");
    EXPECT_STREQ(a.u.fragment, "f");

    parsed b("http://u:p@h");
    ASSERT_EQ(b.rc, 0);
    EXPECT_STREQ(b.u.user, "u");
    EXPECT_STREQ(b.u.passwd, "p");
    EXPECT_STREQ(b.u.host, "h");
    EXPECT_EQ(b.u.port, 0);
    EXPECT_STREQ(b.u.path, "/");
    EXPECT_EQ(url_get_port(&b.u), 80);

    parsed c("http://h/a@b");  // the first '@' ends the user information
    EXPECT_STREQ(c.u.user, "h/a");
    EXPECT_STREQ(c.u.host, "b");

    parsed d("http://h/p#frag");  // a fragment only follows a query
    EXPECT_STREQ(d.u.path, "/p");
    EXPECT_STREQ(d.u.query, "");
    EXPECT_STREQ(d.u.fragment, "");

    parsed e("///srv/p");
    EXPECT_STREQ(e.u.scheme, "name");
    EXPECT_STREQ(e.u.host, "srv");
    EXPECT_STREQ(e.u.path, "/p");

    parsed f("  HTTPS://user@host:99999 /dir\\f ?? q=1&r=2#x#y  ");
    EXPECT_STREQ(f.u.user, "user");
    EXPECT_STREQ(f.u.passwd, "");
    EXPECT_EQ(f.u.port, 99999 % 65536);
    EXPECT_STREQ(f.u.path, "/dir/f ");
    EXPECT_STREQ(f.u.query, "q=1&r=2");
    EXPECT_STREQ(f.u.fragment, "x#y");
    EXPECT_EQ(url_get_port(&f.u), 34463);
    parsed g("https://[fe80::1");  // unclosed bracket: the host runs to the end
    EXPECT_STREQ(g.u.host, "fe80::1");
    EXPECT_EQ(url_get_port(&g.u), 443);
    parsed h("ftp://h:x/p");
    EXPECT_EQ(h.u.port, 0);
    EXPECT_EQ(url_get_port(&h.u), 0);
}

TEST(UrlParser, PlainFormIsAFile) {
    parsed a("C:\\dir\\f?x=1");
    ASSERT_EQ(a.rc, 0);
    EXPECT_STREQ(a.u.scheme, "file");
    EXPECT_STREQ(a.u.path, "C:/dir/f");
    EXPECT_STREQ(a.u.query, "x=1");
    EXPECT_STREQ(a.u.host, "");
    EXPECT_EQ(a.u.port, 0);
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
    EXPECT_EQ(std::string(a.u.user).size(), 3000u);
    // The input is cut at 8191 characters (2182 of the host's); the parts then fill the
    // buffer, so the host is cut again and the later parts stay empty but terminated.
    EXPECT_EQ(std::string(a.u.passwd).size(), 3000u);
    EXPECT_EQ(std::string(a.u.host).size(), 2181u);
    EXPECT_STREQ(a.u.path, "");
    EXPECT_EQ(a.u.fragment, a.buf.data() + URL_BUF_SIZE - 1);

    std::string worst = "///" + std::string(8188, '/');  // scheme and path both longer
    parsed b(worst.c_str());
    ASSERT_EQ(b.rc, 0);
    EXPECT_LT(b.u.fragment, b.buf.data() + URL_BUF_SIZE);
    EXPECT_STREQ(b.u.fragment, "");

    std::string odd;
    for (int c = 1; c < 256; c++) {
        odd += static_cast<char>(c);
    }
    for (const std::string &s : {odd, "http://" + odd, "///" + odd + odd + odd, std::string()}) {
        parsed p(s.c_str());
        EXPECT_EQ(p.rc, 0);
        EXPECT_LT(p.u.fragment + std::string(p.u.fragment).size(), p.buf.data() + URL_BUF_SIZE);
    }
    url_t u{};
    char buf[URL_BUF_SIZE];
    EXPECT_EQ(url_parser(&u, buf, nullptr), -1);
    EXPECT_EQ(url_parser(nullptr, buf, "x"), -1);
}

TEST(UrlQuery, LookupDecodeAndDefaults) {
    char out[256];
    EXPECT_EQ(str_query_get(" a = 1 & b=%41+&flag&c=3", "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "%41+");
    EXPECT_EQ(str_query_get("a=1&flag&c=3", "c", out, sizeof out), 0);  // bare flag skipped
    EXPECT_STREQ(out, "3");
    EXPECT_EQ(str_query_get("A=1", "a", out, sizeof out), -1);
    EXPECT_EQ(str_query_get("a=1=2&a=3", "a", out, sizeof out), 0);
    EXPECT_STREQ(out, "1=2");

    url_get_query("tcp://h/p?name=a%20b%2fc&n=42&e=", "name", "def", out, sizeof out);
    EXPECT_STREQ(out, "a b/c");
    url_get_query("tcp://h/p?n=42", "missing", "def", out, sizeof out);
    EXPECT_STREQ(out, "def");
    url_get_query("k=v", "k", nullptr, out, sizeof out);  // no '?': the whole text
    EXPECT_STREQ(out, "v");
    EXPECT_EQ(url_get_query_int("x?n=42&e=&neg=-3", "n", 7), 42);
    EXPECT_EQ(url_get_query_int("x?n=42&e=&neg=-3", "e", 7), 7);
    EXPECT_EQ(url_get_query_int("x?n=42&e=&neg=-3", "neg", 7), -3);
    EXPECT_EQ(url_get_query_int("x?n=42", "none", 7), 7);
    char tiny[4];
    url_get_query("x?k=abcdef", "k", "", tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "abc");
}

TEST(UrlQuery, PercentDecodingRules) {
    char out[64];
    EXPECT_EQ(url_decode("%41%6a+%zz%4z%", out, sizeof out), 6u);
    EXPECT_STREQ(out, "Aj+zzz");
    EXPECT_EQ(url_decode("100%", out, sizeof out), 3u);
    EXPECT_EQ(url_decode("abcdef", out, 4), 3u);
    EXPECT_STREQ(out, "abc");
}

TEST(UrlQuery, EscapingAndRoundTrip) {
    char out[64];
    EXPECT_EQ(url_escape("a b#%&+;=?\x01\x7f\xc3\xa9/z", out, sizeof out), 40u);
    EXPECT_STREQ(out, "a%20b%23%25%26%2B%3B%3D%3F%01%7F%C3%A9/z");
    char small[5];
    url_escape("ab cd", small, sizeof small);  // no half escape at the end
    EXPECT_STREQ(small, "ab");
    std::string all;
    for (int c = 1; c < 256; c++) {
        all += static_cast<char>(c);
    }
    char esc[1024];
    char back[512];
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
    std::string lots(9000, 'p');
    url_add_path(url, lots.c_str());
    EXPECT_EQ(std::string(url).size(), static_cast<size_t>(URL_BUF_SIZE - 1));
}

TEST(UrlEdit, SetQueryModes) {
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
}

TEST(UrlEdit, SetQueryRejectsBadArguments) {
    EXPECT_EQ(set_query("a?x=1", "x", "", URL_QUERY_SET_ALWAYS),
              "FAIL url=[a?x=1] key=[x] val=[] escape=[1] mode=[set_always] error: "
              "val cannot be empty\n");
    EXPECT_EQ(set_query("a", nullptr, "1", URL_QUERY_SET_EXIST),
              "FAIL url=[a] key=[(null)] val=[1] escape=[1] mode=[set_exist] error: "
              "key or val cannot be null\n");
    EXPECT_EQ(set_query("a", "", "1", URL_QUERY_DEL_EXIST),
              "FAIL url=[a] key=[] val=[1] escape=[1] mode=[del_exist] error: "
              "key cannot be empty\n");
    EXPECT_EQ(set_query("a", "k&", "1", URL_QUERY_SET_NOT_EXIST),
              "FAIL url=[a] key=[k&] val=[1] escape=[1] mode=[set_not_exist] error: "
              "key cannot contain [;/\\\"'?:@# &=]\n");
    EXPECT_EQ(set_query("a", "k", "1", 9).substr(0, 4), "FAIL");
    std::string near(8185, 'u');
    EXPECT_EQ(set_query(near.c_str(), "key", "value", URL_QUERY_SET_ALWAYS).substr(0, 4), "FAIL");
}
