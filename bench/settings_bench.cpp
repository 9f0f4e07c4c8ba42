// Settings load and save against plain file I/O of the same bytes, measured in one run. Prints
// each pair's time ratio at the end (Wendrix / peer).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "settings/settings_flows.h"
#include "settings/settings_store.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    std::string pattern = std::filesystem::temp_directory_path() / "wendrix-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return folder;
}

const wendrix::Settings kSettings{"/home/u/Pictures/", "*.jpg", 1, 0, "/backup/", "tool",
                                  "-q \"%f\" \"%d\""};

std::string SmallFile() {
  static const std::string path = [] {
    std::string p = Folder() + "/small.ini";
    wendrix::SaveSettingsFile(p, kSettings);
    return p;
  }();
  return path;
}

std::string BigFile() {
  static const std::string path = [] {
    std::string p = Folder() + "/big.ini";
    std::ofstream out(p, std::ios::binary);
    for (int i = 0; i < 1 << 20; ++i) out << "Filler" << i << " = some value of a line\r\n";
    out << "StringPath = /x\r\n";
    return p;
  }();
  return path;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void LoadSmall(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(wendrix::LoadSettingsFile(SmallFile()));
}
void LoadSmallPeer(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ReadWhole(SmallFile()));
}
void LoadBig(benchmark::State& state) {
  for (auto _ : state) {
    wendrix::StoreOpen(BigFile());
    benchmark::DoNotOptimize(wendrix::StoreReadString("StringPath", ""));
    wendrix::StoreClose();
  }
}
void LoadBigPeer(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ReadWhole(BigFile()));
}
void Save(benchmark::State& state) {
  const std::string path = Folder() + "/save.ini";
  for (auto _ : state) wendrix::SaveSettingsFile(path, kSettings);
}
// The same bytes written in place with the same durability (fsync), but no temporary file.
void SavePeer(benchmark::State& state) {
  const std::string path = Folder() + "/peer.ini";
  const std::string text = ReadWhole(SmallFile());
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    benchmark::DoNotOptimize(write(fd, text.data(), text.size()));
    fsync(fd);
    close(fd);
  }
}

BENCHMARK(LoadSmall);
BENCHMARK(LoadSmallPeer);
BENCHMARK(LoadBig)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadBigPeer)->Unit(benchmark::kMillisecond);
BENCHMARK(Save);
BENCHMARK(SavePeer);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* name : {"LoadSmall", "LoadBig", "Save"}) {
      const auto ours = times_.find(name);
      const auto peer = times_.find(std::string(name) + "Peer");
      if (ours != times_.end() && peer != times_.end() && peer->second > 0)
        std::printf("ratio %-10s %.2f (peer: %sPeer)\n", name, ours->second / peer->second, name);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove_all(Folder());
  return 0;
}
