// vmpkg: makes, inspects and checks library files.
//
//   vmpkg create [--force] LIB [FILE.json|-]   (standard input without FILE)
//   vmpkg dump LIB [-o FILE|-]
//   vmpkg check [-r] [--json] [--strict] LIB [-o FILE|-]
//   vmpkg refs [--json] LIB [-o FILE|-]
//   vmpkg registry [list|check] [-u] [--view 32|64] [--json] [-o FILE|-]
//   vmpkg help [COMMAND], vmpkg COMMAND --help, vmpkg --version
//
// The JSON document of create and dump is {"package": GROUP, "scene": GROUP},
// where
//   GROUP    = {"name": string, "properties": [PROPERTY...],
//               "groups": [GROUP...]}      (missing arrays mean none)
//   PROPERTY = {"name": string,
//               "type": "bool" | "int32" | "float64" | "string_array",
//               "value": [element...] | null}   (null: a null property)
// Elements are booleans, integers in the 32-bit range, numbers (and the
// strings "NaN", "Infinity", "-Infinity", which JSON has no numbers for) or
// strings, by type. What JSON cannot carry (a name or entry with a lone
// surrogate, a string_array value that is no string array as create writes
// one) is {"utf16": "HHHH HHHH ..."}, its UTF-16 units in hex, in place of
// the string or of the whole value (see docs/vmpkg.md), so every library
// that opens dumps. Other members, and a member given twice, are refused,
// so a misspelt or repeated one is not silently lost. dump prints every member,
// empty arrays included, so dump(create(x)) equals x up to the arrays that x
// left out, and create(dump(f)) has f's bytes. The reports of check, refs and
// registry, and their JSON schemas, are described in docs/vmpkg.md.
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
