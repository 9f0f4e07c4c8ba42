// Helpers shared by the tests: a temporary folder that removes itself, whole-file reads and
// writes, one wait for a condition, the test's own program folder, and a skip that CI refuses.
#pragma once

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace wendrix::testing {

inline const char* TestChild() { return WENDRIX_TEST_CHILD; }

// Runs a shell command line with standard input /dev/null: its exit status (-1 when a signal
// ended it) and its standard output.
inline std::pair<int, std::string> RunShell(const std::string& line) {
  FILE* pipe = popen(("exec </dev/null; " + line).c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// What the test child's "bytes count" writes: byte k is k ^ k >> 8 ^ k >> 16, so that no
// shorter run repeats and a piece out of place shows.
inline std::string ChildBytes(std::size_t count) {
  std::string bytes(count, '\0');
  for (std::size_t k = 0; k < count; ++k) bytes[k] = static_cast<char>(k ^ k >> 8 ^ k >> 16);
  return bytes;
}

class TempDir {
 public:
  TempDir() {
    path_ = (std::filesystem::temp_directory_path() / "wendrix-test-XXXXXX").string();
    if (mkdtemp(path_.data()) == nullptr) std::abort();
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Give back permissions a test took away, so that everything can be removed.
    for (auto it = fs::recursive_directory_iterator(
             path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's path with a trailing "/".
  std::string Path() const { return path_ + "/"; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string ReadFile(const std::string& path) {
  std::stringstream buffer;
  buffer << std::ifstream(path, std::ios::binary).rdbuf();
  return buffer.str();
}

// Polls done until it holds or timeout_ms passed; true when it held. The timeout is a bound
// for a stuck run, never a measurement: keep it generous. Real time even when a test has put
// in a clock of its own: this waits for other processes.
inline bool WaitUntil(const std::function<bool()>& done, std::int64_t timeout_ms = 60000) {
  for (std::int64_t waited = 0; waited < timeout_ms; waited += 10) {
    if (done()) return true;
    usleep(10000);
  }
  return done();
}

// True while an ended child of ours waits to be reaped (peeked at, not reaped).
inline bool HasZombieChild() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// Whether a live process (not a zombie) holds text in /proc/PID/file ("cmdline", "environ").
inline bool LiveProcessHolding(const std::string& text, const std::string& file) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    if (ReadFile(entry.path() / file).find(text) != std::string::npos) return true;
  }
  return false;
}

// The folder of the running test program, with a trailing "/", from /proc/self/exe.
inline std::string ThisProgramFolder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  const std::string program(path, static_cast<std::size_t>(length));
  return program.substr(0, program.rfind('/') + 1);
}

// True when the CI variable is set: the environment promises everything the tests need.
inline bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0' && std::string(ci) != "0" && std::string(ci) != "false";
}

}  // namespace wendrix::testing

// Skips the test unless cond holds; under CI the missing condition is a failure instead, as CI
// provides what the test needs (scripts/test.sh runs a virtual display).
#define WENDRIX_SKIP_UNLESS(cond, why)                                    \
  do {                                                                    \
    if (!(cond)) {                                                        \
      if (::wendrix::testing::UnderCi()) FAIL() << "CI lacks: " << (why); \
      GTEST_SKIP() << (why);                                              \
    }                                                                     \
  } while (false)
