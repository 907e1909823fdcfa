// dictionary_test.cpp - hashing, slot order, growth and section renames of the dictionary.
#include "dictionary.h"

#include <gtest/gtest.h>

#include <string>

#include "conf_test_util.h"

using DictionaryTest = ConfTest;

TEST(Dictionary, HashIsJenkinsOneAtATimeOverSignedBytes) {
    EXPECT_EQ(dictionary_hash("a"), 0xca2e9442u);
    EXPECT_EQ(dictionary_hash("The quick brown fox jumps over the lazy dog"), 0x519e91f5u);
    // High bytes count as negative numbers: the unsigned variant would give 0x39ffabdd.
    EXPECT_EQ(dictionary_hash("\xe9t\xc3"), 0x8d421d23u);
    EXPECT_EQ(dictionary_hash(""), 0u);
}

TEST(Dictionary, NewEntryTakesFirstFreeSlotFromCountAndWrapsAround) {
    auto d = dictionary_new();
    for (const char *k : {"a", "b", "c", "d"})
        ASSERT_EQ(dictionary_set(d.get(), k, "v", nullptr), 0);
    ASSERT_EQ(dictionary_unset(d.get(), "a"), 0);  // slot 0 free, count 3
    ASSERT_EQ(dictionary_set(d.get(), "e", "v", nullptr), 0);
    // Slot 3 (= count) is taken by d, so e goes to slot 4 and slot 0 stays free.
    EXPECT_EQ(dictionary_find(d.get(), "e"), 4);
    EXPECT_FALSE(d->slots[0].key);
    ASSERT_EQ(dictionary_unset(d.get(), "b"), 0);
    ASSERT_EQ(dictionary_unset(d.get(), "c"), 0);  // count 2: slot 2 is free
    ASSERT_EQ(dictionary_set(d.get(), "f", "v", nullptr), 0);
    EXPECT_EQ(dictionary_find(d.get(), "f"), 2);
    EXPECT_EQ(dictionary_unset(d.get(), "missing"), -1);

    // In a full table of four the search for a free slot wraps around to slot 0.
    auto full = dictionary_new(4);
    for (const char *k : {"a", "b", "c", "d"})
        ASSERT_EQ(dictionary_set(full.get(), k, "v", nullptr), 0);
    ASSERT_EQ(dictionary_unset(full.get(), "a"), 0);
    ASSERT_EQ(dictionary_set(full.get(), "e", "v", nullptr), 0);
    EXPECT_EQ(dictionary_find(full.get(), "e"), 0);
}

TEST(Dictionary, GrowthKeepsReturnedTextAndFailedGrowthFailsTheInsertion) {
    auto d = dictionary_new();
    ASSERT_EQ(dictionary_set(d.get(), "first", "x", nullptr), 0);
    const char *first = dictionary_get(d.get(), "first", nullptr);
    for (int i = 0; i < 1000; i++) {
        std::string k = "k" + std::to_string(i);
        ASSERT_EQ(dictionary_set(d.get(), k, k.c_str(), nullptr), 0);
    }
    EXPECT_EQ(d->slots.size(), 1024u);
    EXPECT_EQ(d->n, 1001);
    EXPECT_EQ(first, dictionary_get(d.get(), "first", nullptr));
    EXPECT_STREQ(first, "x");
    EXPECT_STREQ(dictionary_get(d.get(), "k999", nullptr), "k999");
    EXPECT_EQ(dictionary_find(d.get(), "k999"), 1000);

    auto capped = dictionary_new(2);
    capped->max_size = 2;
    ASSERT_EQ(dictionary_set(capped.get(), "a", "1", nullptr), 0);
    ASSERT_EQ(dictionary_set(capped.get(), "b", "2", nullptr), 0);
    EXPECT_EQ(dictionary_set(capped.get(), "c", "3", nullptr), -1);
    EXPECT_EQ(dictionary_set(capped.get(), "a", "9", nullptr), 0);  // replacing needs no room
    EXPECT_STREQ(dictionary_get(capped.get(), "a", nullptr), "9");
}

TEST(Dictionary, ReplacingKeepsTheFirstCommentAndNamesAreCutTo1024Bytes) {
    auto d = dictionary_new();
    ASSERT_EQ(dictionary_set(d.get(), "s\tk", "1", "# one\n"), 0);
    ASSERT_EQ(dictionary_set(d.get(), "s\tk", "2", "# two\n"), 0);
    const dict_slot &s = d->slots[static_cast<size_t>(dictionary_find(d.get(), "s\tk"))];
    EXPECT_EQ(*s.val, "2");
    EXPECT_EQ(*s.comment, "# one\n");
    EXPECT_EQ(d->n, 1);

    std::string long_key(5000, 'k');
    ASSERT_EQ(dictionary_set(d.get(), long_key, "v", nullptr), 0);
    EXPECT_EQ(d->slots[static_cast<size_t>(dictionary_find(d.get(), long_key))].key->size(),
              1024u);
    // Any name with the same first 1024 bytes is the same entry.
    EXPECT_STREQ(dictionary_get(d.get(), std::string(1024, 'k') + "tail", nullptr), "v");
    EXPECT_EQ(dictionary_get(d.get(), std::string(1023, 'k'), nullptr), nullptr);
    EXPECT_EQ(dictionary_unset(d.get(), long_key + "x"), 0);
    EXPECT_EQ(d->n, 1);
}

TEST_F(DictionaryTest, RenameMovesSectionAndItsKeysOnly) {
    auto d = dictionary_new();
    for (const char *k : {"a", "a\tx", "ab", "ab\tx", "b", "b\ty"})
        ASSERT_EQ(dictionary_set(d.get(), k, "v", nullptr), 0);
    EXPECT_EQ(dictionary_secrename(d.get(), "a", "z"), 0);
    EXPECT_EQ(dictionary_find(d.get(), "z"), 0);  // renamed entries keep their slots
    EXPECT_GE(dictionary_find(d.get(), "z\tx"), 0);
    EXPECT_GE(dictionary_find(d.get(), "ab\tx"), 0);
    EXPECT_EQ(dictionary_find(d.get(), "a\tx"), -1);
    EXPECT_EQ(dictionary_find(d.get(), "zb\tx"), -1);

    EXPECT_EQ(dictionary_secrename(d.get(), "z", "b"), -1);
    EXPECT_TRUE(logged(3, "nsec=b exist error\n"));
    EXPECT_GE(dictionary_find(d.get(), "z\tx"), 0);
    EXPECT_EQ(dictionary_secrename(d.get(), "nothing", "new"), -2);
}
