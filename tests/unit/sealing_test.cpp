#include <gtest/gtest.h>

#include <string>

#include "sealing/sealed.h"

// The JSON reader's other forms and refusals are judged by fuzz/fuzz_parsers.cpp against the
// library's own tree, over the seeds in fuzz/corpus/fuzz_parsers; that tree cannot hold this.
// Nesting this deep overflowed the stack of a parser that builds a tree.
TEST(SealedJson, ReadsPastDeeplyNestedOtherMembers) {
  const std::size_t depth = 1'000'000;
  const std::string json = R"({"x":)" + std::string(depth, '[') + std::string(depth, ']') +
                           R"(,"enclave":"a","ephemeral":"b","box":"c"})";
  const auto sealed = sealing::fromJson(crypto::bytesOf(json));
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->enclave + sealed->ephemeral + sealed->box, "abc");
}
