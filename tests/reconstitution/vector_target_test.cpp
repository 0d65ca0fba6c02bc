// The vector targets: the tests' hook forces each one in turn, and the stages really run under it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "reconstitution/vector_target.h"

#include "support/test_support.h"

namespace {

// Every target the build has for this processor is run in turn, best first, ending with the plain
// one-lane target, and the stages report it while it is forced; afterwards they choose the best again.
TEST(VectorTarget, EachTargetIsForcedInTurnEndingWithThePlainOne) {
    const std::string chosen = VectorTarget_Name();
    std::vector<std::string> visited;
    ForEachVectorTarget([&](const std::string& target) {
        EXPECT_EQ(VectorTarget_Name(), target);
        visited.push_back(target);
    });
    ASSERT_FALSE(visited.empty());
    EXPECT_EQ(visited.front(), chosen);
    EXPECT_TRUE(visited.back() == "SCALAR" || visited.back() == "EMU128") << visited.back();
    EXPECT_EQ(VectorTarget_Name(), chosen);
    std::string names;
    for (const std::string& name : visited) names += " " + name;
    std::printf("[ info ] vector targets run by the tests:%s; the stages choose %s\n", names.c_str(), chosen.c_str());
}

}  // namespace
