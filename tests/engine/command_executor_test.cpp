// Running a job's commands, one or several at once: their output in walk order as if run one
// after another, their input /dev/null when several, what the front end is told, and how the
// console's end stops them.
#include "engine/command_executor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "engine/job_run.h"
#include "recording_console.h"
#include "test_support.h"
#include "virtual_clock.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::TestChild;

class ExecutorTest : public ::testing::Test {
 protected:
  // The console ends in end_state once starts_before_end commands have been started and some
  // output has come.
  ExecutorTest() {
    console.state = [this] {
      return starts >= starts_before_end && !console.bytes.empty() ? end_state
                                                                   : ConsoleState::kOpen;
    };
    hooks.command_starting = [this](const std::string& full_path,
                                    const std::vector<std::string>& argv) {
      ++starts;
      last_start = argv;
      last_start.push_back(full_path);
    };
    hooks.output_starting = [this](const std::string& full_path) {
      told_output +=
          full_path.substr(dir.Path().size()) + ":" + std::to_string(console.bytes.size()) + " ";
    };
    hooks.command_ended = [this](const std::string& full_path, const CommandOutcome& outcome) {
      ended.push_back(full_path.substr(dir.Path().size()));
      outcomes.push_back(outcome);
    };
    hooks.error_output = [this](const char* data, std::size_t length) {
      errors.append(data, length);
    };
  }

  JobOutcome Run(int jobs, const std::string& parameters, const std::string& command = "") {
    console.Clear();
    starts = 0;
    ended.clear();
    outcomes.clear();
    errors.clear();
    told_output.clear();
    hooks.jobs = jobs;
    return RunJob(Settings{dir.Path(), "", 1, 0, out.Path(),
                           command.empty() ? TestChild() : command, parameters},
                  hooks);
  }

  void MakeFiles(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
      fs::create_directories(fs::path(dir / file).parent_path());
      testing::WriteFile(dir / file, "");
    }
  }

  testing::TempDir dir, out;
  testing::RecordingConsole console;
  JobHooks hooks{&console, {}};
  std::vector<std::string> ended;
  std::vector<CommandOutcome> outcomes;
  std::string errors;
  std::string told_output;              // "entry:bytes written before its output " for each
  std::vector<std::string> last_start;  // the argument vector, then the full path
  int starts = 0;
  int starts_before_end = 0;
  ConsoleState end_state = ConsoleState::kOpen;
};

TEST_F(ExecutorTest, OutputIsWhatOneAtATimeGivesWithErrorsHeldInWalkOrderToo) {
  // The name is how long a command pauses between its lines, the extension how many bytes it
  // writes between them: the first command is the slowest, and one writes more than is held in
  // memory while an earlier one still runs. Each first tells whether its Mirrored folder exists.
  const std::vector<std::string> walk_order = {"100", "20",  "3.3000000",   "40",
                                               "5",   "s/0", "s/60.100000", "s/7.1500000"};
  MakeFiles(walk_order);
  const std::string parameters =
      "isdir %d echo %n-a sleep %n bytes \"%e\" sleep %n echo %n-b stderr %n-e";
  ASSERT_EQ(Run(1, parameters), JobOutcome::kFinished);
  const std::string one_at_a_time = console.bytes;
  ASSERT_EQ(one_at_a_time.substr(0, 10), "yes\n100-a\n");
  EXPECT_EQ(one_at_a_time.size(), 4'600'000 + 106);
  const std::string told_one_at_a_time = told_output;
  EXPECT_EQ(told_output.substr(0, 12), "100:0 20:16 ");

  for (int jobs : {2, 4, 8}) {
    ASSERT_EQ(Run(jobs, parameters), JobOutcome::kFinished);
    EXPECT_TRUE(console.bytes == one_at_a_time) << jobs << " jobs: " << console.bytes.size();
    EXPECT_EQ(told_output, told_one_at_a_time) << jobs << " jobs";
    EXPECT_EQ(errors, "100-e20-e3-e40-e5-e0-e60-e7-e") << jobs << " jobs";
    // Told as they end, so in any order; each once.
    std::ranges::sort(ended);
    EXPECT_EQ(ended, walk_order) << jobs << " jobs";
    for (const CommandOutcome& outcome : outcomes)
      EXPECT_TRUE(outcome.started && outcome.wait_status == 0) << jobs << " jobs";
  }
}

TEST_F(ExecutorTest, EndedConsoleStopsEveryRunningCommandAndTheRun) {
  MakeFiles({"a", "b", "c", "d", "e", "f"});
  const struct {
    ConsoleState state;
    std::function<int(ConsoleState)> ending_signal;
    const char* parameters;
    int expected_signal;
  } cases[] = {
      {ConsoleState::kInterrupted, {}, "echo %n sleep 60000", SIGINT},
      {ConsoleState::kClosed, {}, "echo %n sleep 60000", SIGHUP},
      {ConsoleState::kClosed, [](ConsoleState) { return SIGTERM; }, "echo %n sleep 60000", SIGTERM},
      // One that ignores the request is killed after its grace time, two seconds.
      {ConsoleState::kClosed, {}, "ignore echo %n sleep 60000", SIGKILL},
  };
  testing::VirtualClock clock;
  for (const int jobs : {1, 4})
    for (const auto& c : cases) {
      SCOPED_TRACE(c.parameters + std::string(" -j ") + std::to_string(jobs));
      end_state = c.state;
      hooks.ending_signal = c.ending_signal;
      starts_before_end = jobs;
      const std::int64_t start = clock.NowMs();
      EXPECT_EQ(Run(jobs, c.parameters), JobOutcome::kConsoleEnded);
      EXPECT_GE(clock.NowMs() - start, c.expected_signal == SIGKILL ? 2000 : 0);
      // Each started one was reaped, so none runs on or stays a zombie; no more were started.
      EXPECT_EQ(starts, jobs);
      std::vector<std::string> names_ended = ended;
      std::ranges::sort(names_ended);
      std::vector<std::string> started{"a", "b", "c", "d"};
      started.resize(static_cast<std::size_t>(jobs));
      ASSERT_EQ(names_ended, started);
      for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const int status = outcomes[i].wait_status;
        const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        // The first has ignored the hang-up before it wrote; a later one may not have got so far.
        const bool may_not_have_ignored = c.expected_signal == SIGKILL && ended[i] != "a";
        EXPECT_TRUE(signal == c.expected_signal || (may_not_have_ignored && signal == SIGHUP))
            << "command " << i << " status " << status;
      }
      // What they wrote before their end still comes out, in walk order: the first one's line,
      // then those of the others that got so far.
      EXPECT_EQ(console.bytes.rfind("a\n", 0), 0u) << console.bytes;
      std::string names = console.bytes;
      std::erase(names, '\n');
      EXPECT_TRUE(std::ranges::is_sorted(names) && std::ranges::adjacent_find(names) == names.end())
          << console.bytes;
    }
}

TEST_F(ExecutorTest, FrontEndHearsOfCommandsThatDidNotStartAndStopsThem) {
  // How commands ended, at -j 1 and 3, is what wendrix-run's transcript shows.
  MakeFiles({"a.0", "b.4", "c.0"});
  for (int jobs : {1, 3}) {
    // Those that cannot start are told at once, so in walk order.
    ASSERT_EQ(Run(jobs, "%f", dir / "missing"), JobOutcome::kFinished);
    EXPECT_EQ(ended, (std::vector<std::string>{"a.0", "b.4", "c.0"})) << jobs << " jobs";
    EXPECT_EQ(last_start, (std::vector<std::string>{dir / "missing", dir / "c.0", dir / "c.0"}));
    EXPECT_EQ(told_output, "") << "told of output that never came";
    // A front end that wants no more starts none; the running ones end and their output comes.
    hooks.keep_going = [this] { return starts < 2; };
    EXPECT_EQ(Run(jobs, "sleep 50 echo %n"), JobOutcome::kFinished);
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(console.bytes, "a\nb\n");
    std::ranges::sort(ended);
    EXPECT_EQ(ended, (std::vector<std::string>{"a.0", "b.4"})) << jobs << " jobs";
    hooks.keep_going = {};
  }
}

TEST_F(ExecutorTest, FrontEndThatStopsAtTheFirstFailureHearsItBeforeTheSlowerOneBeforeItEnds) {
  // The extension is the operation: a waits until its release file exists, b and c fail at
  // once (an unknown operation). The release comes when c is asked for: a front end that stops
  // at the first failure must know of b's by then, though a is still running. Those running
  // then end, and their output, read from /dev/null, comes whole in walk order.
  MakeFiles({"a.waitfor", "b.fail", "c.fail"});
  hooks.keep_going = [&] {
    if (starts == 2) testing::WriteFile(dir / "a", "");
    return std::ranges::all_of(outcomes,
                               [](const CommandOutcome& o) { return o.wait_status == 0; });
  };
  // Our own standard input a pipe, as a terminal or a file would be: theirs is still /dev/null.
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const int saved_input = dup(STDIN_FILENO);
  dup2(input[0], STDIN_FILENO);
  EXPECT_EQ(Run(2, "stdin echo %n %e %p%n"), JobOutcome::kFinished);
  dup2(saved_input, STDIN_FILENO);
  for (int fd : {saved_input, input[0], input[1]}) close(fd);
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(ended, (std::vector<std::string>{"b.fail", "a.waitfor"}));
  EXPECT_EQ(console.bytes, "/dev/null\na\n/dev/null\nb\n");
}

TEST_F(ExecutorTest, NeverMoreThanJobsAtOnceAndNothingShownWhileTheConsoleIsBackedUp) {
  // The first four wait until the fifth is asked for, so a fifth started before one of them had
  // ended would find four running. The console is backed up until all have ended: until then
  // nothing may be written to it, neither as it comes nor from what is held.
  MakeFiles({"a", "b", "c", "d", "e"});
  std::size_t most_running = 0;
  bool shown_early = false;
  hooks.keep_going = [&] {
    most_running = std::max(most_running, static_cast<std::size_t>(starts) - ended.size());
    return true;
  };
  console.backlog = [&] { return ended.size() < 5 ? std::size_t{1} << 30 : 0; };
  console.state = [&] {
    if (starts == 4) testing::WriteFile(out / "go", "");
    shown_early |= !console.bytes.empty() && ended.size() < 5;
    return ConsoleState::kOpen;
  };
  EXPECT_EQ(Run(4, "waitfor " + out / "go" + " echo %n"), JobOutcome::kFinished);
  EXPECT_EQ(most_running, 3u);
  EXPECT_FALSE(shown_early);
  EXPECT_EQ(console.bytes, "a\nb\nc\nd\ne\n");
}

TEST_F(ExecutorTest, WhatACommandWritesOnItsTurnComesAfterWhatWasHeldOfIt) {
  // b has written more than one pass shows when a ends; once its held output is being shown it
  // writes a last line, which must wait behind the rest of what is held.
  MakeFiles({"a.0", "b.3000000"});
  testing::WriteFile(out / "go-b", "");
  testing::WriteFile(out / "turn-a", "");
  console.state = [&] {
    if (fs::exists(out / "held-b")) testing::WriteFile(out / "go-a", "");
    return ConsoleState::kOpen;
  };
  hooks.output_starting = [&](const std::string& full_path) {
    if (full_path == dir / "a.0") return;
    testing::WriteFile(out / "turn-b", "");
    EXPECT_TRUE(testing::WaitUntil([&] { return fs::exists(out / "last-b"); }));
  };
  const std::string o = out.Path() + "/";
  EXPECT_EQ(Run(2, "waitfor " + o + "go-%n bytes %e touch " + o + "held-%n waitfor " + o +
                       "turn-%n echo %n-last touch " + o + "last-%n"),
            JobOutcome::kFinished);
  EXPECT_EQ(console.bytes.size(), 3'000'014u);
  EXPECT_EQ(console.bytes.substr(0, 7) + console.bytes.substr(console.bytes.size() - 7),
            "a-last\nb-last\n");
}

}  // namespace
}  // namespace wendrix
