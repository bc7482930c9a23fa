#include "platform/Path.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace zarv;

TEST(Path, ExpandsOnlyALeadingTildeAndStandardizes) {
    const QString home = QDir::homePath();
    EXPECT_EQ(expandingTildeInPath("~"), home);
    EXPECT_EQ(expandingTildeInPath("~/Pictures/Hot"), home + "/Pictures/Hot");
    EXPECT_EQ(expandingTildeInPath("~other/x"), "~other/x");
    EXPECT_EQ(expandingTildeInPath("/tmp/~/x"), "/tmp/~/x");
    EXPECT_EQ(standardizingPath("~/a/./b/../c//"), home + "/a/c");
    EXPECT_EQ(standardizingPath(""), "");
}
