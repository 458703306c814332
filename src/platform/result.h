#pragma once
// Failures are values: an operation returns its value or one message text.
#include <optional>
#include <string>
#include <utility>

namespace vorn {

// Nothing on success, the failure text otherwise.
using MaybeError = std::optional<std::string>;

template <class T>
class Result {
 public:
  static Result success(T value) {
    Result r;
    r.value_ = std::move(value);
    return r;
  }
  static Result failure(std::string error) {
    Result r;
    r.error_ = std::move(error);
    return r;
  }
  bool ok() const { return value_.has_value(); }
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const std::string& error() const { return error_; }

 private:
  Result() = default;
  std::optional<T> value_;
  std::string error_;
};

}  // namespace vorn
