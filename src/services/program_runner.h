// The program runner: starts a child program, optionally with its standard output on a pipe,
// and lets the caller follow it until it has ended and its output is drained.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wendrix {

// Flag bits of ChildStart.
inline constexpr std::uint32_t ChildWait = 1;
inline constexpr std::uint32_t ChildHidden = 2;
inline constexpr std::uint32_t ChildKeep = 4;
inline constexpr std::uint32_t ChildPipeOutput = 8;
inline constexpr std::uint32_t ChildPipeInput = 16;
inline constexpr std::uint32_t ChildPipeError = 32;
inline constexpr std::uint32_t ChildConnect = 64;
// Our own: the child's standard input is /dev/null (with ChildKeep and a pipe bit).
inline constexpr std::uint32_t ChildNullInput = 128;

struct ChildRecord;

// Releases the record; a child still running goes on (and is reaped once it ends).
void ChildClose(ChildRecord* record);

struct ChildCloser {
  void operator()(ChildRecord* record) const { ChildClose(record); }
};

// An owned child record: closing it is ChildClose.
using ChildHandle = std::unique_ptr<ChildRecord, ChildCloser>;

// What a child started with a pipe gets for the streams that are not piped, and whether it
// leads a process group of its own. -1 means the program's own descriptor. The console says
// which (Console::ChildStreams).
struct ChildStdio {
  int input = -1;
  int error = -1;
  bool own_process_group = false;
};

// How ChildStart sets a child up beyond its flags.
struct ChildSetup {
  ChildStdio stdio;                   // for a child that has at least one pipe
  const std::string* path = nullptr;  // the file to run, when the caller looked it up already
};

// Starts program with the argument words args (argv[1..]); a program without "/" is looked up
// in PATH. folder "" keeps the current folder. With ChildKeep the record comes back; without
// it, or when the program cannot be started, the handle is empty. When started is given it
// tells the two apart; when nothing was started errno tells why (ENOENT, EACCES, ...).
ChildHandle ChildStart(const std::string& program, const std::vector<std::string>& args,
                       const std::string& folder, std::uint32_t flags, bool* started = nullptr,
                       const ChildSetup& setup = {});

// 1 while the child runs, and after its end while unread output waits in the pipe; else 0.
int ChildRunning(ChildRecord* record);

// Bytes waiting in the output pipe right now; never blocks.
std::int32_t ChildOutputAvailable(ChildRecord* record);

// Reads until count bytes have come or the pipe is closed; returns the bytes delivered.
std::int32_t ChildReadOutput(ChildRecord* record, char* buffer, std::int32_t count);

// The child's process id (for signalling it), or -1.
int ChildProcessId(ChildRecord* record);

// True once the child itself has ended (it is reaped then: its id must not be signalled any
// more); unread output may still wait in the pipe.
bool ChildHasEnded(ChildRecord* record);

// The child's wait status (as waitpid gives it) once it has ended; nullopt before, and for a
// child reaped elsewhere.
std::optional<int> ChildExitStatus(ChildRecord* record);

// For a caller that waits on several children in one poll: the reading ends of the output and
// error pipes, and a descriptor that turns readable when the child ends (-1 once its end is
// known, or where the kernel offers none: then ask ChildHasEnded now and then). The record
// keeps owning them.
int ChildOutputDescriptor(ChildRecord* record);
int ChildErrorDescriptor(ChildRecord* record);
int ChildEndDescriptor(ChildRecord* record);

}  // namespace wendrix
