// Child processes with a channel of their own, their logs, their interruption.
#ifndef _WIN32
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/Subprocess.h"
#include "../TestFiles.h"

static std::string drain(Subprocess *child, int *status) {
  std::string said;
  char buffer[256];
  for (int rounds = 0; rounds < 500; rounds++) {
    int n;
    while ((n = subprocess_readChannel(child, buffer, sizeof buffer)) > 0) said.append(buffer, (size_t)n);
    if (n < 0 && subprocess_finished(child, status)) break;
    subprocess_waitAny({child}, 20);
  }
  return said;
}

TEST(Subprocess, ChildTalksOnItsChannelAndItsOutputGoesToItsLog) {
  std::string log = testing::TempDir() + "fleet-child.log";
  unlink(log.c_str());
  std::string error;
  // The channel's number is $0 of the script.
  Subprocess *child = subprocess_start(
      {"/bin/sh", "-c", "echo out; echo err >&2; read x && echo stdin-had-text; printf 'step done\\n' >&$0; exit 7",
       SUBPROCESS_CHANNEL_ARG},
      log, &error);
  ASSERT_NE(child, nullptr) << error;
  int status = -1;
  EXPECT_EQ(drain(child, &status), "step done\n");
  EXPECT_EQ(status, 7);
  EXPECT_EQ(fileText(log), "out\nerr\n");
  subprocess_free(child);
  // A log already there is an earlier run's: never written over.
  EXPECT_EQ(subprocess_start({"/bin/true"}, log, &error), nullptr);
  EXPECT_NE(error.find("exists"), std::string::npos) << error;
  EXPECT_EQ(fileText(log), "out\nerr\n");

  EXPECT_EQ(subprocess_start({"/nonexistent/program"}, "", &error), nullptr);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST(Subprocess, AHungChildIsInterruptedOrKilledWithoutWaitingForIt) {
  struct Case {
    bool ignoresInterrupts;
    int status;
  } cases[] = {{false, 128 + 2}, {true, 128 + 9}};
  for (const Case &c : cases) {
    std::string error;
    Subprocess *child = subprocess_start(
        {"/bin/sh", "-c", std::string(c.ignoresInterrupts ? "trap '' INT; " : "") + "echo go >&$0; exec sleep 30",
         SUBPROCESS_CHANNEL_ARG},
        "", &error);
    ASSERT_NE(child, nullptr) << error;
    char buffer[16];
    for (int i = 0; i < 200 && subprocess_readChannel(child, buffer, sizeof buffer) == 0; i++)
      subprocess_waitAny({child}, 20);
    subprocess_interrupt(child);
    if (c.ignoresInterrupts) subprocess_kill(child);
    int status = -1;
    drain(child, &status);
    EXPECT_EQ(status, c.status);
    subprocess_free(child);
  }
}
#endif
