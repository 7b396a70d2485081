#include "node.hpp"

#include <gtest/gtest.h>

namespace quillon {
namespace {

// A node function that records what it received and returns `returns`.
struct Recorder {
  std::shared_ptr<DataMap> seen = std::make_shared<DataMap>();
  NodeFunction function(DataMap returns) const {
    auto seen_copy = seen;
    return make_node_function([seen_copy, returns](const DataMap& in) {
      *seen_copy = in;
      return NodeOutput{returns};
    });
  }
};

TEST(NodeCreate, DefaultsAreThoseOfAFreshNode) {
  const Node node = Node::create(3, make_node_function([](const DataMap&) { return NodeOutput{}; }),
                                 default_cache_version(3), std::nullopt, {}, {});
  EXPECT_EQ(node.cache_version, "node-3-version-unset");
  EXPECT_FALSE(node.branch_id);
  EXPECT_FALSE(node.variant_index);
  EXPECT_FALSE(node.is_branch);
  EXPECT_TRUE(node.cacheable);
  EXPECT_FALSE(node.version_set);
  EXPECT_FALSE(node.cache_key_vars);
  EXPECT_EQ(node.dist_transfer, nullptr);
}

TEST(NodeGatherInputs, MissingVariablesAreAbsentAndQualifiedNamesReadBranchKeys) {
  Recorder rec;
  const Node node = Node::create(0, rec.function({}), "v", std::nullopt,
                                 {{"x", "a"}, {"1:y", "b"}, {":", "c"}, {"a:b:c", "d"}, {"missing", "e"}}, {});
  const DataMap context{{"x", GraphData::from_float(1)},
                        {"y", GraphData::from_float(2)},
                        {"__branch_1__y", GraphData::from_float(3)},
                        {"__branch___", GraphData::from_float(4)},
                        {"b:c", GraphData::from_float(5)}};
  const DataMap inputs = node.gather_inputs(context);
  ASSERT_EQ(inputs.size(), 3u);
  EXPECT_EQ(inputs.at("a").as_float(), 1);
  EXPECT_EQ(inputs.at("b").as_float(), 3) << "1:y reads the branch copy, never the plain y";
  EXPECT_EQ(inputs.at("c").as_float(), 4) << "a lone colon reads the key formed from two empty texts";
  EXPECT_FALSE(inputs.contains("d"));
  EXPECT_FALSE(inputs.contains("e"));
}

TEST(NodeExecute, OutputsAreMappedAndUnlistedOrMissingOnesDropped) {
  Recorder rec;
  const Node node =
      Node::create(0, rec.function({{"a", GraphData::from_int(1)}, {"extra", GraphData::from_int(2)}}), "v",
                   std::nullopt, {{"in", "i"}}, {{"a", "x"}, {"b", "y"}});
  const NodeResult result = node.execute({{"in", GraphData::from_string("s")}});
  ASSERT_EQ(result.outputs.size(), 1u);
  EXPECT_EQ(result.outputs.at("x").as_int(), 1);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(rec.seen->at("i").as_string(), "s");
}

TEST(NodeExecute, FailureFlagIsCarriedThrough) {
  const Node node = Node::create(
      0, make_node_function([](const DataMap&) { return NodeOutput{{}, true}; }), "v", std::nullopt, {}, {});
  EXPECT_TRUE(node.execute({}).failed);
}

TEST(NodeCacheKeyInputs, RestrictionKeepsOnlyListedPresentNames) {
  Node node = Node::create(0, nullptr, "v", std::nullopt, {}, {});
  const DataMap inputs{{"a", GraphData::from_int(1)}, {"b", GraphData::from_int(2)}};
  EXPECT_EQ(node.cache_key_inputs(inputs).size(), 2u);
  node.cache_key_vars = std::vector<std::string>{"a", "zzz"};
  const DataMap restricted = node.cache_key_inputs(inputs);
  ASSERT_EQ(restricted.size(), 1u);
  EXPECT_TRUE(restricted.contains("a"));
}

TEST(NodeNames, BranchKeysAndQualifiedNames) {
  EXPECT_EQ(branch_key(2, "y"), "__branch_2__y");
  EXPECT_EQ(QualifiedName("y").input_key(), "y");
  EXPECT_EQ(QualifiedName("02:y").input_key(), "__branch_02__y") << "the branch piece is used as written";
  EXPECT_EQ(QualifiedName("a:b:c").input_key(), std::nullopt);
}

}  // namespace
}  // namespace quillon
