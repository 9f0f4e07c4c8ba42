// The console the tests hand to a run: keeps every write, and stands or ends as the test says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "services/console.h"

namespace wendrix::testing {

class RecordingConsole : public Console {
 public:
  int Open() override {
    ++opens;
    return 1;
  }
  std::int64_t Write(const char* data, std::size_t length) override {
    pieces.push_back(length);
    bytes.append(data, length);
    return static_cast<std::int64_t>(length);
  }
  ConsoleState Service() override { return state ? state() : ConsoleState::kOpen; }
  std::size_t Pending() const override { return backlog ? backlog() : 0; }

  // Forgets what was written; the state function stays.
  void Clear() {
    bytes.clear();
    pieces.clear();
  }

  std::string bytes;                // everything written, in order
  std::vector<std::size_t> pieces;  // the length of each write
  int opens = 0;
  // What Service answers; kOpen without one.
  std::function<ConsoleState()> state;
  // What Pending answers, the bytes still waiting to be shown; none without one.
  std::function<std::size_t()> backlog;
};

}  // namespace wendrix::testing
