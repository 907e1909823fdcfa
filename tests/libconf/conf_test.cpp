// conf_test.cpp - the store on real files: save round trips with comments, changes,
// merge, renames, the dump, the driver registry and the file-name match.
#include "conf.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "conf_test_util.h"

namespace {
struct conf_deleter {
    void operator()(conf_handle *h) const { conf_free(h); }
};
using conf_ptr = std::unique_ptr<conf_handle, conf_deleter>;

const std::string BOM = "\xEF\xBB\xBF";
const std::string SAMPLE = "; header comment\n"
                           "\n"
                           "[nvtd]\n"
                           "; port comment\n"
                           "port = 21   ; inline\n"
                           "name = \"my server\"\n"
                           "\n"
                           "[login]\r\n"
                           "user=bob\n"
                           "; trailing comment   \n"
                           "\n";
}  // namespace

using ConfFile = ConfTest;

TEST_F(ConfFile, SaveKeepsCommentsAndAddsByteOrderMark) {
    std::string file = write("a.ini", SAMPLE);
    conf_ptr h(conf_load(file.c_str()));
    ASSERT_TRUE(h);
    ASSERT_EQ(conf_save(h.get()), 0);
    const std::string saved = BOM +
                              "; header comment\n\n[nvtd]\n; port comment\nport=21\n"
                              "name=my server\n\n[login]\nuser=bob\n; trailing comment\n\n";
    EXPECT_EQ(read(file), saved);
    // A second round changes nothing.
    conf_ptr again(conf_load(file.c_str()));
    ASSERT_TRUE(again);
    ASSERT_EQ(conf_save(again.get()), 0);
    EXPECT_EQ(read(file), saved);
}

TEST_F(ConfFile, ChangesLandInTheirSections) {
    std::string file = write("a.ini", SAMPLE);
    conf_ptr h(conf_load(file.c_str()));
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_set_key(h.get(), "login:passwd", "secret"), 0);
    EXPECT_EQ(conf_set_key(h.get(), "nvtd:port", "2121"), 0);
    EXPECT_EQ(conf_set_string(h.get(), "extra", "k", "v"), 0);
    EXPECT_EQ(conf_set_key(h.get(), "nosep", "v"), -1);
    EXPECT_EQ(conf_set_string(h.get(), "extra", "k", nullptr), -1);
    ASSERT_EQ(conf_save(h.get()), 0);
    EXPECT_EQ(read(file), BOM +
                              "; header comment\n\n[nvtd]\n; port comment\nport=2121\n"
                              "name=my server\n\n[login]\nuser=bob\npasswd=secret\n"
                              "\n[extra]\nk=v\n; trailing comment\n\n");
}

TEST_F(ConfFile, LongNamesAndValuesThroughTheInterface) {
    conf_ptr h(conf_load_str("[s]\n"));
    ASSERT_TRUE(h);
    std::string sec(2000, 'S');
    EXPECT_EQ(conf_set_string(h.get(), sec.c_str(), "k", "v"), -1);  // no room for the key
    std::string key(5000, 'k');
    std::string val(100000, 'v');
    ASSERT_EQ(conf_set_string(h.get(), "s", key.c_str(), val.c_str()), 0);
    EXPECT_EQ(conf_get_string(h.get(), "s", key.c_str(), ""), val);
    EXPECT_EQ(conf_list_keys(h.get(), "s")[0].size(), 1022u);  // "s" TAB key cut to 1024
    EXPECT_EQ(conf_get_key_string(h.get(), (sec + ":k").c_str(), "d"), std::string("d"));
}

TEST_F(ConfFile, KeysBeforeFirstSectionSurviveSave) {
    std::string file = write("top.ini", "; about\ntop = 1\n[s]\nk=2\n");
    conf_ptr h(conf_load(file.c_str()));
    ASSERT_TRUE(h);
    ASSERT_EQ(conf_save(h.get()), 0);
    EXPECT_EQ(read(file), BOM + "; about\ntop=1\n[s]\nk=2\n\n");
    conf_ptr again(conf_load(file.c_str()));
    ASSERT_TRUE(again);
    EXPECT_STREQ(conf_get_key_string(again.get(), ":top", ""), "1");
}

TEST_F(ConfFile, StoreWithoutSectionsSavesFullKeys) {
    std::string file = write("flat.ini", "# gone\na = 1\nb=two words\n");
    conf_ptr h(conf_load(file.c_str()));
    ASSERT_TRUE(h);
    ASSERT_EQ(conf_save(h.get()), 0);
    EXPECT_EQ(read(file), BOM + "\ta = 1\n\tb = two words\n");
    conf_ptr again(conf_load(file.c_str()));
    ASSERT_TRUE(again);
    EXPECT_STREQ(conf_get_key_string(again.get(), ":b", ""), "two words");
}

TEST_F(ConfFile, SaveFailuresReturnMinusOne) {
    conf_ptr text(conf_load_str("[s]\nk=v\n"));
    ASSERT_TRUE(text);
    EXPECT_EQ(conf_save(text.get()), -1);  // no file behind it

    std::string file = write("gone.ini", "[s]\nk=v\n");
    conf_ptr h(conf_load(file.c_str()));
    ASSERT_TRUE(h);
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);  // the name is now a directory
    EXPECT_EQ(conf_save(h.get()), -1);
    EXPECT_TRUE(logged(7, "fopen [" + file + "] err: "));
}

TEST_F(ConfFile, LoadPicksDriverByName) {
    write("upper.INI", "[s]\nk=v\n");
    write("plain.txt", "[s]\nk=v\n");
    EXPECT_TRUE(conf_ptr(conf_load(path("upper.INI").c_str())));
    EXPECT_FALSE(conf_ptr(conf_load(path("plain.txt").c_str())));
    EXPECT_FALSE(conf_ptr(conf_load(path("missing.ini").c_str())));
    EXPECT_FALSE(std::filesystem::exists(path("missing.ini")));  // never created
    EXPECT_FALSE(conf_ptr(conf_load(nullptr)));
}

TEST(ConfNameMatch, WildcardsAlternativesAndEscapes) {
    const char *pat = "*.ini|*.nvi|*.inf|*.cfg";
    EXPECT_TRUE(conf_name_match("nvtd.ini", pat));
    EXPECT_TRUE(conf_name_match("/etc/dir.d/X.CFG", pat));
    EXPECT_TRUE(conf_name_match(".inf", pat));
    EXPECT_FALSE(conf_name_match("nvtd.ini.bak", pat));
    EXPECT_FALSE(conf_name_match("nvtd.in", pat));
    EXPECT_TRUE(conf_name_match("a1c", "a?c"));
    EXPECT_FALSE(conf_name_match("ac", "a?c"));
    EXPECT_TRUE(conf_name_match("a*c", "a\\*c"));
    EXPECT_FALSE(conf_name_match("abc", "a\\*c"));
    EXPECT_TRUE(conf_name_match("a|b", "x|a\\|b"));
    EXPECT_TRUE(conf_name_match(std::string(5000, 'a').c_str(), "*a*a*a*a*a*a*b|*"));
    EXPECT_FALSE(conf_name_match(std::string(5000, 'a').c_str(), "*a*a*a*a*a*a*b"));
}

TEST_F(ConfFile, DumpWritesIniWithoutMark) {
    conf_ptr h(conf_load_str("; c\n[s]\nk = v\n[t]\n"));
    ASSERT_TRUE(h);
    ::testing::internal::CaptureStdout();
    conf_dump(h.get());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "; c\n[s]\nk=v\n\n[t]\n\n");
}

TEST_F(ConfFile, DeleteAndRename) {
    conf_ptr h(conf_load_str("[a]\nx=1\n[ab]\nx=2\n[b]\ny=3\n"));
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_rename_section(h.get(), "a", "b"), -1);
    EXPECT_EQ(conf_rename_section(h.get(), "a", "c"), 0);
    EXPECT_STREQ(conf_get_key_string(h.get(), "c:x", ""), "1");
    EXPECT_STREQ(conf_get_key_string(h.get(), "ab:x", ""), "2");
    EXPECT_EQ(conf_rename_section(h.get(), "a", "d"), -2);

    EXPECT_EQ(conf_rename_key(h.get(), "c", "x", "z"), 0);
    EXPECT_TRUE(logged(4, "noimpl\n"));
    EXPECT_STREQ(conf_get_key_string(h.get(), "c:x", ""), "1");

    EXPECT_EQ(conf_del_key(h.get(), "c", "x"), 0);
    EXPECT_EQ(conf_del_key(h.get(), "c", "x"), -1);
    EXPECT_EQ(conf_del_section(h.get(), "ab"), 0);
    EXPECT_EQ(conf_del_section(h.get(), "ab"), -2);
    EXPECT_EQ(conf_list_sections(h.get()), (std::vector<std::string>{"c", "b"}));
    EXPECT_STREQ(conf_get_key_string(h.get(), "b:y", ""), "3");
}

TEST_F(ConfFile, MergeCopiesSharedKeysOnly) {
    std::string dst = write("dst.ini", "; keep\n[s]\na=1\nb=2\n[t]\nc=3\n");
    std::string src = write("src.ini", "[s]\na=10\nnew=5\n[t]\nc=30\n[u]\nd=4\n");
    ASSERT_EQ(conf_merge(dst.c_str(), src.c_str()), 0);
    EXPECT_EQ(read(dst), BOM + "; keep\n[s]\na=10\nb=2\n\n[t]\nc=30\n\n");

    // Nothing shared: the destination is left untouched.
    std::string other = write("other.ini", "[z]\nq=1\n");
    ASSERT_EQ(conf_merge(other.c_str(), src.c_str()), 0);
    EXPECT_EQ(read(other), "[z]\nq=1\n");
    EXPECT_EQ(conf_merge(path("none.ini").c_str(), src.c_str()), -1);
}

namespace {
int fake_match(const char *file) { return conf_name_match(file, "*.fake"); }
void *fake_open(const char *, int) { return new int(1); }
void *fake_open_str(const char *) { return nullptr; }
void fake_close(void *ctx) { delete static_cast<int *>(ctx); }
const char *fake_get(void *, const char *, const char *, const char *) { return "fake"; }
int fake_set(void *, const char *, const char *, const char *) { return 0; }
std::vector<std::string> fake_sections(void *) { return {}; }
std::vector<std::string> fake_keys(void *, const char *) { return {}; }
int fake_del(void *, const char *) { return 0; }
int fake_del_key(void *, const char *, const char *) { return 0; }
int fake_rename(void *, const char *, const char *) { return 0; }
int fake_rename_key(void *, const char *, const char *, const char *) { return 0; }
void fake_dump(void *) {}
int fake_save(void *) { return 0; }
const conf_driver fake_driver = {
    .kind = 1, .match = fake_match, .open = fake_open, .open_str = fake_open_str,
    .close = fake_close, .get = fake_get, .set = fake_set, .list_sections = fake_sections,
    .list_keys = fake_keys, .del_section = fake_del, .del_key = fake_del_key,
    .rename_section = fake_rename, .rename_key = fake_rename_key, .dump = fake_dump,
    .save = fake_save,
};
}  // namespace

TEST_F(ConfFile, RegistryHasFourSlots) {
    conf_ptr(conf_load_str(""));  // the INI driver takes the first slot
    conf_driver partial = fake_driver;
    partial.save = nullptr;
    EXPECT_EQ(conf_add_driver(&partial), -1);
    EXPECT_EQ(conf_add_driver(&fake_driver), 0);
    EXPECT_EQ(conf_add_driver(&fake_driver), 0);
    EXPECT_EQ(conf_add_driver(&fake_driver), 0);
    EXPECT_EQ(conf_add_driver(&fake_driver), -1);
    conf_ptr fake(conf_load(path("x.fake").c_str()));
    ASSERT_TRUE(fake);
    EXPECT_STREQ(conf_get_string(fake.get(), "s", "k", "d"), "fake");
    // Text still goes to the INI driver, the first of kind 0.
    conf_ptr text(conf_load_str("[s]\nk=ini\n"));
    ASSERT_TRUE(text);
    EXPECT_STREQ(conf_get_string(text.get(), "s", "k", "d"), "ini");
}

// A save must not change what the next load reads: values that hold comment characters,
// surrounding blanks, leading quotes or a trailing backslash are written quoted.
TEST_F(ConfFile, SavedValuesLoadBackUnchanged) {
    std::string file = write("q.ini", "[nvtd]\nplain=1\n");
    const char *values[] = {"127.0.0.1;::1", "a#b", " lead", "trail ", "\"q\" x",
                            "'s' y", "ends\\", "it's \"both\"; kept?"};
    {
        conf_ptr h(conf_load(file.c_str()));
        ASSERT_TRUE(h);
        for (size_t i = 0; i < std::size(values); i++)
            ASSERT_EQ(conf_set_string(h.get(), "nvtd", ("k" + std::to_string(i)).c_str(),
                                      values[i]), 0);
        ASSERT_EQ(conf_save(h.get()), 0);
    }
    conf_ptr h(conf_load(file.c_str()));
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_string(h.get(), "nvtd", "plain", ""), "1");
    // The last value holds both quote characters and a ';': no INI form keeps it whole.
    for (size_t i = 0; i + 1 < std::size(values); i++)
        EXPECT_STREQ(conf_get_string(h.get(), "nvtd", ("k" + std::to_string(i)).c_str(), "?"),
                     values[i]) << i;
}
