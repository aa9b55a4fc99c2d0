// The commands of vmpkg behind its command line (vmpkg_cli.cc). Each writes
// its report to `out`, one-line messages ("vmpkg: ...") to `err`, and returns
// vmpkg's exit code (exit_codes.h).
#ifndef TAVIK_TOOLS_COMMANDS_H_
#define TAVIK_TOOLS_COMMANDS_H_

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "tools/exit_codes.h"
#include "update/run_outcome.h"

namespace vmpkg {

// Writes `text` whole to `out` and flushes; false (with a message on `err`)
// when it cannot.
bool WriteAll(const std::string& text, std::FILE* out, std::FILE* err);

// `text` as a JSON string, quotes included (what is not UTF-8 shown as
// U+FFFD): how a report shows a text that would break its lines.
std::string JsonQuoted(const std::string& text);

// Makes `library` from JSON read from `input_path` ("" or "-": `in`).
int Create(const std::string& library, const std::string& input_path,
           bool force, std::FILE* in, std::FILE* err);
// Prints `library` as JSON.
int Dump(const std::string& library, std::FILE* out, std::FILE* err);

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

// One line (or JSON object) per stored reference, and whether it resolves.
int Refs(const std::string& library, bool json, std::FILE* out, std::FILE* err);

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

#endif  // TAVIK_TOOLS_COMMANDS_H_
