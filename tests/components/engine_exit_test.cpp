#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "components/tabula.h"

namespace tabula {
namespace {

// A program that ends with the default session still active shuts the engine down from the
// session list's static destructor; that must neither hang nor touch freed objects.
TEST(EngineExitTest, ProcessEndsWithTheDefaultSessionActive) {
  const pid_t child = ::fork();
  if (child == 0) {
    // Nothing engine-wide exists yet when this test runs by itself (as CTest runs it), so the
    // session list is built before the engine's own process-wide objects, as in the tool.
    Sessions().DefaultSession().Open();
    std::exit(Sessions().DefaultSession().Active() ? 0 : 3);  // runs the static destructors
  }
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; waited < 300 && done == 0; ++waited) {  // at most about 30 s
    done = ::waitpid(child, &status, WNOHANG);
    if (done == 0) ::usleep(100000);
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the process hung at exit";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tabula
