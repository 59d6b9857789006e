// Joining store paths and ordering build lists, as the front end uses them
#include <gtest/gtest.h>

#include "UpdateServerRequest.h"
#include "path.h"

TEST(BuildPath, AlwaysInsertsTheSeparator) {
    EXPECT_EQ(BuildPath("x", "y", nullptr), "x/y");
    EXPECT_EQ(BuildPath("x/", "y", nullptr), "x//y");
    EXPECT_EQ(BuildPath("/home/u", ".pelmora", "updater", nullptr), "/home/u/.pelmora/updater");
    EXPECT_EQ(BuildPath("only", nullptr), "only");
}

TEST(SortBuildsByVersion, ThreeNumberVersionsFirstThenTheRest) {
    using V = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitCorvaneVersion("1.2"), V{});
    EXPECT_EQ(UpdateServerRequest::SplitCorvaneVersion("1.2.3.4"), V{});
    EXPECT_EQ(UpdateServerRequest::SplitCorvaneVersion("1..3"), (V{"1", "", "3"}));

    BuildList list = {{"a", "1.256.0"}, {"b", "1.0.1"}, {"c", "x.1.2"},    {"d", "1..3"},
                      {"e", "10.0.0"},  {"f", "2.1"},   {"g", "2.0.0beta"}};
    auto sorted = UpdateServerRequest::SortBuildsByVersion(list);
    std::vector<std::string> order;
    for (const auto& p : sorted)
        order.push_back(p.first);
    // 1.256.0 compares as 1.0.0; trailing text after the digits is ignored.
    EXPECT_EQ(order, (std::vector<std::string>{"e", "g", "b", "a", "c", "d", "f"}));
}
