#include <gtest/gtest.h>

#include <cstring>

#include "mosslib.h"

extern "C" const char *mosslib_c_version(void);

TEST(ExportFrame, VersionIsThreeNumbersAndReachableFromC) {
    const char *v = mosslib_version();
    int a = -1, b = -1, c = -1;
    ASSERT_EQ(std::sscanf(v, "%d.%d.%d", &a, &b, &c), 3) << v;
    EXPECT_STREQ(mosslib_c_version(), v);
}

TEST(ExportFrame, LastErrorStartsEmpty) { EXPECT_STREQ(mosslib_last_error(), ""); }
