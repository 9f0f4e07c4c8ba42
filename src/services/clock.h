// The one clock behind every timeout and pace of the program: monotonic, in milliseconds. A
// wait with a timeout goes through PollFor, so that a clock put in for a test passes the time
// the wait would have taken.
#pragma once

#include <poll.h>

#include <cstdint>

namespace wendrix {

// Where the time comes from and how a bounded wait on descriptors spends it.
class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual std::int64_t NowMs() = 0;
  // As poll(2): the count of descriptors with events, 0 when timeout_ms passed, -1 on error.
  virtual int Poll(pollfd* fds, nfds_t count, int timeout_ms) = 0;
};

// Every later NowMs and PollFor use source; nullptr puts the monotonic clock back. The source
// must outlive its use.
void SetClockSource(ClockSource* source);

// Milliseconds since an arbitrary fixed point; never goes back.
std::int64_t NowMs();

// poll(2), its timeout measured by the clock in use.
int PollFor(pollfd* fds, nfds_t count, int timeout_ms);

}  // namespace wendrix
