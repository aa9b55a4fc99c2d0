// registry list and registry check: the LibraryPaths lists.
// Writes its report to `out`, one-line messages ("vmpkg: ...") to `err`, and
// returns vmpkg's exit code (exit_codes.h).
#ifndef TAVIK_TOOLS_REGISTRY_REPORT_H_
#define TAVIK_TOOLS_REGISTRY_REPORT_H_

#include <cstdio>
#include <string>

namespace vmpkg {

struct RegistryOptions {
  bool check = false;    // flag problems instead of listing only
  bool perUser = false;  // HKEY_CURRENT_USER instead of HKEY_LOCAL_MACHINE
  int view = 0;          // 32 or 64; 0 both
  bool json = false;
  bool paths = false;  // the distinct paths alone, one a line
};
// Absolute on either system: "/...", "\...", or a drive letter, ":" and a
// separator. Anything else depends on the folder of whoever reads the list.
bool IsAbsoluteLibraryPath(const std::string& path);

// The LibraryPaths lists of the registry views, through the registry the
// tool itself uses.
int RegistryReport(const RegistryOptions& options, std::FILE* out,
                   std::FILE* err);

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_REGISTRY_REPORT_H_
