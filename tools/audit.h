// check --registered: the audit of every registered library.
#ifndef TAVIK_TOOLS_AUDIT_H_
#define TAVIK_TOOLS_AUDIT_H_

#include <cstdio>
#include <string>

#include "tools/exit_codes.h"

namespace vmpkg {

// vmpkg check --registered: every distinct path of the selected registered
// lists, each checked as CheckLibrary checks it, `jobs` at once. The report
// (text, or JSON with `json`) is made whole once every check is in and then
// written to `output` ("" or "-": `out`), so an interrupted run writes
// nothing at all. Returns the worst exit code over the libraries and the
// lists, in the order of kRegisteredExitOrder (exit_codes.h);
// kExitInterrupted after Ctrl-C. A progress line
// goes to `err` while the run lasts, when `err` is a terminal.
struct RegisteredCheckOptions {
  bool remove = false;
  bool strict = false;
  bool json = false;
  bool machine = true;  // the machine's lists
  bool user = true;     // the current user's lists
  int view = 0;         // 32 or 64; 0 both
  unsigned jobs = 0;    // 0: the number of cores
  std::string output;
};
int CheckRegistered(const RegisteredCheckOptions& options, std::FILE* out,
                    std::FILE* err);

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_AUDIT_H_
