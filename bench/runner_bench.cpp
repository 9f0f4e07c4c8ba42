// The cost of running one entry's command, against the plainest way to do the same.
//   starts:   2,000 starts of /bin/true through the runner and through ProcessEntry, against a
//             bare posix_spawn + waitpid loop and against find -exec over 2,000 files
//   waiting:  processor time used while the command sleeps 2 s
//   copy:     512 MiB of output copied through ProcessEntry, against "writer | cat" and
//             "writer | dd bs=4096"
// Started as "runner_bench --write-bytes N" it is the writer of the copy measurement.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/entry_processing.h"
#include "services/path_helpers.h"
#include "services/program_runner.h"

extern char** environ;

namespace {

constexpr int kStarts = 2000;
constexpr long long kCopyBytes = 512LL << 20;

// Writes everything to /dev/null, as a console nobody looks at would.
class NullConsole : public wendrix::Console {
 public:
  NullConsole() : fd_(open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
  ~NullConsole() override { close(fd_); }
  int Open() override { return 1; }
  std::int64_t Write(const char* data, std::size_t length) override {
    std::size_t done = 0;
    while (done < length) {
      ssize_t n = write(fd_, data + done, length - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
  }

 private:
  int fd_;
};

int SpawnAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Every way starts /bin/true with one file path, as find -exec does.
std::string FilePath(int i) { return "/data/file" + std::to_string(i) + ".txt"; }

void StartFloor(int count) {
  for (int i = 0; i < count; ++i) SpawnAndWait({"/bin/true", FilePath(i)});
}

void StartChildStart(int count) {
  for (int i = 0; i < count; ++i) {
    const wendrix::ChildHandle child = wendrix::ChildStart(
        "/bin/true", {FilePath(i)}, "", wendrix::ChildKeep | wendrix::ChildPipeOutput);
    while (wendrix::ChildRunning(child.get())) {
      pollfd end{wendrix::ChildEndDescriptor(child.get()), POLLIN, 0};
      poll(&end, end.fd >= 0 ? 1 : 0, 50);
    }
  }
}

void StartProcessEntry(int count, wendrix::JobHooks& hooks) {
  wendrix::Settings settings;
  settings.command = "/bin/true";
  settings.parameters = "\"%f\"";
  for (int i = 0; i < count; ++i) {
    wendrix::ProcessEntry(settings, FilePath(i), "", hooks);
  }
}

// The machine is shared, so the four ways take turns in small batches and each sees the same
// load; the totals cover 2,000 starts each.
void BM_StartCost(benchmark::State& state) {
  constexpr int kRounds = 10;
  constexpr int kBatch = kStarts / kRounds;
  const std::string dir = wendrix::TempFolder() + "wendrix-bench-find";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  for (int i = 0; i < kBatch; ++i) {
    close(open((dir + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  }
  NullConsole console;
  wendrix::JobHooks hooks{&console, [] {}};
  double floor = 0, child_start = 0, process_entry = 0, find = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      auto start = std::chrono::steady_clock::now();
      StartFloor(kBatch);
      floor += Seconds(start);
      start = std::chrono::steady_clock::now();
      StartChildStart(kBatch);
      child_start += Seconds(start);
      start = std::chrono::steady_clock::now();
      StartProcessEntry(kBatch, hooks);
      process_entry += Seconds(start);
      start = std::chrono::steady_clock::now();
      SpawnAndWait({"/usr/bin/find", dir, "-type", "f", "-exec", "/bin/true", "{}", ";"});
      find += Seconds(start);
    }
  }
  std::filesystem::remove_all(dir);
  state.counters["floor_ms"] = floor * 1000;
  state.counters["child_start_ms"] = child_start * 1000;
  state.counters["process_entry_ms"] = process_entry * 1000;
  state.counters["find_ms"] = find * 1000;
  state.counters["child_start_vs_floor"] = child_start / floor;
  state.counters["child_start_vs_find"] = child_start / find;
  state.counters["process_entry_vs_floor"] = process_entry / floor;
  state.counters["process_entry_vs_find"] = process_entry / find;
}

void BM_WaitWhileChildSleeps(benchmark::State& state) {
  NullConsole console;
  long idle_calls = 0;
  wendrix::JobHooks hooks{&console, [&] { ++idle_calls; }};
  wendrix::Settings settings;
  settings.command = "/bin/sleep";
  settings.parameters = "%n";
  double cpu_share = 0;
  for (auto _ : state) {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    wendrix::ProcessEntry(settings, "/seconds/2", "", hooks);
    const double wall = Seconds(start);
    getrusage(RUSAGE_SELF, &after);
    auto seconds = [](const timeval& tv) {
      return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
    };
    const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                       seconds(after.ru_stime) - seconds(before.ru_stime);
    cpu_share = cpu / wall;
  }
  state.counters["cpu_percent"] = cpu_share * 100;
  state.counters["idle_calls"] =
      static_cast<double>(idle_calls) / static_cast<double>(state.iterations());
}

// 512 MiB through ProcessEntry to /dev/null, against "writer | cat" and against a copy in
// pieces of the same 4096 bytes ("writer | dd bs=4096"), taking turns.
void BM_CopyCost(benchmark::State& state) {
  constexpr int kRounds = 3;
  NullConsole console;
  wendrix::JobHooks hooks{&console, [] {}};
  wendrix::Settings settings;
  settings.command = wendrix::ProgramFilePath();
  settings.parameters = "--write-bytes %n";
  const std::string entry = "/bytes/" + std::to_string(kCopyBytes);
  const std::string writer =
      "'" + wendrix::ProgramFilePath() + "' --write-bytes " + std::to_string(kCopyBytes);
  double ours = 0, cat = 0, dd = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      auto start = std::chrono::steady_clock::now();
      wendrix::ProcessEntry(settings, entry, "", hooks);
      ours += Seconds(start);
      start = std::chrono::steady_clock::now();
      SpawnAndWait({"/bin/sh", "-c", writer + " | cat > /dev/null"});
      cat += Seconds(start);
      start = std::chrono::steady_clock::now();
      SpawnAndWait({"/bin/sh", "-c", writer + " | dd bs=4096 of=/dev/null 2>/dev/null"});
      dd += Seconds(start);
    }
  }
  const double mib = static_cast<double>(kCopyBytes >> 20) * kRounds;
  state.counters["process_entry_mib_s"] = mib / ours;
  state.counters["cat_mib_s"] = mib / cat;
  state.counters["dd_mib_s"] = mib / dd;
  state.counters["process_entry_vs_cat"] = ours / cat;
  state.counters["process_entry_vs_dd"] = ours / dd;
}

int WriteBytes(long long count) {
  static char chunk[65536];
  std::memset(chunk, 'w', sizeof chunk);
  while (count > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<long long>(count, sizeof chunk));
    ssize_t written = write(STDOUT_FILENO, chunk, n);
    if (written <= 0) return 1;
    count -= written;
  }
  return 0;
}

}  // namespace

BENCHMARK(BM_StartCost)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_WaitWhileChildSleeps)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_CopyCost)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-bytes") == 0) {
    return WriteBytes(std::atoll(argv[2]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
