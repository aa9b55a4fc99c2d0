// <shellapi.h> needs the declarations of <windows.h> before it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "platform/os/command_line.h"
#include "platform/os/win_text.h"

namespace tavik {

std::optional<std::vector<std::string>> ReadCommandLine() {
  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (argv == nullptr || count == 0) {
    if (argv != nullptr) ::LocalFree(argv);
    return std::nullopt;
  }
  std::vector<std::string> arguments;
  arguments.push_back(FromWide(argv[0]));
  bool refused = false;
  char buffer[kArgumentBufferSize];
  for (int i = 1; i < count && !refused; ++i) {
    // WC_ERR_INVALID_CHARS: a lone surrogate would otherwise turn into U+FFFD
    // and name another file.
    int n = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[i], -1,
                                  buffer, sizeof buffer, nullptr, nullptr);
    if (n <= 0) {
      refused = true;
    } else {
      arguments.emplace_back(buffer);
    }
  }
  ::LocalFree(argv);
  if (refused) return std::nullopt;
  return CheckArguments(std::move(arguments));
}

}  // namespace tavik
