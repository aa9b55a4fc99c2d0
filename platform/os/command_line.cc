#include "platform/os/command_line.h"

#include "platform/base/utf.h"

namespace tavik {

std::optional<std::vector<std::string>> CheckArguments(
    std::vector<std::string> arguments) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg.size() + 1 > kArgumentBufferSize) return std::nullopt;
    if (arg.find('\0') != std::string::npos) return std::nullopt;
    if (!IsValidUtf8(arg)) return std::nullopt;
  }
  return arguments;
}

std::vector<std::string> SplitNulSeparated(const std::string& contents) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < contents.size()) {
    size_t end = contents.find('\0', start);
    if (end == std::string::npos) end = contents.size();
    out.push_back(contents.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace tavik
