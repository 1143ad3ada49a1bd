// The names of temporaries: only those of our own naming, left by a process
// that is gone, are ever removed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/file_write.h"

namespace vorn {
namespace {

TEST(TemporaryOwner, ReadsThePidOnlyFromNamesOfTheGivenForm) {
  const struct {
    const char* name;
    const char* prefix;
    int64_t owner;
  } cases[] = {
      {".r.json.vorn-123-AbC9z0", ".r.json.vorn-", 123},
      {".out.staging-7-0", ".out.staging-", 7},
      {".vorn-staging-42-1234567890123456", ".vorn-staging-", 42},
      {".vorn-staging-42-12345678901234567", ".vorn-staging-", -1},  // tail past 16
      {".r.json.vorn-123-", ".r.json.vorn-", -1},                    // no tail
      {".r.json.vorn--AbC9z0", ".r.json.vorn-", -1},                 // no pid
      {".r.json.vorn-12a-AbC9z0", ".r.json.vorn-", -1},
      {".r.json.vorn-123-Ab.9z0", ".r.json.vorn-", -1},
      {".r.json.vorn-1234567890-AbC9z0", ".r.json.vorn-", -1},  // more digits than a pid has
      {".other.staging-7-0", ".out.staging-", -1},
      {".r.json.vorn-", ".r.json.vorn-", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(temporary_owner(c.name, c.prefix), c.owner) << c.name;
}

TEST(ProcessGone, OnlyAReapedProcessIsGone) {
  const pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  EXPECT_FALSE(process_gone(child));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(process_gone(child));
  EXPECT_FALSE(process_gone(getpid()));
  EXPECT_FALSE(process_gone(1));  // another owner's process is present too
  for (const int64_t odd : {int64_t(0), int64_t(-5), int64_t(1) << 40}) EXPECT_FALSE(process_gone(odd));
}

}  // namespace
}  // namespace vorn
