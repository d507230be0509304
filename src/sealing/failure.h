// The tool's own error: a member of a sealed record that is not valid base64. Its text is the
// name of its one value, "input".
#pragma once

#include <exception>

namespace sealing {

class Failure : public std::exception {
 public:
  enum Value { input };

  Failure(Value value)
      : value_(value) {}  // NOLINT: Failure::input converts, as in `throw Failure(Failure::input)`
  Value value() const noexcept { return value_; }
  const char* what() const noexcept override { return "input"; }
  bool operator==(const Failure& other) const noexcept { return value_ == other.value_; }

 private:
  Value value_;
};

}  // namespace sealing
