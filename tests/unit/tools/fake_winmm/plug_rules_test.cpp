#include <gtest/gtest.h>

#include "plug_rules.h"

namespace {

using fake_winmm::parsePlugRules;
using fake_winmm::PlugRule;

TEST(PlugRulesTest, FilesAndScheduleMakeOneList) {
  std::vector<PlugRule> rules;
  std::string error;
  ASSERT_TRUE(parsePlugRules("in0:unplug_in0,out1:gone", "in1:3000-5000;out0:10-20", rules, error))
      << error;
  ASSERT_EQ(rules.size(), 4u);
  EXPECT_FALSE(rules[0].output);
  EXPECT_EQ(rules[0].file, "unplug_in0");
  EXPECT_TRUE(rules[1].output);
  EXPECT_EQ(rules[1].device, 1);
  EXPECT_EQ(rules[2].device, 1);
  EXPECT_FALSE(fake_winmm::pulledAt(rules[2], 2999));
  EXPECT_TRUE(fake_winmm::pulledAt(rules[2], 3000));
  EXPECT_FALSE(fake_winmm::pulledAt(rules[2], 5000));
  EXPECT_FALSE(fake_winmm::pulledAt(rules[0], 4000));  // a file rule is not timed
  for (const char* bad : {"in:x", "pad0:x", "in0", "in0:"}) {
    EXPECT_FALSE(parsePlugRules(bad, "", rules, error)) << bad;
  }
  for (const char* bad : {"in0:5-5", "in0:10", "in0:a-b", "in0:20-10"}) {
    EXPECT_FALSE(parsePlugRules("", bad, rules, error)) << bad;
  }
  EXPECT_TRUE(parsePlugRules("", "", rules, error));
  EXPECT_TRUE(rules.empty());
}

}  // namespace
