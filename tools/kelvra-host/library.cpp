#include "tools/kelvra-host/library.h"

#include <vector>

namespace kelvra::tool {

float Call(ExportFn fn, const std::string& text, double value, char** context,
           char* buf2) {
  // The exports take a writable text; hand them a private copy.
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  return fn(copy.data(), value, nullptr, 0, buf2, 0, context);
}

float Call(ExportFn fn, double value, char** context) {
  return fn(nullptr, value, nullptr, 0, nullptr, 0, context);
}

}  // namespace kelvra::tool
