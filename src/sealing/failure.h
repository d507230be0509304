// SPDX-License-Identifier: Apache-2.0
// The tool's own error: a member of a sealed record that is not valid base64. Its text is the
// name of its one value, "input".
#pragma once

#include <exception>

namespace sealing {

class Failure : public std::exception {
 public:
  enum Value { input };

  // Implicit, so that Failure::input converts: `throw Failure(Failure::input)`.
  Failure(Value value) : value_(value) {}  // NOLINT(google-explicit-constructor)
  Value value() const noexcept { return value_; }
  const char* what() const noexcept override { return "input"; }

 private:
  Value value_;
};

}  // namespace sealing
