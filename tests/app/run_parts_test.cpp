// wendrix-run's parts on their own: the command line, the progress text and the summary (the
// help screen is held against the option table by tests/packaging/options_test.sh).
#include <gtest/gtest.h>

#include "console_title.h"
#include "run_options.h"
#include "run_progress.h"
#include "run_report.h"

namespace wendrix {
namespace {

using Args = std::vector<std::string>;

// The values each option sets, and "--" before a file, are in wendrix-run's transcript; the
// number of jobs it cannot show.
TEST(RunOptions, JobsInEveryForm) {
  const std::pair<Args, int> cases[] = {
      {{"-j0"}, 0}, {{"--jobs", "12"}, 12}, {{"--jobs=3"}, 3}, {{"-j", "2", "f.ini"}, 2}};
  for (const auto& [args, jobs] : cases) EXPECT_EQ(ParseRunOptions(args).options.jobs, jobs);
}

TEST(RunProgress, TextCountsTimesAndEstimatesFromThePaceSoFar) {
  EXPECT_EQ(ProgressText(30, 120, 2, 10'000),
            "30/120 done, 2 failed, 0:10 elapsed, about 0:30 left");
  EXPECT_EQ(ProgressText(1, 3, 0, 3'599'000),
            "1/3 done, 0 failed, 59:59 elapsed, about 1:59:58 left");
  // A tree that grew since it was counted.
  EXPECT_EQ(ProgressText(5, 4, 0, 61'000), "5/5 done, 0 failed, 1:01 elapsed");
}

TEST(RunReport, SummaryNamesWhatWentWrong) {
  ProgressLine progress(-1, false, 0);
  RunReport report("prog", progress);
  report.CommandEnded({true, 0, 0});
  report.CommandEnded({true, 0, 256});  // exit status 1
  report.CommandEnded({true, 0, 9});    // killed
  report.CommandEnded({false, 2, 0});
  report.FolderUnlisted("/x/", 13);
  report.FolderUnlisted("/y/", 13);
  report.FolderNotMade("/z/", 28);
  EXPECT_EQ(report.Summary(15, 32),
            "stopped by SIGTERM, the output could not be written (Broken pipe), 3 of 4 commands "
            "failed (1 could not be started), 2 folders could not be listed, 1 folder could not "
            "be created");
}

TEST(ConsoleTitle, StartedCountAndEntryAtMostEvery100MsThenWhatRanAndFailed) {
  std::vector<std::string> titles;
  ConsoleTitle title([&](const std::string& text) { titles.push_back(text); });
  title.Starting("/d/a\033]0;x\a", 1000);  // control bytes cannot end the title's sequence
  title.Ended({true, 0, 0});
  title.Starting("/d/b", 1050);  // held until 100 ms have passed
  title.Ended({true, 0, 256});
  title.Idle(1080);
  EXPECT_EQ(titles.size(), 1u);
  title.Idle(1100);
  title.Starting("/d/c", 1300);
  title.Ended({false, 2, 0});
  title.RunEnded();
  title.Starting("/d/d", 1400);  // the next run counts from one
  EXPECT_EQ(titles, (std::vector<std::string>{
                        "Wendrix console - 1 command started - /d/a?]0;x?",
                        "Wendrix console - 2 commands started - /d/b",
                        "Wendrix console - 3 commands started - /d/c",
                        "Wendrix console - 3 commands, 1 failed, 1 could not be started",
                        "Wendrix console - 1 command started - /d/d"}));
}

}  // namespace
}  // namespace wendrix
