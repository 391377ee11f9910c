// Helpers shared by the storage tests: capture of engine errors and forked child processes.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/storage/file_layer.h"

namespace tabula {

// A child's result when its body raised an engine error: kRaised + the error's code.
inline constexpr std::int64_t kRaised = 100000;

// The engine code an action raises, 0 when it raises nothing; `index` and `field` (when given)
// receive the error's index and field names.
inline std::uint16_t ErrorOf(const std::function<void()>& action, std::string* index = nullptr,
                             std::string* field = nullptr) {
  try {
    action();
  } catch (const ETabulaEngineError& error) {
    if (index != nullptr) *index = error.ErrorIndexName();
    if (field != nullptr) *field = error.ErrorFieldName();
    return error.ErrorCode();
  }
  return 0;
}

// Runs `body` in a forked child with an empty file list of its own and returns its result. An
// engine error in the child comes back as kRaised + its code, any other exception as -2; a child
// that reports nothing gives -4.
inline std::int64_t RunInChild(const std::function<std::int64_t()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return -10;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -11;
  }
  if (pid == 0) {
    close(fds[0]);
    TFileList::ForgetAfterFork();
    std::int64_t result = -1;
    try {
      result = body();
    } catch (const ETabulaEngineError& error) {
      result = kRaised + error.ErrorCode();
    } catch (...) {
      result = -2;
    }
    const ssize_t written = write(fds[1], &result, sizeof result);
    _exit(written == sizeof result ? 0 : 1);
  }
  close(fds[1]);
  std::int64_t result = -3;
  if (read(fds[0], &result, sizeof result) != sizeof result) result = -4;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return result;
}

}  // namespace tabula
