#include "tools/exit_codes.h"

#include <gtest/gtest.h>

#include <iterator>

namespace vmpkg {
namespace {

TEST(ExitCodesTest, TheAuditRanksCodesAsItsTableDoes) {
  // Down the table, each code is better than the one above it.
  for (size_t i = 1; i < std::size(kRegisteredExitOrder); ++i) {
    EXPECT_LT(RegisteredSeverity(kRegisteredExitOrder[i].code),
              RegisteredSeverity(kRegisteredExitOrder[i - 1].code))
        << kRegisteredExitOrder[i].code;
  }
  EXPECT_EQ(RegisteredSeverity(kExitOk), 0);
  struct Case {
    int a, b, worse;
  } cases[] = {
      {kExitOk, kExitCheckPending, kExitCheckPending},
      {kExitCheckPending, kExitCheckUnresolved, kExitCheckUnresolved},
      {kExitCheckUnresolved, kExitCheckMissing, kExitCheckMissing},
      {kExitCheckInvalid, kExitCheckMissing, kExitCheckInvalid},
      {kExitCheckInvalid, kExitListUnreadable, kExitListUnreadable},
      {kExitInterrupted, kExitListUnreadable, kExitInterrupted},
      {kExitCheckPending, kExitCheckPending, kExitCheckPending},
      // Nothing unforeseen reads as better than a known failure.
      {77, kExitInterrupted, 77},
      {kExitOk, -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WorseExitCode(c.a, c.b), c.worse) << c.a << " " << c.b;
    EXPECT_EQ(WorseExitCode(c.b, c.a), c.worse) << c.b << " " << c.a;
  }
}

// The help is made from the tables; its words are what scripts and people
// have read all along.
TEST(ExitCodesTest, HelpTextsAreThoseOfTheTables) {
  EXPECT_EQ(ExitCodesHelp(),
            "Exit codes: 0 done; 1 failed (check: changes pending; registry "
            "check: problems found); 2 usage error (check: the library file "
            "or its media folder is missing); 4 check: not a valid library; "
            "5 check --strict: references that resolve nowhere would "
            "remain. See docs/vmpkg.md.");
  EXPECT_EQ(RegisteredExitCodesHelp(),
            "With --registered the exit code is the worst over the "
            "libraries, worst first: 130 interrupted (Ctrl-C), no report; 3 "
            "a list could not be read; 4 a library is not valid or cannot "
            "be read; 2 a library file or media folder is missing, or a "
            "path is relative; 5 --strict: references that resolve nowhere "
            "would remain; 1 changes pending, or a path listed twice in one "
            "list; 0 every library up to date.");
}

}  // namespace
}  // namespace vmpkg
