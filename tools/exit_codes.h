// vmpkg's exit codes, every one of them, and the order in which the audit
// (check --registered) ranks them. The help text is made from these tables
// and a test holds docs/vmpkg.md and the manual page to them, so a code or
// its rank is changed here or nowhere.
//
// Some numbers mean two things, by command, as they always have (scripts
// read them): 1 is a failure, and check's "changes pending"; 2 a usage
// error, and check's "Tavik would exit 2". check's 2, 3 and 4 are Tavik's
// own exit codes for the run it shows, so they are defined from them.
#ifndef TAVIK_TOOLS_EXIT_CODES_H_
#define TAVIK_TOOLS_EXIT_CODES_H_

#include <string>

#include "platform/base/exit_code.h"

namespace vmpkg {

constexpr int kExitOk = 0;
// Bad input, a file that cannot be read or written, a report that cannot
// be written; registry check: problems found.
constexpr int kExitFailed = 1;
// The command line is not understood (nothing on standard output).
constexpr int kExitUsage = 2;

// check: what the run would give.
constexpr int kExitCheckPending = 1;  // Tavik would exit 0 and change it
constexpr int kExitCheckMissing =
    static_cast<int>(tavik::ExitCode::kMissingFile);  // file or media folder
constexpr int kExitCheckNoPath =
    static_cast<int>(tavik::ExitCode::kNoPath);  // an empty LIB
constexpr int kExitCheckInvalid =
    static_cast<int>(tavik::ExitCode::kInvalidLibrary);
constexpr int kExitCheckUnresolved = 5;  // --strict: references resolve
                                         // nowhere
// check --registered, for the whole run rather than a library.
constexpr int kExitListUnreadable = 3;
constexpr int kExitInterrupted = 130;  // Ctrl-C: no report written

// One code's meaning, as the help says it.
struct ExitCodeMeaning {
  int code;
  const char* meaning;
};

// Every command's codes, as `vmpkg help` lists them.
constexpr ExitCodeMeaning kExitCodes[] = {
    {kExitOk, "done"},
    {kExitFailed,
     "failed (check: changes pending; registry check: problems found)"},
    {kExitUsage,
     "usage error (check: the library file or its media folder is missing)"},
    {kExitCheckInvalid, "check: not a valid library"},
    {kExitCheckUnresolved,
     "check --strict: references that resolve nowhere would remain"},
};

// check --registered: the exit code is the worst over the libraries, and
// this is the order, worst first.
constexpr ExitCodeMeaning kRegisteredExitOrder[] = {
    {kExitInterrupted, "interrupted (Ctrl-C), no report"},
    {kExitListUnreadable, "a list could not be read"},
    {kExitCheckInvalid, "a library is not valid or cannot be read"},
    {kExitCheckMissing,
     "a library file or media folder is missing, or a path is relative"},
    {kExitCheckUnresolved,
     "--strict: references that resolve nowhere would remain"},
    {kExitCheckPending, "changes pending, or a path listed twice in one list"},
    {kExitOk, "every library up to date"},
};

// The rank of `code` in kRegisteredExitOrder, 0 the best; a code not in
// the table ranks worst of all, so that nothing unforeseen reads as
// success.
int RegisteredSeverity(int code);
// Of two exit codes, the one the audit reports: the worse, `a` on a tie.
int WorseExitCode(int a, int b);

// The help's footers, made from the tables above.
std::string ExitCodesHelp();
std::string RegisteredExitCodesHelp();

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_EXIT_CODES_H_
