#include "settings/settings_store.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// The value read for key from a file holding content; "<none>" when the key is not found.
std::string ReadFrom(const std::string& content, const std::string& key) {
  TempDir dir;
  WriteFile(dir / "s.ini", content);
  EXPECT_TRUE(StoreOpen(dir / "s.ini"));
  const std::string value = StoreReadString(key, "<none>");
  StoreClose();
  return value;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Runs body in a forked child, as nobody when we are root (permissions do not bind root), and
// returns its exit status.
int InChild(const std::function<int()>& body, bool unprivileged) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(StoreLayout, WrittenByteExactAndOpenedFilesKeepTheirOtherLines) {
  TempDir dir;
  ASSERT_TRUE(StoreCreate(dir / "a.ini"));
  StoreWriteString("StringPath", "C:\\x");
  StoreWriteInteger("Lowest", INT32_MIN);
  StoreWriteString("StringDestination", "");
  StoreWriteString("stringpath", "\"%f\"");  // replaced in place, in the new spelling
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "a.ini"),
            "stringpath = \"%f\"\r\nLowest = -2147483648\r\nStringDestination = \r\n");

  WriteFile(dir / "a.ini", "  ;note\nA=1\n[Group]\nB = 2");
  ASSERT_TRUE(StoreOpen(dir / "a.ini"));
  StoreWriteString("B", "new");  // the B below the header is not a top-level key
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "a.ini"), "; note\r\nA = 1\r\nB = new\r\n[Group]\r\nB = 2\r\n");
}

class StoreLineEnds : public ::testing::TestWithParam<std::string> {};

TEST_P(StoreLineEnds, HandEditedFileReadsAlike) {
  std::string file;
  for (const char* line :
       {"", "  \t", "\t  stringpath=C:\\x", "StringParameters   =    -o=%d   ", "K = first",
        "k = second", "  ; StringSearchText = commented", "#hash = a;b=c # d", "StringDestination",
        "StringCommand = x", "[Main]", "After = hidden"})
    file += line + GetParam();
  EXPECT_EQ(ReadFrom(file, "StringPath"), "C:\\x");
  EXPECT_EQ(ReadFrom(file, "StringParameters"), "-o=%d");
  EXPECT_EQ(ReadFrom(file, "K"), "first");
  EXPECT_EQ(ReadFrom(file, "StringSearchText"), "<none>");
  EXPECT_EQ(ReadFrom(file, "#HASH"), "a;b=c # d");
  EXPECT_EQ(ReadFrom(file, "StringDestination"), "");
  EXPECT_EQ(ReadFrom(file, "StringCommand"), "x");
  EXPECT_EQ(ReadFrom(file, "After"), "<none>");
}

INSTANTIATE_TEST_SUITE_P(CrLfLfCr, StoreLineEnds, ::testing::Values("\r\n", "\n", "\r", "\n\r\n"));

TEST(StoreRead, KeysSectionsNulBytesAndUtf8) {
  EXPECT_EQ(ReadFrom("[Main]\r\nStringPath = /x", "StringPath"), "<none>");
  EXPECT_EQ(ReadFrom("a\xC9 = v", "a\xE9"), "<none>");  // no folding beyond ASCII
  EXPECT_EQ(ReadFrom("Quoted = \"%f\" ", "quoted"), "\"%f\"");
  // A NUL byte neither ends a line nor cuts what follows it.
  const std::string nul = "P = a\0b \nKey\0junk = 1\nC = x"s;
  EXPECT_EQ(ReadFrom(nul, "P"), "a\0b"s);
  EXPECT_EQ(ReadFrom(nul, "Key"), "<none>");
  EXPECT_EQ(ReadFrom(nul, "C"), "x");
  // UTF-8 is the system's own encoding here: values pass through, with or without the mark.
  EXPECT_EQ(ReadFrom("\xEF\xBB\xBFK = caf\xC3\xA9 \xE2\x82\xAC ", "K"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(ReadFrom("K = \xC3\xA9\xFF\x80", "K"), "\xC3\xA9\xFF\x80");
}

TEST(StoreRead, IntegersAsFormattedScanningReadsThemButSaturated) {
  TempDir dir;
  WriteFile(dir / "s.ini",
            "A = 1abc\nB = abc\nC = -3\nD = \v+5\nE =\nF = 4294967296\nG = -99999999999");
  ASSERT_TRUE(StoreOpen(dir / "s.ini"));
  std::vector<std::int32_t> got;
  for (const char* key : {"a", "b", "c", "d", "e", "f", "g", "h"})
    got.push_back(StoreReadInteger(key, -77));
  StoreClose();
  // Out of range saturates, so a check state never wraps to 0.
  EXPECT_EQ(got, (std::vector<std::int32_t>{1, 0, -3, 5, 0, INT32_MAX, INT32_MIN, -77}));
}

TEST(StoreOpening, EmptyBinaryAndUnopenableFiles) {
  EXPECT_EQ(ReadFrom("", "K"), "<none>");
  std::string bytes;
  for (int i = 0; i < 1 << 14; ++i) bytes.push_back(static_cast<char>((i * 37 + i / 256) & 0xFF));
  EXPECT_EQ(ReadFrom(bytes + "\nK = found", "K"), "found");
  TempDir dir;
  EXPECT_FALSE(StoreOpen(dir / "missing.ini"));
  EXPECT_FALSE(StoreOpen(dir.Path()));
  EXPECT_FALSE(StoreOpen(""));
  EXPECT_EQ(StoreReadString("K", " as given "), " as given ");  // no store in use
}

TEST(StoreOpening, FiftyMegabyteFileIsReadAndWrittenWhole) {
  const std::string line = "Filler = 0123456789012345678901234567890123456789\r\n";
  std::string big;
  big.reserve(50u << 20);
  while (big.size() < (50u << 20)) big += line;
  TempDir dir;
  WriteFile(dir / "big.ini", big + "[End]\r\nLast = tail");
  ASSERT_TRUE(StoreOpen(dir / "big.ini"));
  EXPECT_EQ(StoreReadString("Filler", ""), "0123456789012345678901234567890123456789");
  StoreWriteString("New", "1");
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "big.ini"), big + "New = 1\r\n[End]\r\nLast = tail\r\n");
}

TEST(StoreSave, FileAppearsOnlyAtCloseAndEmptyWhenNothingWasWritten) {
  TempDir dir;
  WriteFile(dir / "a.ini", "old");
  ASSERT_TRUE(StoreCreate(dir / "a.ini"));
  StoreWriteString("k", "v");
  EXPECT_EQ(ReadFile(dir / "a.ini"), "old");
  ASSERT_TRUE(StoreCreate(dir / "b.ini"));  // closes, and so writes, the first store
  EXPECT_EQ(ReadFile(dir / "a.ini"), "k = v\r\n");
  EXPECT_FALSE(fs::exists(dir / "b.ini"));
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "b.ini"), "");
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"a.ini", "b.ini"}));

  for (const std::string& bad :
       {""s, dir / "missing/a.ini", dir.Path(), dir / "a.ini/", dir / "..", "/dev/null"s})
    EXPECT_FALSE(StoreCreate(bad)) << bad;
}

TEST(StoreSave, FailedWriteOrUnwritableValueKeepsTheOldFile) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, "old");
  const int status = InChild(
      [&] {
        signal(SIGXFSZ, SIG_IGN);  // writing past the limit then fails with EFBIG
        const struct rlimit limit = {10, 10};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || !StoreCreate(file)) return 2;
        StoreWriteString("StringPath", std::string(100, 'x'));
        return StoreClose() ? 3 : 0;
      },
      false);
  EXPECT_EQ(status, 0);
  // A line break would turn the rest of the value into keys of its own.
  ASSERT_TRUE(StoreCreate(file));
  StoreWriteString("StringPath", "x\r\nStringCommand = rm");
  EXPECT_FALSE(StoreClose());
  ASSERT_TRUE(StoreCreate(file));
  StoreWriteString("a=b", "v");  // would read back as key "a"
  EXPECT_FALSE(StoreClose());
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(Names(dir.Path()), std::set<std::string>{"a.ini"});  // no temporary file left
}

TEST(StoreSave, ReadOnlyFolderOrFileIsNotReplaced) {
  TempDir dir;
  fs::create_directory(dir / "ro");
  WriteFile(dir / "ro/a.ini", "old");
  WriteFile(dir / "locked.ini", "old");
  chmod((dir / "ro/a.ini").c_str(), 0666);  // writable in place, but its folder is not
  chmod((dir / "ro").c_str(), 0555);
  chmod((dir / "locked.ini").c_str(), 0444);
  chmod(dir.Path().c_str(), 0777);
  const int status = InChild(
      [&] {
        if (StoreCreate(dir / "ro/a.ini") || StoreCreate(dir / "ro/new.ini")) return 1;
        if (StoreCreate(dir / "locked.ini") || !StoreOpen(dir / "locked.ini")) return 2;
        StoreWriteString("k", "v");
        return StoreClose() ? 3 : 0;
      },
      true);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(dir / "ro/a.ini") + ReadFile(dir / "locked.ini"), "oldold");
  EXPECT_EQ(Names(dir / "ro"), std::set<std::string>{"a.ini"});
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"locked.ini", "ro"}));
}

TEST(StoreSave, LinksStayLinksAndModesAreKept) {
  TempDir dir;
  fs::create_directory(dir / "real");
  fs::create_directory(dir / "links");
  WriteFile(dir / "real/s.ini", "old");
  chmod((dir / "real/s.ini").c_str(), 0604);
  fs::create_symlink("../real/s.ini", dir / "links/one.ini");  // relative, from elsewhere
  fs::create_symlink(dir / "links/one.ini", dir / "two.ini");
  fs::create_symlink("real/later.ini", dir / "dangling.ini");
  fs::create_symlink("loop.ini", dir / "loop.ini");
  ASSERT_TRUE(StoreCreate(dir / "two.ini"));
  StoreWriteString("k", "v");
  ASSERT_TRUE(StoreClose());
  const mode_t previous = umask(027);
  ASSERT_TRUE(StoreCreate(dir / "dangling.ini"));
  ASSERT_TRUE(StoreClose());
  umask(previous);
  EXPECT_FALSE(StoreCreate(dir / "loop.ini"));

  EXPECT_TRUE(fs::is_symlink(dir / "two.ini") && fs::is_symlink(dir / "links/one.ini"));
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.ini"));
  EXPECT_EQ(ReadFile(dir / "real/s.ini"), "k = v\r\n");
  EXPECT_EQ(Names(dir / "real"), (std::set<std::string>{"later.ini", "s.ini"}));
  EXPECT_EQ(fs::status(dir / "real/s.ini").permissions(), fs::perms(0604));
  EXPECT_EQ(fs::status(dir / "real/later.ini").permissions(), fs::perms(0640));
}

}  // namespace
}  // namespace wendrix
