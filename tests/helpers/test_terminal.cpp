// Plays a terminal emulator for the console tests, on a pseudo-terminal:
//   wendrix-test-terminal RECORD CONTROL COMMAND [ARGS...]
// COMMAND runs as a session leader with the pty as its controlling terminal and standard
// streams. Everything written to the pty is appended to RECORD as the screen would receive it.
// CONTROL is a FIFO from which commands are read, one a line, and carried out in order:
//   wait TEXT   hold the following commands until TEXT has been received (after the last match)
//   type TEXT   type TEXT into the terminal (\xHH escapes: Ctrl+C is \x03, Ctrl+S \x13)
//   sleep MS    hold the following commands for MS milliseconds
//   close       close the terminal (the session gets a hang-up), as a window's close box does
// Like a real emulator it ends when COMMAND ends or the terminal is closed; then RECORD.done is
// written. RECORD.fds gets the descriptors it was started with, one a line: whoever launched it
// must not have leaked any beyond 0, 1 and 2.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>

#include "services/fd_io.h"

using wendrix::WriteAll;

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string record_path = argv[1];
  std::string inherited;
  for (int fd = 0; fd < 1024; ++fd)
    if (fcntl(fd, F_GETFD) != -1) inherited += std::to_string(fd) + "\n";
  std::ofstream(record_path + ".fds") << inherited;

  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    for (int fd = 0; fd < 3; ++fd) dup2(slave, fd);
    if (slave > 2) close(slave);
    close(master);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  close(slave);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(master, F_SETFL, O_NONBLOCK);
  const int record = open(record_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int control = open(argv[2], O_RDWR | O_NONBLOCK | O_CLOEXEC);

  std::string seen, control_buffer;
  std::size_t wait_from = 0;
  std::deque<std::string> commands;
  bool ended = false;

  auto take_output = [&]() -> bool {  // false once no one holds the pty's other side
    char buffer[65536];
    ssize_t n;
    for (; (n = read(master, buffer, sizeof buffer)) > 0; seen.append(buffer, n))
      WriteAll(record, {buffer, static_cast<std::size_t>(n)});
    return n < 0 && errno == EAGAIN;
  };

  while (!ended) {
    while (!commands.empty()) {
      const std::string& line = commands.front();
      const std::string verb = line.substr(0, line.find(' '));
      std::string arg = line.substr(std::min(line.size(), verb.size() + 1));
      for (std::size_t at = 0; (at = arg.find("\\x", at)) != std::string::npos; ++at)
        arg.replace(at, 4, 1,
                    static_cast<char>(std::strtol(arg.substr(at + 2, 2).c_str(), nullptr, 16)));
      if (verb == "wait") {
        const std::size_t at = seen.find(arg, wait_from);
        if (at == std::string::npos) break;
        wait_from = at + arg.size();
      } else if (verb == "sleep") {  // output waits meanwhile: a pty holds a few KiB
        usleep(static_cast<useconds_t>(std::atol(arg.c_str())) * 1000);
      } else if (verb == "type") {
        WriteAll(master, arg);
      } else if (verb == "close") {  // what was shown before is taken below
        ended = true;
        break;
      }
      commands.pop_front();
    }
    pollfd fds[2] = {{master, POLLIN, 0}, {control, POLLIN, 0}};
    poll(fds, 2, 10);
    ended = ended || !take_output() || waitpid(child, nullptr, WNOHANG) == child;
    if (ended) take_output();
    char buffer[4096];
    if ((fds[1].revents & POLLIN) != 0) {
      const ssize_t n = read(control, buffer, sizeof buffer);
      if (n > 0) control_buffer.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = control_buffer.find('\n')) != std::string::npos;) {
        commands.push_back(control_buffer.substr(0, end));
        control_buffer.erase(0, end + 1);
      }
    }
  }
  close(master);
  close(record);
  std::ofstream(record_path + ".done") << "ended\n";
  return 0;
}
