#include "services/clock.h"

#include <time.h>

#include <atomic>

namespace wendrix {
namespace {

std::atomic<ClockSource*> g_source{nullptr};

std::int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

void SetClockSource(ClockSource* source) { g_source.store(source, std::memory_order_release); }

std::int64_t NowMs() {
  ClockSource* source = g_source.load(std::memory_order_acquire);
  return source != nullptr ? source->NowMs() : MonotonicMs();
}

int PollFor(pollfd* fds, nfds_t count, int timeout_ms) {
  ClockSource* source = g_source.load(std::memory_order_acquire);
  return source != nullptr ? source->Poll(fds, count, timeout_ms) : poll(fds, count, timeout_ms);
}

}  // namespace wendrix
