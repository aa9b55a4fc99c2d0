// vmpkg: makes, inspects and checks library files.
//
//   vmpkg create [--force] LIB [FILE.json|-]   (standard input without FILE)
//   vmpkg dump LIB [-o FILE|-]
//   vmpkg check [-r] [--json] [--strict] LIB [-o FILE|-]
//   vmpkg refs [--json] LIB [-o FILE|-]
//   vmpkg registry [list|check] [-u] [--view 32|64] [--json] [-o FILE|-]
//   vmpkg help [COMMAND], vmpkg COMMAND --help, vmpkg --version
//
// The JSON document of create and dump is described in library_codec.h,
// the reports in docs/vmpkg.md. This is the executable's own header: the
// commands' library never includes it.
#ifndef TAVIK_TOOLS_VMPKG_H_
#define TAVIK_TOOLS_VMPKG_H_

#include <cstdio>
#include <string>
#include <vector>

#include "tools/exit_codes.h"

namespace vmpkg {

// Runs vmpkg with `arguments` (UTF-8, program name excluded); returns its
// exit code (exit_codes.h). Reads JSON
// from `in` when create has no FILE (or "-"), writes reports to `out` (or
// the -o file) and one-line messages to `err`.
int Run(const std::vector<std::string>& arguments, std::FILE* in,
        std::FILE* out, std::FILE* err);

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_VMPKG_H_
