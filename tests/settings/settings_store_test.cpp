#include "settings/settings_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <functional>

#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace testing;
using Texts = std::vector<std::string>;

// The values read for keys from a file holding content; "<none>" (or -77) for a key not found.
Texts ReadFrom(const std::string& content, const Texts& keys, bool integers = false) {
  TempDir dir;
  WriteFile(dir / "s.ini", content);
  EXPECT_TRUE(StoreOpen(dir / "s.ini"));
  Texts values;
  for (const std::string& key : keys)
    values.push_back(integers ? std::to_string(StoreReadInteger(key, -77))
                              : StoreReadString(key, "<none>"));
  StoreClose();
  return values;
}

// The rest of how a hand-edited file reads is in wendrix-run's transcript, with the seven keys.
TEST(StoreRead, ByteOrderMarkAndKeysThatFoldOnlyAsciiLetters) {
  EXPECT_EQ(ReadFrom("\xEF\xBB\xBFK = a\0\xC3\xA9"s, {"K"}), (Texts{"a"}));
  // With or without the byte-order mark; keys fold ASCII letters only.
  EXPECT_EQ(ReadFrom("\xEF\xBB\xBFK = caf\xC3\xA9 \xFF\x80 \na\xC9 = v", {"k", "a\xE9"}),
            (Texts{"caf\xC3\xA9 \xFF\x80", "<none>"}));
  EXPECT_EQ(StoreReadString("K", " as given "), " as given ");  // no store in use
}

TEST(StoreSave, FileIsReplacedAtCloseOnlyWhenEverythingCanBeWritten) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, "old");
  // A line break would turn the rest of the value into keys of its own; "=" in a key would
  // read back as another key; a NUL would end the value, or hide the key, when read back.
  for (const auto& [key, value] :
       {std::pair{"StringPath"s, "x\r\nStringCommand = rm"s}, std::pair{"a=b"s, "v"s},
        std::pair{"StringPath"s, "/x\0/y"s}, std::pair{"Key\0"s, "v"s}}) {
    ASSERT_TRUE(StoreCreate(file));
    StoreWriteString(key, value);
    EXPECT_FALSE(StoreClose());
  }
  ASSERT_TRUE(StoreCreate(file));
  StoreWriteString("k", "v");
  EXPECT_EQ(ReadFile(file), "old");         // not before the close
  ASSERT_TRUE(StoreCreate(dir / "b.ini"));  // closes, and so writes, the first store
  EXPECT_EQ(ReadFile(file), "k = v\r\n");
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "b.ini"), "");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 2);  // no temporary file left
  for (const std::string& bad : {""s, dir / "missing/a.ini", dir.Path(), dir / "..", "/dev/null"s})
    EXPECT_FALSE(StoreCreate(bad)) << bad;
  // A link stays a link, also a chain of them, and the file keeps its mode.
  fs::create_directory(dir / "real");
  WriteFile(dir / "real/s.ini", "old");
  chmod((dir / "real/s.ini").c_str(), 0604);
  fs::create_symlink("real/s.ini", dir / "one.ini");  // relative to its own folder
  fs::create_symlink(dir / "one.ini", dir / "two.ini");
  ASSERT_TRUE(StoreCreate(dir / "two.ini"));
  StoreWriteString("k", "v");
  ASSERT_TRUE(StoreClose());
  EXPECT_TRUE(fs::is_symlink(dir / "two.ini") && fs::is_symlink(dir / "one.ini"));
  EXPECT_EQ(ReadFile(dir / "real/s.ini"), "k = v\r\n");
  EXPECT_EQ(fs::status(dir / "real/s.ini").permissions(), fs::perms(0604));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), {}), 1);
  // An opened file written back keeps the lines it did not change whole, bytes after a NUL too.
  WriteFile(file, "P = a\0b\r\n; c\0d\r\n"s);
  ASSERT_TRUE(StoreOpen(file));
  StoreWriteString("Q", "v");
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(file), "P = a\0b\r\n; c\0d\r\nQ = v\r\n"s);
}

// Makes every open for an anonymous file fail as a file system without them does.
bool RefuseAnonymousFiles() {
  const sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),  // low half: flags
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)),
                           const_cast<sock_filter*>(filter)};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(StoreSave, NothingIsLeftBesideTheFileWhateverBecomesOfTheSave) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  auto only_the_file = [&] { EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1); };
  // Writing past the file size limit fails with EFBIG while SIGXFSZ is ignored, and the save
  // fails; otherwise the signal kills the program while it writes, as surely as kill -9 would.
  WriteFile(file, "old");
  for (const bool killed : {false, true}) {
    EXPECT_EXIT(
        {
          struct rlimit limit;
          limit.rlim_cur = limit.rlim_max = 0;
          setrlimit(RLIMIT_CORE, &limit);
          if (!killed) signal(SIGXFSZ, SIG_IGN);
          limit.rlim_cur = limit.rlim_max = 10;
          if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || !StoreCreate(file)) _exit(2);
          StoreWriteString("StringPath", std::string(100, 'x'));
          _exit(StoreClose() ? 3 : 0);
        },
        [killed](int status) {
          return killed ? WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ
                        : WIFEXITED(status) && WEXITSTATUS(status) == 0;
        },
        "")
        << (killed ? "killed" : "failed");
    EXPECT_EQ(ReadFile(file), "old");
    only_the_file();
  }
  if (geteuid() != 0) GTEST_SKIP() << "the rest changes owners, which needs root";
  // As root the owner is kept; an ordinary user can name the file too; and where the
  // file system has no anonymous files, a named temporary file does the work.
  ASSERT_EQ(chown(dir.Path().c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  for (const auto& [how, setup] :
       {std::pair{"as root", std::function<bool()>([] { return true; })},
        std::pair{"as a user",
                  std::function<bool()>([] { return setgid(65534) == 0 && setuid(65534) == 0; })},
        std::pair{"named", std::function<bool()>(RefuseAnonymousFiles)}}) {
    EXPECT_EXIT(
        {
          if (!setup() || !StoreCreate(file)) _exit(2);
          StoreWriteString("k", how);
          _exit(StoreClose() ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "")
        << how;
    EXPECT_EQ(ReadFile(file), "k = "s + how + "\r\n");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640)) << how;
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u) << how;
    only_the_file();
  }
}

}  // namespace
}  // namespace wendrix
