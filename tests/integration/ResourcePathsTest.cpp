#include "linux/ResourcePaths.h"

#include <gtest/gtest.h>

// The test binaries sit one folder below the build tree, as the program does in bin/, so they
// find the build tree's share/ exactly as the program will.
TEST(ResourcePathsTest, ResourcesAreFoundBesideTheExecutablesFolder)
{
    const auto share = std::filesystem::canonical(std::filesystem::path(ZELNA_BINARY_DIR) / "share");
    EXPECT_EQ(std::filesystem::canonical(dataDirectory()), share);
    EXPECT_TRUE(std::filesystem::is_regular_file(symbolDirectory() / "antenna.radiowaves.left.and.right.svg"));
    EXPECT_TRUE(std::filesystem::is_regular_file(localeDirectory() / "de/LC_MESSAGES/zelnamenu.mo"));
}
