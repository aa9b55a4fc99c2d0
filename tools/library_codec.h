// create and dump: library files to and from their JSON document, on the
// package library alone.
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
// left out, and create(dump(f)) has f's bytes. See docs/vmpkg.md.
#ifndef TAVIK_TOOLS_LIBRARY_CODEC_H_
#define TAVIK_TOOLS_LIBRARY_CODEC_H_

#include <cstdio>
#include <string>

namespace vmpkg {

// Makes `library` from JSON read from `input_path` ("" or "-": `in`).
int Create(const std::string& library, const std::string& input_path,
           bool force, std::FILE* in, std::FILE* err);
// Prints `library` as JSON.
int Dump(const std::string& library, std::FILE* out, std::FILE* err);

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_LIBRARY_CODEC_H_
