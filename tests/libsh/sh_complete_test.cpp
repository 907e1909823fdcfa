// sh_complete_test.cpp - the shell's completion of command names, items and set values.
#include "sh_test_util.h"

static std::vector<std::string> names(const char *line) {
    sh_complete_list l;
    libsh_complete(line, &l);
    std::vector<std::string> out;
    for (const sh_completion &c : l.items)
        out.push_back(c.name);
    return out;
}

using v = std::vector<std::string>;

TEST_F(ShellTest, FirstWordOffersCommandsThenAliases) {
    sh_complete_list l;
    libsh_complete("se", &l);
    ASSERT_EQ(l.items.size(), 1u);
    EXPECT_EQ(l.items[0].name, "set");
    EXPECT_EQ(l.items[0].name_colour, 0x84);
    EXPECT_EQ(l.items[0].desc, "Set public options");
    libsh_complete("e", &l);
    ASSERT_GE(l.items.size(), 4u);
    EXPECT_EQ(l.items[0].name, "echo");
    EXPECT_EQ(l.items[0].name_colour, 0x84);  // row 8 of the table
    EXPECT_EQ(l.items[1].name, "env");
    EXPECT_EQ(l.items[1].name_colour, 0x87);
    EXPECT_EQ(l.items[2].name, "exit");
    EXPECT_EQ(l.items[0].desc_colour, 7);
    EXPECT_EQ(l.items[1].desc_colour, 8);
    EXPECT_EQ(l.items[3].name, "e");  // the alias of exit
}

TEST_F(ShellTest, ItemsAndSetValuesComplete) {
    EXPECT_EQ(names("show i"), (v{"info"}));
    EXPECT_EQ(names("s m"), (v{"memory"}));  // through the alias of show
    EXPECT_EQ(names("call t"), (v{"thread_except", "tlog"}));
    EXPECT_EQ(names("set log."), (v{"log.level", "log.dbgview"}));
    EXPECT_EQ(names("set log.level "), (v{"verb", "dbg", "info", "noti", "warn", "err", "crit"}));
    EXPECT_EQ(names("set log.level n"), (v{"noti"}));
    EXPECT_EQ(names("set log.dbgview 1"), (v{"1"}));
    EXPECT_EQ(names("pwd x"), v{});
    EXPECT_EQ(names("show info x"), v{});
}
