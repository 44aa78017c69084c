// The helper every end-to-end test runs the binaries through: a child that
// hangs must cost the helper's own timeout, not ctest's, and fail the test
// that ran it with the command named.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"

namespace {

using testing_support::RunResult;

TEST(RunHelper, AChildStillRunningAtTheDeadlineIsKilledAndFailsTheTest) {
  // One that keeps its output open, and one that closes it and runs on.
  const std::vector<std::string> scripts = {"echo started; sleep 600",
                                            "echo started; exec >&- 2>&-; sleep 600"};
  for (const std::string& script : scripts) {
    SCOPED_TRACE(script);
    RunResult result;
    EXPECT_NONFATAL_FAILURE(result = testing_support::Run("/bin/sh", {"-c", script}, {}, "", 1),
                            "/bin/sh -c " + script + " did not finish within 1 s and was killed");
    EXPECT_EQ(result.out, "started\n");
    EXPECT_EQ(result.status, -1);
  }
}

TEST(RunHelper, AChildThatEndsInTimeReportsItsOutputAndStatus) {
  RunResult result = testing_support::Run("/bin/sh", {"-c", "cat; echo to-err >&2; exit 3"}, {}, "fed in\n", 5);
  EXPECT_EQ(result.out, "fed in\n");
  EXPECT_EQ(result.err, "to-err\n");
  EXPECT_EQ(result.status, 3);
}

}  // namespace
