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

#include "services/path_helpers.h"
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
    if (services >= end_after_services) return end_state;
    return ConsoleState::kOpen;
  }

  std::vector<std::size_t> pieces;
  std::string bytes;
  std::size_t pending = 0;
  int wake_fd = -1;
  int services = 0;
  int drain_after_services = 0;
  int end_after_services = 1 << 30;
  ConsoleState end_state = ConsoleState::kOpen;
  int writes_while_backed_up = 0;
};

class ProcessEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { SetChildStdio(ChildStdio{}); }

  // Runs the test child with the given parameters template for one entry.
  EntryOutcome Run(const std::string& parameters, const std::string& full_path = "/data/x.txt",
                   const std::string& destination = "/copy/") {
    Settings settings;
    settings.command = TestChild();
    settings.parameters = parameters;
    return ProcessEntry(settings, full_path, destination, hooks);
  }

  static std::string Pattern(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 65536 & 0xFF);
    return bytes;
  }

  RecordingConsole console;
  JobHooks hooks{&console, {}};
};

TEST_F(ProcessEntryTest, OutputMovesInPiecesOfAtMostOneChunk) {
  struct Case {
    int bytes;
    std::vector<std::size_t> pieces;
  };
  for (const Case& c : {Case{4096, {4096}}, Case{4097, {4096, 1}}, Case{8192, {4096, 4096}}}) {
    console.pieces.clear();
    console.bytes.clear();
    // The child writes everything at once and then waits, so one poll sees all of it.
    EXPECT_EQ(Run("bytes " + std::to_string(c.bytes) + " sleep 100"), EntryOutcome::kDone);
    EXPECT_EQ(console.pieces, c.pieces) << c.bytes << " bytes";
    EXPECT_EQ(console.bytes, Pattern(static_cast<std::size_t>(c.bytes)));
  }
}

TEST_F(ProcessEntryTest, EveryByteArrivesUnchangedAndInOrder) {
  EXPECT_EQ(Run("text \"a\r\nb\xff\" bytes 3000000 text end"), EntryOutcome::kDone);
  ASSERT_EQ(console.bytes.size(), 5 + 3000000u + 3);
  EXPECT_EQ(console.bytes.substr(0, 5), "a\r\nb\xff");
  EXPECT_EQ(console.bytes.substr(5, 3000000), Pattern(3000000));
  EXPECT_EQ(console.bytes.substr(5 + 3000000), "end");
  for (std::size_t piece : console.pieces) EXPECT_LE(piece, OutputChunkSize);
}

TEST_F(ProcessEntryTest, SilentQuickAndStderrOnlyChildrenWriteNothing) {
  EXPECT_EQ(Run("sleep 150"), EntryOutcome::kDone);
  EXPECT_EQ(Run(""), EntryOutcome::kDone);  // exits before the first poll
  // Standard error goes to the program's own stream, not through the console.
  EXPECT_EQ(Run("stderr \"(expected) child error output\n\""), EntryOutcome::kDone);
  EXPECT_TRUE(console.pieces.empty());
}

TEST_F(ProcessEntryTest, CommandThatCannotStartIsPassedOverSilently) {
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
  struct Case {
    std::string name;  // the file name in /d/
    std::string base;  // what "%n" gives
  };
  const std::vector<Case> cases = {
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
  for (const Case& c : cases) {
    console.bytes.clear();
    const std::string full = "/d/" + c.name;
    EXPECT_EQ(Run("args0 before %f \"q %n\" after", full), EntryOutcome::kDone);
    const std::string expected =
        std::string("before") + '\0' + full + '\0' + "q " + c.base + '\0' + "after" + '\0';
    EXPECT_EQ(console.bytes, expected) << c.name;
  }
}

TEST_F(ProcessEntryTest, AppDirInTheCommandStartsAProgramBesideUs) {
  // The test binaries and the test child live in one build tree; reach the child from ours.
  const std::string relative = std::filesystem::relative(TestChild(), ProgramFolder()).string();
  Settings settings;
  settings.command = "%APPDIR%" + relative;
  settings.parameters = "text %n";
  EXPECT_EQ(ProcessEntry(settings, "/d/ok.txt", "", hooks), EntryOutcome::kDone);
  EXPECT_EQ(console.bytes, "ok");
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

// How long ProcessEntry takes to come back when the console ends during a long child.
double SecondsToEnd(JobHooks& hooks, const std::string& parameters) {
  Settings settings;
  settings.command = TestChild();
  settings.parameters = parameters;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ProcessEntry(settings, "/d/x", "", hooks), EntryOutcome::kConsoleEnded);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ProcessEntryTest, InterruptedConsoleStopsTheChild) {
  console.end_after_services = 2;
  console.end_state = ConsoleState::kInterrupted;
  // Without the signal the child would sleep for a minute.
  EXPECT_LT(SecondsToEnd(hooks, "text started sleep 60000"), 30.0);
  EXPECT_EQ(console.bytes, "started");
}

TEST_F(ProcessEntryTest, ClosedConsoleKillsAChildThatIgnoresSignals) {
  console.end_after_services = 1;
  console.end_state = ConsoleState::kClosed;
  const double seconds = SecondsToEnd(hooks, "ignore sleep 60000");
  EXPECT_GE(seconds, 1.5);  // it was given its grace time first
  EXPECT_LT(seconds, 30.0);
}

// Members of process group pgid that have not ended.
int LiveGroupMembers(int pgid) {
  int live = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    if (!std::getline(in, stat)) continue;
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0, pgrp = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) != 3) continue;
    if (pgrp == pgid && state != 'Z' && state != 'X') ++live;
  }
  return live;
}

TEST_F(ProcessEntryTest, ClosedConsoleSignalsTheWholeGroupOfAGroupLeader) {
  SetChildStdio(ChildStdio{-1, -1, true});
  console.end_after_services = 2;
  console.end_state = ConsoleState::kClosed;
  // The background grandchild holds the pipe; the hang-up reaches it through the group.
  EXPECT_LT(SecondsToEnd(hooks, "pid background 60000 late sleep 60000"), 30.0);
  SetChildStdio(ChildStdio{});
  const int pgid = std::atoi(console.bytes.c_str());
  ASSERT_GT(pgid, 0) << console.bytes;
  for (int i = 0; i < 100 && LiveGroupMembers(pgid) > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(LiveGroupMembers(pgid), 0);
}

}  // namespace
}  // namespace wendrix
