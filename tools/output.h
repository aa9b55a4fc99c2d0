// The small writers every report shares.
#ifndef TAVIK_TOOLS_OUTPUT_H_
#define TAVIK_TOOLS_OUTPUT_H_

#include <cstdio>
#include <string>

namespace vmpkg {

// Writes `text` whole to `out` and flushes; false (with a message on `err`)
// when it cannot.
bool WriteAll(const std::string& text, std::FILE* out, std::FILE* err);

// `text` as a JSON string, quotes included (what is not UTF-8 shown as
// U+FFFD): how a report shows a text that would break its lines.
std::string JsonQuoted(const std::string& text);

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_OUTPUT_H_
