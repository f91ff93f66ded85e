// The bounded string layer at its edges: exact fit, one over, the count that cuts, no room at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ortavis_upgd_securec.h"

namespace {

TEST(Securec, StrncpyFitsCutsAndRefusesWithoutWritingPastTheField)
{
    const struct { const char *src; size_t destMax, count; int ret; const char *want; } rows[] = {
        {"abcd", 5, 4, 0, "abcd"},     // exact fit: four characters and the terminator
        {"abcde", 5, 5, ERANGE, ""},   // one over
        {"abcdef", 5, 4, 0, "abcd"},   // count one less than the field: cut to the field
        {"ab", 5, 100, 0, "ab"},       // count above the text
    };
    for (const auto &r : rows) {
        char buf[8];
        std::memset(buf, 'X', sizeof(buf));
        EXPECT_EQ(strncpy_s(buf, r.destMax, r.src, r.count), r.ret) << r.src << " " << r.destMax;
        EXPECT_STREQ(buf, r.want) << r.src << " " << r.destMax;
        EXPECT_EQ(buf[r.destMax], 'X') << "wrote past the destination";
    }
}

TEST(Securec, StrncatAppendsToAnExactFitAndKeepsWhatWasBuiltOnFailure)
{
    char buf[8] = "ab";
    EXPECT_EQ(strncat_s(buf, 8, "cdXYZ", 2), 0);   // the count cuts the text
    EXPECT_EQ(strncat_s(buf, 8, "efg", 3), 0);     // exact fit: 7 characters
    EXPECT_EQ(strncat_s(buf, 8, "h", 1), ERANGE);
    EXPECT_STREQ(buf, "abcdefg");
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strncat_s(unterminated, 4, "x", 1), EINVAL);
    EXPECT_EQ(std::string(unterminated, 4), "abcd");
}

TEST(Securec, SnprintfAndMemsetStayInsideTheDestinationAndNoRoomIsRefused)
{
    char buf[8];
    std::memset(buf, 'X', sizeof(buf));
    EXPECT_EQ(snprintf_s(buf, 5, 4, "%d", 1234), 4);   // exact fit
    EXPECT_STREQ(buf, "1234");
    EXPECT_EQ(snprintf_s(buf, 5, 5, "%d", 12345), -1);   // a count of the whole size leaves room for the NUL
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(buf[5], 'X');
    EXPECT_EQ(snprintf_s(buf, 8, 3, "%s", "abcd"), -1);   // the count bounds it below the size
    EXPECT_EQ(memset_s(buf, 4, 'b', 5), ERANGE);          // a count over the size fills the size only
    EXPECT_EQ(std::string(buf, 6), std::string("bbbb\0X", 6));
    std::memcpy(buf, "xyz", 4);
    EXPECT_EQ(strncpy_s(nullptr, 4, "a", 1), EINVAL);
    EXPECT_EQ(strncpy_s(buf, kSecurecMaxLen + 1, "a", 1), EINVAL);
    EXPECT_EQ(memset_s(buf, 0, 0, 0), EINVAL);
    EXPECT_EQ(strncat_s(buf, 0, "a", 1), EINVAL);
    EXPECT_LT(snprintf_s(buf, 0, 3, "%s", "a"), 0);
    EXPECT_STREQ(buf, "xyz");
}

}  // namespace
