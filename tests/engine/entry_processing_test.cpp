#include "engine/entry_processing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "services/program_runner.h"
#include "test_support.h"

namespace wendrix {
namespace {

using testing::TempDir;
using testing::TestChild;

// Records every write; can pretend to be backed up, and can end when told.
class RecordingConsole : public Console {
 public:
  int Open() override { return 1; }
  std::int64_t Write(const char* data, std::size_t length) override {
    if (pending > 0) writes_while_backed_up++;
    pieces.push_back(length);
    bytes.append(data, length);
    return static_cast<std::int64_t>(length);
  }
  std::size_t Pending() const override { return pending; }
  void AddWaitDescriptors(std::vector<pollfd>& fds) const override {
    if (wake_fd >= 0) fds.push_back({wake_fd, POLLIN, 0});
  }
  ConsoleState Service() override {
    ++services;
    if (services >= drain_after_services) pending = 0;
    // Ends once the child has shown that it is ready.
    if (!bytes.empty()) return end_state;
    return ConsoleState::kOpen;
  }

  std::vector<std::size_t> pieces;
  std::string bytes;
  std::size_t pending = 0;
  int wake_fd = -1;
  int services = 0;
  int drain_after_services = 0;
  ConsoleState end_state = ConsoleState::kOpen;
  int writes_while_backed_up = 0;
};

class ProcessEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { SetChildStdio(ChildStdio{}); }
  void TearDown() override { SetChildStdio(ChildStdio{}); }

  // Runs the test child with the given parameters template for one entry.
  EntryOutcome Run(const std::string& parameters, const std::string& full_path = "/data/x.txt") {
    Settings settings;
    settings.command = TestChild();
    settings.parameters = parameters;
    return ProcessEntry(settings, full_path, "/copy/", hooks);
  }

  // How long the run takes to come back when the console ends during a long child.
  double SecondsToEnd(const std::string& parameters) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(parameters), EntryOutcome::kConsoleEnded);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  static std::string Pattern(std::size_t count) {  // what the child's "bytes" writes
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i & 0xFF);
    return bytes;
  }

  RecordingConsole console;
  JobHooks hooks{&console, {}};
};

TEST_F(ProcessEntryTest, OutputArrivesUnchangedInPiecesOfAtMostOneChunk) {
  // The child writes everything at once and then waits, so one poll sees all of it.
  const std::vector<std::pair<int, std::vector<std::size_t>>> cases = {
      {4096, {4096}}, {4097, {4096, 1}}, {8192, {4096, 4096}}};
  for (const auto& [count, pieces] : cases) {
    console.pieces.clear();
    console.bytes.clear();
    EXPECT_EQ(Run("bytes " + std::to_string(count) + " sleep 100"), EntryOutcome::kDone);
    EXPECT_EQ(console.pieces, pieces) << count << " bytes";
    EXPECT_EQ(console.bytes, Pattern(static_cast<std::size_t>(count)));
  }
  console.bytes.clear();
  EXPECT_EQ(Run("text \"a\r\nb\xff\" bytes 3000000 text end"), EntryOutcome::kDone);
  EXPECT_TRUE(console.bytes == "a\r\nb\xff" + Pattern(3000000) + "end");
}

TEST_F(ProcessEntryTest, SilentOrUnstartableCommandsWriteNothing) {
  EXPECT_EQ(Run("sleep 150"), EntryOutcome::kDone);
  EXPECT_EQ(Run(""), EntryOutcome::kDone);  // exits before the first poll
  // Standard error goes to the program's own stream, not through the console.
  EXPECT_EQ(Run("stderr \"(expected) child error output\n\""), EntryOutcome::kDone);
  TempDir dir;
  testing::WriteFile(dir / "script", "#!/bin/sh\necho hi\n");  // not executable
  for (const std::string& command : {dir / "missing", dir.Path(), dir / "script", std::string()}) {
    Settings settings;
    settings.command = command;
    EXPECT_EQ(ProcessEntry(settings, "/data/x", "", hooks), EntryOutcome::kDone) << command;
  }
  EXPECT_TRUE(console.pieces.empty());
}

TEST_F(ProcessEntryTest, AwkwardNamesArriveAsOneIntactArgument) {
  // Each file name in /d/, and what "%n" gives for it.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"with space.txt", "with space"},
      {"double\"quote\".txt", "double\"quote\""},
      {"single'quote'.txt", "single'quote'"},
      {"-leading-dash", "-leading-dash"},
      {"new\nline", "new\nline"},
      {"has%d.txt", "has%d"},
      {"has%f%t.txt", "has%f%t"},
      {"\xff\xfe-not-utf8", "\xff\xfe-not-utf8"},
      {"back\\slash\\\".txt", "back\\slash\\\""},
      {"tab\tand  blanks", "tab\tand  blanks"},
  };
  for (const auto& [name, base] : cases) {
    console.bytes.clear();
    const std::string full = "/d/" + name;
    EXPECT_EQ(Run("args0 before %f \"q %n\" after", full), EntryOutcome::kDone);
    const std::string expected =
        std::string("before") + '\0' + full + '\0' + "q " + base + '\0' + "after" + '\0';
    EXPECT_EQ(console.bytes, expected) << name;
  }
}

TEST_F(ProcessEntryTest, IdleHookRunsWhileTheChildIsSilent) {
  int idle_calls = 0;
  hooks.idle = [&] { ++idle_calls; };
  EXPECT_EQ(Run("sleep 400"), EntryOutcome::kDone);
  // Every 50 ms at the latest would be 8; leave room for a loaded machine.
  EXPECT_GE(idle_calls, 3);
}

TEST_F(ProcessEntryTest, WaitsForABackedUpConsoleBeforeReadingMore) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  ASSERT_EQ(write(pipe_fds[1], "x", 1), 1);  // the console's descriptor keeps waking the wait
  console.wake_fd = pipe_fds[0];
  console.pending = std::size_t{4} << 20;
  console.drain_after_services = 5;
  EXPECT_EQ(Run("text hello"), EntryOutcome::kDone);
  EXPECT_EQ(console.bytes, "hello");
  EXPECT_EQ(console.writes_while_backed_up, 0);
  EXPECT_GE(console.services, 5);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST_F(ProcessEntryTest, InterruptedConsoleStopsTheChild) {
  console.end_state = ConsoleState::kInterrupted;
  // Without the signal the child would sleep for a minute.
  EXPECT_LT(SecondsToEnd("text started sleep 60000"), 30.0);
  EXPECT_EQ(console.bytes, "started");

  console.bytes.clear();
  console.end_state = ConsoleState::kClosed;
  const double seconds = SecondsToEnd("ignore text ready sleep 60000");
  EXPECT_GE(seconds, 1.5);  // a child that ignores the hang-up gets its grace time, then a kill
  EXPECT_LT(seconds, 30.0);
}

// Members of process group pgid that have not ended.
int LiveGroupMembers(int pgid) {
  int live = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    char state = 0;
    int ppid = 0, pgrp = 0;
    if (std::getline(in, stat) && stat.rfind(')') != std::string::npos &&
        std::sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
        pgrp == pgid && state != 'Z' && state != 'X') {
      ++live;
    }
  }
  return live;
}

TEST_F(ProcessEntryTest, ClosedConsoleSignalsTheWholeGroupOfAGroupLeader) {
  SetChildStdio(ChildStdio{-1, -1, true});
  console.end_state = ConsoleState::kClosed;
  // The background grandchild holds the pipe; the hang-up reaches it through the group.
  EXPECT_LT(SecondsToEnd("background 60000 late pid sleep 60000"), 30.0);
  const int pgid = std::atoi(console.bytes.c_str());
  ASSERT_GT(pgid, 0) << console.bytes;
  for (int i = 0; i < 100 && LiveGroupMembers(pgid) > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(LiveGroupMembers(pgid), 0);
}

}  // namespace
}  // namespace wendrix
