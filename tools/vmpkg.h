// vmpkg: makes library files from JSON and prints them as JSON.
//
//   vmpkg create [--force] LIB [FILE.json]   (standard input without FILE)
//   vmpkg dump LIB
//
// The JSON document is {"package": GROUP, "scene": GROUP}, where
//   GROUP    = {"name": string, "properties": [PROPERTY...],
//               "groups": [GROUP...]}      (missing arrays mean none)
//   PROPERTY = {"name": string,
//               "type": "bool" | "int32" | "float64" | "string_array",
//               "value": [element...] | null}   (null: a null property)
// Elements are booleans, integers in the 32-bit range, numbers (and the
// strings "NaN", "Infinity", "-Infinity", which JSON has no numbers for) or
// strings, by type. Other members are refused, so a misspelt one is not
// silently lost. dump prints every member, empty arrays included, so
// dump(create(x)) equals x up to the arrays that x left out.
#ifndef TAVIK_TOOLS_VMPKG_H_
#define TAVIK_TOOLS_VMPKG_H_

#include <cstdio>
#include <string>
#include <vector>

namespace vmpkg {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // bad input, unreadable or unwritable file
constexpr int kExitUsage = 2;

// Runs vmpkg with `arguments` (UTF-8, program name excluded). Reads JSON
// from `in` when create has no FILE, writes the dump to `out` and one-line
// messages to `err`.
int Run(const std::vector<std::string>& arguments, std::FILE* in,
        std::FILE* out, std::FILE* err);

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_VMPKG_H_
