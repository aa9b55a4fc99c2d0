// check and refs: dry runs of the update run, shown through its observer.
// Writes its report to `out`, one-line messages ("vmpkg: ...") to `err`, and
// returns vmpkg's exit code (exit_codes.h).
#ifndef TAVIK_TOOLS_CHECK_REPORT_H_
#define TAVIK_TOOLS_CHECK_REPORT_H_

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "tools/exit_codes.h"
#include "update/run_outcome.h"

namespace vmpkg {

struct CheckOptions {
  std::string library;
  bool remove = false;  // a dry run of Tavik -l -r
  bool json = false;
  bool strict = false;  // unresolved references that remain fail
  // Asked between assets; true gives the check up (see
  // tavik::UpdateRunOptions::stop): its summary is then no answer.
  std::function<bool()> stop;
};
// What one library's check comes to, without its per-asset detail: the
// summary fields of the report, with the values `vmpkg check --json` gives.
struct CheckSummary {
  int exit_code = 0;  // vmpkg's (kExitOk, kExitCheck...)
  // How Tavik -l [-r] LIB would end: its exit code (`tavik_exit_code` in
  // the report), cause, and the reason the report gives (outcome.Reason()).
  tavik::RunOutcome outcome;
  size_t changes = 0;     // what the run would change (0 unless it is done)
  size_t unresolved = 0;  // references left resolving to no file
};

// A dry run of Tavik -l [-r] LIB by the update run's own code; writes
// nothing to the library or the registry. The report (text, or JSON with
// options.json) goes to `out`; with `out` null no report is made and only
// the summary is returned. A report that cannot be written gives
// exit_code kExitFailed (with a message on `err`). Several threads may
// check different libraries at once: the run shares no state between calls.
CheckSummary CheckLibrary(const CheckOptions& options, std::FILE* out,
                          std::FILE* err);
// CheckLibrary's exit code. Exit codes in vmpkg.h (kExitCheck...).
int Check(const CheckOptions& options, std::FILE* out, std::FILE* err);

// One line (or JSON object) per stored reference, and whether it resolves.
int Refs(const std::string& library, bool json, std::FILE* out, std::FILE* err);

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_CHECK_REPORT_H_
