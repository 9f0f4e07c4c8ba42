#include "recording_console.h"

namespace wendrix::testing {

int RecordingConsole::Open() {
  ++opens;
  return 1;
}

std::int64_t RecordingConsole::Write(const char* data, std::size_t length) {
  pieces.push_back(length);
  bytes.append(data, length);
  return static_cast<std::int64_t>(length);
}

ConsoleState RecordingConsole::Service() { return state ? state() : ConsoleState::kOpen; }

void RecordingConsole::Clear() {
  bytes.clear();
  pieces.clear();
}

void RecordingConsole::EndOnceWritten(ConsoleState end) {
  state = [this, end] { return bytes.empty() ? ConsoleState::kOpen : end; };
}

}  // namespace wendrix::testing
