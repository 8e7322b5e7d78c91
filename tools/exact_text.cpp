#include <charconv>

#include "commands.h"

namespace vesk::tools {

std::string exact_text(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

}  // namespace vesk::tools
