// Edges of the bounded string layer: exact fit, one over, the count that cuts
// a text to its field, zero sizes and null pointers.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ortavis_upgd_securec.h"

namespace {

TEST(Securec, StrncpyFitsCutsAndRefuses)
{
    struct Row {
        const char *src;
        size_t destMax;
        size_t count;
        int ret;
        const char *want;
    };
    const Row rows[] = {
        {"abcd", 5, 4, 0, "abcd"},          // exact fit: four characters and the terminator
        {"abcde", 5, 5, ERANGE, ""},        // one over
        {"abcdef", 5, 4, 0, "abcd"},        // count one less than the field: cut to the field
        {"abcdef", 5, 2, 0, "ab"},          // count below the text: at most count characters
        {"ab", 5, 100, 0, "ab"},            // count above the text
        {"", 1, 0, 0, ""},
        {"a", 1, 1, ERANGE, ""},
    };
    for (const auto &r : rows) {
        char buf[8];
        std::memset(buf, 'X', sizeof(buf));
        EXPECT_EQ(strncpy_s(buf, r.destMax, r.src, r.count), r.ret) << r.src << " " << r.destMax;
        EXPECT_STREQ(buf, r.want) << r.src << " " << r.destMax;
        EXPECT_EQ(buf[r.destMax], 'X') << "wrote past the destination";
    }
}

TEST(Securec, NullAndZeroSizesFailWithoutWriting)
{
    char buf[4] = {'x', 'y', 'z', '\0'};
    EXPECT_NE(strncpy_s(nullptr, 4, "a", 1), 0);
    EXPECT_NE(strncpy_s(buf, 0, "a", 1), 0);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_NE(strncpy_s(buf, kSecurecMaxLen + 1, "a", 1), 0);
    EXPECT_NE(strncpy_s(buf, 4, nullptr, 1), 0);
    EXPECT_STREQ(buf, "");

    EXPECT_NE(memset_s(nullptr, 4, 0, 4), 0);
    EXPECT_NE(memset_s(buf, 0, 0, 0), 0);
    EXPECT_NE(strncat_s(nullptr, 4, "a", 1), 0);
    EXPECT_NE(strncat_s(buf, 0, "a", 1), 0);
    EXPECT_LT(snprintf_s(nullptr, 4, 3, "%s", "a"), 0);
    EXPECT_LT(snprintf_s(buf, 0, 3, "%s", "a"), 0);
}

TEST(Securec, MemsetBoundedByDestination)
{
    char buf[6];
    std::memset(buf, 'X', sizeof(buf));
    EXPECT_EQ(memset_s(buf, 4, 'a', 4), 0);
    EXPECT_EQ(std::string(buf, 6), "aaaaXX");
    EXPECT_NE(memset_s(buf, 4, 'b', 5), 0);   // count over the size fills the size only
    EXPECT_EQ(std::string(buf, 6), "bbbbXX");
}

TEST(Securec, StrncatKeepsWhatWasBuiltOnFailure)
{
    char buf[8] = "abc";
    EXPECT_EQ(strncat_s(buf, 8, "defg", 4), 0);   // exact fit: 7 characters
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(strncat_s(buf, 8, "h", 1), ERANGE);  // one over
    EXPECT_STREQ(buf, "abcdefg");

    char cut[8] = "ab";
    EXPECT_EQ(strncat_s(cut, 8, "cdefghij", 3), 0);
    EXPECT_STREQ(cut, "abcde");

    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strncat_s(unterminated, 4, "x", 1), EINVAL);
    EXPECT_EQ(std::string(unterminated, 4), "abcd");
}

TEST(Securec, SnprintfFitsOrFails)
{
    char buf[8];
    std::memset(buf, 'X', sizeof(buf));
    EXPECT_EQ(snprintf_s(buf, 5, 4, "%d", 1234), 4);   // exact fit
    EXPECT_STREQ(buf, "1234");
    EXPECT_EQ(snprintf_s(buf, 5, 4, "%d", 12345), -1);  // one over
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(buf[5], 'X');
    EXPECT_EQ(snprintf_s(buf, 8, 3, "%s", "abcd"), -1); // count below the size bounds it
    EXPECT_EQ(snprintf_s(buf, 8, 100, "%s/%s", "ab", "cd"), 5);
    EXPECT_STREQ(buf, "ab/cd");
    EXPECT_EQ(snprintf_s(buf, 5, 4, "%s", "NULL"), 4);
}

}  // namespace
