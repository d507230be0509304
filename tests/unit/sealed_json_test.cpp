// The JSON reader at a depth no fuzz seed builds (fuzz_parsers judges the rest).
#include <gtest/gtest.h>

#include <string>

#include "sealing/sealed.h"

namespace {

// Nesting this deep overflowed the stack of a parser that builds a tree.
TEST(SealedJson, ReadsPastDeeplyNestedOtherMembers) {
  const std::string json = R"({"x":)" + std::string(1'000'000, '[') + std::string(1'000'000, ']') +
                           R"(,"enclave":"a","ephemeral":"b","box":"c"})";
  const auto sealed = sealing::fromJson(crypto::bytesOf(json));
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->enclave + sealed->ephemeral + sealed->box, "abc");
}

}  // namespace
