// A stand-in for the commands a job run starts. Its arguments are a sequence of operations,
// carried out in order:
//   args            print every remaining argument, each followed by "\n"
//   args0           print every remaining argument, each followed by a NUL byte
//   bytes N         write N bytes to standard output: byte k is k ^ k >> 8 ^ k >> 16, which no
//                   shorter run of it repeats
//   text T          write T to standard output
//   echo T          write T and "\n" to standard output
//   stderr T        write T to standard error
//   sleep MS        sleep MS milliseconds
//   background MS T fork a child that keeps standard output open, sleeps MS and writes T
//   fds             print the numbers of the open descriptors, one per line
//   isdir P         print "yes" or "no": whether P is a folder
//   line            copy one line of standard input to standard output
//   pgrp            print "same" or "own": whether this process leads its own process group
//   signals         print "pipe default" or "pipe ignored", then "mask empty" or "mask set"
//   ignore          ignore SIGINT, SIGHUP and SIGTERM from now on
//   interrupts MS   print "started" once SIGINTs are counted, count those that come in MS
//                   milliseconds, then print "interrupts N"
//   exit N          end at once with status N
//   waitfor P       wait until the file P exists
//   touch P         write "made" into the file P, made or emptied first
//   stdin           print what standard input is (the target of /proc/self/fd/0)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "services/fd_io.h"

using wendrix::WriteAll;

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string op = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (op == "args" || op == "args0") {
      const char end = op == "args" ? '\n' : '\0';
      for (++i; i < argc; ++i) {
        WriteAll(1, argv[i]);
        WriteAll(1, {&end, 1});
      }
    } else if (op == "bytes") {
      std::vector<char> chunk(65536);
      const long total = std::strtol(next().c_str(), nullptr, 10);
      for (long done = 0; done < total; done += 65536) {
        for (size_t k = 0; k < chunk.size(); ++k) {
          const size_t n = static_cast<size_t>(done) + k;
          chunk[k] = static_cast<char>(n ^ n >> 8 ^ n >> 16);
        }
        WriteAll(1, {chunk.data(), static_cast<size_t>(std::min<long>(total - done, 65536))});
      }
    } else if (op == "text") {
      WriteAll(1, next());
    } else if (op == "echo") {
      WriteAll(1, next() + "\n");
    } else if (op == "stderr") {
      WriteAll(2, next());
    } else if (op == "sleep") {
      usleep(static_cast<useconds_t>(std::atol(next().c_str())) * 1000);
    } else if (op == "background") {
      const auto ms = static_cast<useconds_t>(std::atol(next().c_str()));
      const std::string text = next();
      if (fork() == 0) {
        // Only the output is shared: a test runner waits for whoever holds its streams.
        dup2(open("/dev/null", O_RDWR), 0);
        dup2(0, 2);
        usleep(ms * 1000);
        WriteAll(1, text);
        _exit(0);
      }
    } else if (op == "fds") {
      for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) WriteAll(1, std::to_string(fd) + "\n");
    } else if (op == "isdir") {
      struct stat st {};
      std::string path = next();
      WriteAll(1, stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? "yes\n" : "no\n");
    } else if (op == "line") {
      char c = 0;
      while (c != '\n' && read(0, &c, 1) == 1) WriteAll(1, {&c, 1});
    } else if (op == "pgrp") {
      WriteAll(1, getpgrp() == getpid() ? "own\n" : "same\n");
    } else if (op == "signals") {
      struct sigaction action {};
      sigaction(SIGPIPE, nullptr, &action);
      WriteAll(1, action.sa_handler == SIG_IGN ? "pipe ignored\n" : "pipe default\n");
      sigset_t mask;
      sigprocmask(SIG_SETMASK, nullptr, &mask);
      bool any = false;
      for (int sig = 1; sig < 32; ++sig) any = any || sigismember(&mask, sig) == 1;
      WriteAll(1, any ? "mask set\n" : "mask empty\n");
    } else if (op == "ignore") {
      signal(SIGINT, SIG_IGN);
      signal(SIGHUP, SIG_IGN);
      signal(SIGTERM, SIG_IGN);
    } else if (op == "interrupts") {
      static volatile sig_atomic_t interrupts = 0;
      struct sigaction count {};
      count.sa_handler = [](int) { interrupts = interrupts + 1; };
      sigaction(SIGINT, &count, nullptr);
      WriteAll(1, "started\n");
      timespec left{0, 0};
      const long ms = std::atol(next().c_str());
      timespec wait{ms / 1000, (ms % 1000) * 1000000};
      while (nanosleep(&wait, &left) != 0 && errno == EINTR) wait = left;
      WriteAll(1, "interrupts " + std::to_string(interrupts) + "\n");
    } else if (op == "touch") {
      const int fd = open(next().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      WriteAll(fd, "made");
      close(fd);
    } else if (op == "waitfor") {
      const std::string path = next();
      for (struct stat st{}; stat(path.c_str(), &st) != 0;) usleep(5000);
    } else if (op == "exit") {
      return std::atoi(next().c_str());
    } else if (op == "stdin") {
      char target[4096];
      const ssize_t n = readlink("/proc/self/fd/0", target, sizeof target - 1);
      WriteAll(1, std::string(target, n > 0 ? static_cast<size_t>(n) : 0) + "\n");
    } else {
      WriteAll(2, "wendrix-test-child: unknown operation " + op + "\n");
      return 2;
    }
  }
  return 0;
}
