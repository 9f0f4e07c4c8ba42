#include "run_report.h"

#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "services/fd_io.h"

namespace wendrix {
namespace {

std::string Plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string SignalName(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation
                                 : "signal " + std::to_string(signal);
}

}  // namespace

void RunReport::CommandEnded(const CommandOutcome& outcome) {
  ++commands_;
  if (!outcome.started) {
    ++failed_;
    ++not_started_;
    if (start_errors_told_.insert(outcome.start_error).second)
      Tell("cannot start " + program_ + ": " + std::strerror(outcome.start_error));
    return;
  }
  const int status = outcome.wait_status;
  if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) ++failed_;
}

void RunReport::FolderUnlisted(const std::string& folder, int error) {
  ++folders_unlisted_;
  Tell("cannot list " + folder + ": " + std::strerror(error));
}

std::string RunReport::Summary(int signal, int output_error) const {
  std::string summary;
  auto add = [&summary](const std::string& piece) {
    summary += (summary.empty() ? "" : ", ") + piece;
  };
  if (signal != 0) add("stopped by " + SignalName(signal));
  if (output_error != 0)
    add(std::string("the output could not be written (") + std::strerror(output_error) + ")");
  if (failed_ > 0 && failed_ == not_started_) {
    add(std::to_string(failed_) + " of " + Plural(commands_, "command", "commands") +
        " could not be started");
  } else if (failed_ > 0) {
    add(std::to_string(failed_) + " of " + Plural(commands_, "command", "commands") + " failed");
    if (not_started_ > 0) summary += " (" + std::to_string(not_started_) + " could not be started)";
  }
  if (folders_unlisted_ > 0)
    add(Plural(folders_unlisted_, "folder", "folders") + " could not be listed");
  if (folders_not_made_ > 0)
    add(Plural(folders_not_made_, "folder", "folders") + " could not be created");
  return summary;
}

void RunReport::FolderNotMade(const std::string& folder, int error) {
  ++folders_not_made_;
  if (folder_errors_told_.insert(error).second)
    Tell("cannot create folder " + folder + ": " + std::strerror(error));
}

void RunReport::Tell(const std::string& line) {
  progress_.Hide();
  const std::string text = "wendrix-run: " + line + "\n";
  if (sink) {
    sink(text);
    return;
  }
  WriteAll(STDERR_FILENO, text, WhenFull::kStop);
}

}  // namespace wendrix
