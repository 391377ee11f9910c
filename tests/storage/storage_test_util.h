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

// A forked child with an empty file list of its own, running `body`; its result comes back
// through a pipe. An engine error in the child comes back as kRaised + its code, any other
// exception as -2; a child that reports nothing gives -4, one that could not be started -10.
// With `go` (a pipe) the child first waits until the parent closes the pipe's writing end, so
// that several children start together.
class TChild {
 public:
  explicit TChild(const std::function<std::int64_t()>& body, const int* go = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ < 0) {
      close(fds[0]);
      close(fds[1]);
      return;
    }
    if (pid_ == 0) {
      close(fds[0]);
      TFileList::ForgetAfterFork();
      if (go != nullptr) {
        close(go[1]);
        char byte;
        while (read(go[0], &byte, 1) > 0) {
        }
      }
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
    result_fd_ = fds[0];
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;
  ~TChild() {
    if (result_fd_ >= 0) Wait();
  }
  pid_t Pid() const { return pid_; }
  // The child's result; waits for it to end. Once only.
  std::int64_t Wait() {
    if (result_fd_ < 0) return -10;
    std::int64_t result = -3;
    if (read(result_fd_, &result, sizeof result) != sizeof result) result = -4;
    close(result_fd_);
    result_fd_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    return result;
  }

 private:
  pid_t pid_ = -1;
  int result_fd_ = -1;
};

// Runs `body` in a forked child (see TChild) and returns its result.
inline std::int64_t RunInChild(const std::function<std::int64_t()>& body) {
  return TChild(body).Wait();
}

}  // namespace tabula
