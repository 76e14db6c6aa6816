// Running out of memory at start-up: the run must stop before any port is
// touched, with a message and nothing left allocated.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "PtyPeer.h"
#include "updater/TessaranFwUpgrade.h"

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

#define CHILD_STDOUT_FD "STARTUP_MEMORY_TEST_STDOUT_FD"

TEST(StartupMemoryTest, FailedAllocationReleasesEverythingAndSaysSo) {
#ifdef UNDER_ADDRESS_SANITIZER
  GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer's shadow memory";
#else
  // The allocation runs in a fresh copy of this test binary: a process in
  // which earlier tests ran threads keeps their malloc arenas, whose reserved
  // room lets the allocation succeed under any address-space limit.
  if (const char *reportFd = getenv(CHILD_STDOUT_FD)) {
    // Room for the 0.2 MB text copy but not for the 4 MB image buffer. Free
    // heap is given back first, and large blocks are made to come from
    // fresh mappings, so the limit really bites.
    malloc_trim(0);
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == NULL || fscanf(statm, "%ld", &pages) != 1) _exit(10);
    fclose(statm);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (2u << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(11);

    fflush(stdout);
    if (dup2(atoi(reportFd), STDOUT_FILENO) < 0) _exit(14);
    BOOL ok = allocateWorkingBuffers();
    fflush(stdout);
    if (ok) _exit(12);
    if (gHexFirmware || gDataConcatenated || gDataBuffer || gHexFPGA_Code) _exit(13);
    _exit(0);
  }

  StdoutCapture capture;
  pid_t pid = fork();
  if (pid == 0) {
    // What the updater prints goes to the capture; the copy's own test
    // output goes nowhere.
    int report = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (report < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) _exit(15);
    setenv(CHILD_STDOUT_FD, std::to_string(report).c_str(), 1);
    execl("/proc/self/exe", "updater_tests", "--gtest_filter=StartupMemoryTest.*", (char *)NULL);
    _exit(16);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  std::string printed = capture.finish();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(printed, "\r\nERROR: Not enough memory to start the update.\r\n");
#endif
}
