// A clock for tests: while it lives, the program's time is its time, and a bounded wait in
// which nothing happens passes its whole timeout at once, so that timeouts elapse without the
// real time they name.
#pragma once

#include <atomic>
#include <cstdint>

#include "services/clock.h"

namespace wendrix::testing {

class VirtualClock final : public ClockSource {
 public:
  VirtualClock();
  ~VirtualClock() override;
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

  std::int64_t NowMs() override { return now_; }
  // Looks at the descriptors for at most a real millisecond; when nothing came, the clock moves
  // on by timeout_ms. An unbounded wait stays a real one.
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override;

  void Advance(std::int64_t ms) { now_ += ms; }

 private:
  std::atomic<std::int64_t> now_{1'000'000};
};

}  // namespace wendrix::testing
