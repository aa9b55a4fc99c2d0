// How this host starts Windows programs under Wine.
//
// Debian's `wine` command always starts the 32-bit loader when it is
// installed, and some kernels do not run 32-bit x86 programs at all: there
// `wine` fails with "Exec format error" even for a 64-bit program, while the
// 64-bit loader, started directly, works. So whether the host runs 32-bit
// programs is found out once (by running one, scripts/host-x86-32.sh), and
// on a host that does not, every Wine command goes through the 64-bit loader
// and 32-bit programs are skipped with the reason, never silently passed.
#ifndef TAVIK_TESTS_WINE_HOST_H_
#define TAVIK_TESTS_WINE_HOST_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/process_util.h"

namespace tavik_test {

struct HostX86_32 {
  bool runs = false;
  std::string reason;  // why not, when !runs
};

// The answer in TAVIK_HOST_X86_32 ("yes" or "no: <reason>", as the script
// prints it; set by scripts/test-windows.sh, or by hand to force the
// 64-bit-only path), else the script's answer, found on first use.
inline const HostX86_32& HostRunsX86_32() {
  static const HostX86_32 answer = [] {
    std::string text;
    const char* given = std::getenv("TAVIK_HOST_X86_32");
    if (given != nullptr && *given != '\0') {
      text = given;
    } else {
      std::string out =
          (std::filesystem::temp_directory_path() / "tavik_x86_32_XXXXXX")
              .string();
      int fd = ::mkstemp(&out[0]);
      if (fd >= 0) {
        ::close(fd);
        RunProcess({std::string(TAVIK_SOURCE_DIR) + "/scripts/host-x86-32.sh"},
                   {}, out);
        std::ifstream in(out);
        std::getline(in, text);
        in.close();
        std::remove(out.c_str());
      }
      if (text.empty()) text = "no: scripts/host-x86-32.sh gave no answer";
    }
    HostX86_32 result;
    result.runs = text == "yes";
    if (!result.runs) {
      result.reason = text.rfind("no: ", 0) == 0 ? text.substr(4) : text;
    }
    return result;
  }();
  return answer;
}

// 32 or 64 for a Windows x86 program (the machine field of its PE header),
// 0 when the file is not one.
inline int WindowsProgramBits(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char dos[64] = {};
  if (!in.read(reinterpret_cast<char*>(dos), sizeof dos) || dos[0] != 'M' ||
      dos[1] != 'Z') {
    return 0;
  }
  uint32_t pe = dos[60] | dos[61] << 8 | dos[62] << 16 |
                static_cast<uint32_t>(dos[63]) << 24;
  unsigned char header[6] = {};
  if (!in.seekg(pe) ||
      !in.read(reinterpret_cast<char*>(header), sizeof header) ||
      header[0] != 'P' || header[1] != 'E' || header[2] != 0 ||
      header[3] != 0) {
    return 0;
  }
  switch (header[4] | header[5] << 8) {
    case 0x014c:
      return 32;
    case 0x8664:
      return 64;
    default:
      return 0;
  }
}

// The command that starts a Windows program (argv[0] before the program):
// `wine` where 32-bit programs run, else the 64-bit loader itself
// (TAVIK_WINE64_LOADER, default Debian's /usr/lib/wine/wine64).
inline std::string WineLoader() {
  if (HostRunsX86_32().runs) return "wine";
  const char* given = std::getenv("TAVIK_WINE64_LOADER");
  return given != nullptr && *given != '\0' ? given : "/usr/lib/wine/wine64";
}

}  // namespace tavik_test

#endif  // TAVIK_TESTS_WINE_HOST_H_
