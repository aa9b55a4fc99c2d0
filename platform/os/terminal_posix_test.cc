#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/os/interrupt.h"
#include "platform/os/terminal.h"

namespace tavik {
namespace {

TEST(TerminalPosixTest, APseudoTerminalIsOneAndAPipeIsNot) {
  int leader = -1, follower = -1;
  ASSERT_EQ(::openpty(&leader, &follower, nullptr, nullptr, nullptr), 0);
  std::FILE* tty = ::fdopen(follower, "w");
  ASSERT_NE(tty, nullptr);
  EXPECT_TRUE(IsTerminal(tty));
  std::fclose(tty);
  ::close(leader);

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::FILE* pipe = ::fdopen(pipe_fds[1], "w");
  ASSERT_NE(pipe, nullptr);
  EXPECT_FALSE(IsTerminal(pipe));
  std::fclose(pipe);
  ::close(pipe_fds[0]);
}

// The second interrupt ends the process; only a child may receive it.
TEST(InterruptPosixTest, TheFirstSetsTheFlagTheSecondEndsTheProcess) {
  EXPECT_EXIT(
      {
        CatchInterrupts();
        if (Interrupted()) std::_Exit(1);
        ::raise(SIGINT);
        if (!Interrupted()) std::_Exit(2);
        ::raise(SIGINT);
        std::_Exit(3);
      },
      ::testing::KilledBySignal(SIGINT), "");
}

}  // namespace
}  // namespace tavik
