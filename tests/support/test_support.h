// Helpers shared by the tests: a temporary folder that removes itself, whole-file reads and
// writes, one wait for a condition, the test's own program folder, and a skip that CI refuses.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace wendrix::testing {

inline const char* TestChild() { return WENDRIX_TEST_CHILD; }

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's path with a trailing "/".
  std::string Path() const { return path_ + "/"; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

// Polls done until it holds or timeout_ms passed; true when it held. The timeout is a bound
// for a stuck run, never a measurement: keep it generous.
bool WaitUntil(const std::function<bool()>& done, std::int64_t timeout_ms = 60000);

// Whether a live process (not a zombie) holds text in /proc/PID/file ("cmdline", "environ").
bool LiveProcessHolding(const std::string& text, const std::string& file);

// The folder of the running test program, with a trailing "/", from /proc/self/exe.
std::string ThisProgramFolder();

// True when the CI variable is set: the environment promises everything the tests need.
bool UnderCi();

}  // namespace wendrix::testing

// Skips the test unless cond holds; under CI the missing condition is a failure instead, as CI
// provides what the test needs (scripts/test.sh runs a virtual display).
#define WENDRIX_SKIP_UNLESS(cond, why)                                      \
  do {                                                                      \
    if (!(cond)) {                                                          \
      if (::wendrix::testing::UnderCi()) FAIL() << "CI lacks: " << (why);   \
      GTEST_SKIP() << (why);                                                \
    }                                                                       \
  } while (false)
