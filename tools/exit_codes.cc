#include "tools/exit_codes.h"

#include <iterator>
#include <string>

namespace vmpkg {

namespace {

template <size_t n>
std::string Listed(const ExitCodeMeaning (&table)[n]) {
  std::string text;
  for (const ExitCodeMeaning& e : table) {
    if (!text.empty()) text += "; ";
    text += std::to_string(e.code) + " " + e.meaning;
  }
  return text;
}

}  // namespace

int RegisteredSeverity(int code) {
  constexpr int kCount = static_cast<int>(std::size(kRegisteredExitOrder));
  for (int i = 0; i < kCount; ++i) {
    if (kRegisteredExitOrder[i].code == code) return kCount - 1 - i;
  }
  return kCount;
}

int WorseExitCode(int a, int b) {
  return RegisteredSeverity(a) >= RegisteredSeverity(b) ? a : b;
}

std::string ExitCodesHelp() {
  return "Exit codes: " + Listed(kExitCodes) + ". See docs/vmpkg.md.";
}

std::string RegisteredExitCodesHelp() {
  return "With --registered the exit code is the worst over the libraries, "
         "worst first: " +
         Listed(kRegisteredExitOrder) + ".";
}

}  // namespace vmpkg
