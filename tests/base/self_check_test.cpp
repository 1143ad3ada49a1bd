// The base library's known-answer routines pass on this build. Each runs in
// a child process, so a trap names the routine that found a wrong answer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "base/self_check.h"

namespace vorn {
namespace {

TEST(SelfCheck, EveryRoutinePasses) {
  ASSERT_GE(self_checks().size(), 20u);
  for (const SelfCheck& c : self_checks()) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          c.run();
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
}  // namespace vorn
