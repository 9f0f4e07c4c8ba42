#include "engine/entry_processing.h"

#include "engine/command_executor.h"
#include "engine/command_line.h"

namespace wendrix {

EntryOutcome ProcessEntry(const Settings& settings, const std::string& full_path,
                          const std::string& destination_path, JobHooks& hooks,
                          CommandOutcome* outcome) {
  CommandOutcome ignored;
  if (outcome == nullptr) outcome = &ignored;
  *outcome = CommandOutcome{};
  if (hooks.console == nullptr) return EntryOutcome::kDone;
  CommandExecutor executor(hooks, 1);
  const EntryOutcome started = executor.Start(
      BuildCommandLine(settings.command, settings.parameters, full_path, destination_path),
      full_path, outcome);
  const EntryOutcome finished = executor.Finish();
  return started == EntryOutcome::kConsoleEnded ? started : finished;
}

}  // namespace wendrix
