#ifndef VESK_UTIL_EXCEPTIONS_H
#define VESK_UTIL_EXCEPTIONS_H

/// @file
/// The exception type of the vesk library family.

#include <stdexcept>
#include <string>

namespace vesk {

/// Raised for invalid arguments; a handler for std::runtime_error catches it too.
class __attribute__((visibility("default"))) Error : public std::runtime_error {
 public:
  /// An error carrying the text @p msg.
  Error(const std::string& msg) : std::runtime_error(msg) {}

  /// An error carrying the text @p msg.
  Error(const char* msg) : std::runtime_error(msg) {}

  ~Error() override {}

  /// A copy of the text that what() returns (an override of what() in a derived class counts).
  virtual std::string get_message() const { return what(); }
};

}  // namespace vesk

#endif  // VESK_UTIL_EXCEPTIONS_H
