// conf_test.cpp - the store on real files: save round trips with comments, changes,
// merge, renames, the dump, the driver registry and the file-name match.
#include "conf.h"
#include "conf_internal.h"

#include <gtest/gtest.h>

#include <string>

#include "conf_test_util.h"

namespace {
const std::string BOM = "\xEF\xBB\xBF";
}  // namespace

using ConfFile = ConfTest;

TEST_F(ConfFile, SaveKeepsCommentsAndChangesLandInTheirSections) {
    std::string file = write("a.ini", "; header comment\n\n[nvtd]\n; port comment\n"
                                      "port = 21   ; inline\nname = \"my server\"\n\n"
                                      "[login]\r\nuser=bob\n; trailing comment   \n\n");
    const std::string saved = BOM +
                              "; header comment\n\n[nvtd]\n; port comment\nport=21\n"
                              "name=my server\n\n[login]\nuser=bob\n; trailing comment\n\n";
    for (int round = 0; round < 2; round++) {  // a second round changes nothing
        conf_ptr h = load_file(file);
        ASSERT_TRUE(h);
        ASSERT_EQ(conf_save(h.get()), 0);
        EXPECT_EQ(read(file), saved) << "round " << round;
    }
    conf_ptr h = load_file(file);
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
    conf_ptr h = load_text("[s]\n");
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

// Keys before the first section keep an empty section part; a store without any section
// saves its full keys.
TEST_F(ConfFile, KeysOutsideSectionsSurviveSave) {
    const char *const cases[][4] = {  // input, saved text, name, value after reload
        {"; about\ntop = 1\n[s]\nk=2\n", "; about\ntop=1\n[s]\nk=2\n\n", ":top", "1"},
        {"# gone\na = 1\nb=two words\n", "\ta = 1\n\tb = two words\n", ":b", "two words"}};
    for (const auto &[input, saved, name, value] : cases) {
        std::string file = write("k.ini", input);
        conf_ptr h = load_file(file);
        ASSERT_TRUE(h);
        ASSERT_EQ(conf_save(h.get()), 0);
        EXPECT_EQ(read(file), BOM + saved);
        conf_ptr again = load_file(file);
        ASSERT_TRUE(again);
        EXPECT_STREQ(conf_get_key_string(again.get(), name, ""), value);
    }
}

TEST_F(ConfFile, LoadPicksDriverByNameAndSaveFailures) {
    write("upper.INI", "[s]\nk=v\n");
    write("plain.txt", "[s]\nk=v\n");
    EXPECT_TRUE(load_file(path("upper.INI")));
    EXPECT_FALSE(load_file(path("plain.txt")));
    EXPECT_FALSE(load_file(path("missing.ini")));
    EXPECT_FALSE(std::filesystem::exists(path("missing.ini")));  // never created
    EXPECT_FALSE(conf_ptr(conf_load(nullptr)));

    conf_ptr text = load_text("[s]\nk=v\n");
    ASSERT_TRUE(text);
    EXPECT_EQ(conf_save(text.get()), -1);  // no file behind it
    std::string file = write("gone.ini", "[s]\nk=v\n");
    conf_ptr h = load_file(file);
    ASSERT_TRUE(h);
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);  // the name is now a directory
    EXPECT_EQ(conf_save(h.get()), -1);
    EXPECT_TRUE(logged(7, "fopen [" + file + "] err: "));
}

TEST(ConfNameMatch, WildcardsAlternativesAndEscapes) {
    const char *ini = "*.ini|*.nvi|*.inf|*.cfg";
    const std::string many_a(5000, 'a');
    const std::tuple<const char *, const char *, bool> cases[] = {
        {"nvtd.ini", ini, true}, {"/etc/dir.d/X.CFG", ini, true}, {".inf", ini, true},
        {"nvtd.ini.bak", ini, false}, {"nvtd.in", ini, false}, {"a1c", "a?c", true},
        {"ac", "a?c", false}, {"a*c", "a\\*c", true}, {"abc", "a\\*c", false},
        {"a|b", "x|a\\|b", true}, {many_a.c_str(), "*a*a*a*a*a*a*b|*", true},
        {many_a.c_str(), "*a*a*a*a*a*a*b", false}};
    for (const auto &[name, pattern, want] : cases)
        EXPECT_EQ(conf_name_match(name, pattern), want) << pattern << " on " << name;
}

TEST_F(ConfFile, DeleteRenameAndDump) {
    conf_ptr h = load_text("; c\n[a]\nx = 1\n[ab]\nx=2\n[b]\ny=3\n[t]\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_rename_section(h.get(), "a", "b"), -1);
    EXPECT_EQ(conf_rename_section(h.get(), "a", "c"), 0);
    EXPECT_STREQ(conf_get_key_string(h.get(), "c:x", ""), "1");
    EXPECT_STREQ(conf_get_key_string(h.get(), "ab:x", ""), "2");
    EXPECT_EQ(conf_rename_section(h.get(), "a", "d"), -2);

    EXPECT_EQ(conf_rename_key(h.get(), "c", "x", "z"), 0);
    EXPECT_TRUE(logged(4, "noimpl\n"));
    EXPECT_STREQ(conf_get_key_string(h.get(), "c:x", ""), "1");
    // The dump writes INI text without the byte-order mark.
    EXPECT_EQ(dump_of(h.get()), "; c\n[c]\nx=1\n\n[ab]\nx=2\n\n[b]\ny=3\n\n[t]\n\n");

    EXPECT_EQ(conf_del_key(h.get(), "c", "x"), 0);
    EXPECT_EQ(conf_del_key(h.get(), "c", "x"), -1);
    EXPECT_EQ(conf_del_section(h.get(), "ab"), 0);
    EXPECT_EQ(conf_del_section(h.get(), "ab"), -2);
    EXPECT_EQ(conf_list_sections(h.get()), (std::vector<std::string>{"c", "b", "t"}));
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

// A store kind of its own for "*.fake" files whose every lookup answers "fake"; the
// entries the test never reaches are the INI driver's.
const conf_driver fake_driver = [] {
    conf_driver d = ini_conf_driver;
    d.kind = 1;
    d.match = [](const char *file) -> int { return conf_name_match(file, "*.fake"); };
    d.open = [](const char *, int) -> void * { return new int(1); };
    d.close = [](void *ctx) { delete static_cast<int *>(ctx); };
    d.get = [](void *, const char *, const char *, const char *) { return "fake"; };
    return d;
}();

TEST_F(ConfFile, RegistryHasFourSlots) {
    load_text("");  // the INI driver takes the first slot
    conf_driver partial = fake_driver;
    partial.save = nullptr;
    EXPECT_EQ(conf_add_driver(&partial), -1);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(conf_add_driver(&fake_driver), 0) << i;
    EXPECT_EQ(conf_add_driver(&fake_driver), -1);
    conf_ptr fake = load_file(path("x.fake"));
    ASSERT_TRUE(fake);
    EXPECT_STREQ(conf_get_string(fake.get(), "s", "k", "d"), "fake");
    // Text still goes to the INI driver, the first of kind 0.
    conf_ptr text = load_text("[s]\nk=ini\n");
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
        conf_ptr h = load_file(file);
        ASSERT_TRUE(h);
        for (size_t i = 0; i < std::size(values); i++)
            ASSERT_EQ(conf_set_string(h.get(), "nvtd", ("k" + std::to_string(i)).c_str(),
                                      values[i]), 0);
        ASSERT_EQ(conf_save(h.get()), 0);
    }
    conf_ptr h = load_file(file);
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_string(h.get(), "nvtd", "plain", ""), "1");
    // The last value holds both quote characters and a ';': no INI form keeps it whole.
    for (size_t i = 0; i + 1 < std::size(values); i++)
        EXPECT_STREQ(conf_get_string(h.get(), "nvtd", ("k" + std::to_string(i)).c_str(), "?"),
                     values[i]) << i;
}
