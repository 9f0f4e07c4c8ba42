#include "settings/settings_store.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace wendrix {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Opens content as a settings file and returns the value read for key ("<none>" when missing).
std::string ReadFrom(const std::string& content, const std::string& key) {
  TempDir dir;
  WriteFile(dir / "s.ini", content);
  EXPECT_TRUE(StoreOpen(dir / "s.ini"));
  std::string value = StoreReadString(key, "<none>");
  StoreClose();
  return value;
}

std::int32_t ReadIntegerFrom(const std::string& content, const std::string& key) {
  TempDir dir;
  WriteFile(dir / "s.ini", content);
  EXPECT_TRUE(StoreOpen(dir / "s.ini"));
  std::int32_t value = StoreReadInteger(key, -77);
  StoreClose();
  return value;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs body in a forked child, as an unprivileged user when we are root (permission checks do
// not bind root), and returns its exit status.
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

// --- the layout as written ------------------------------------------------------------------

TEST(StoreLayout, KeysInFirstWriteOrderWithCrLfAndEmptyValueKeepsBlank) {
  TempDir dir;
  ASSERT_TRUE(StoreCreate(dir / "a.ini"));
  StoreWriteString("StringPath", "C:\\x");
  StoreWriteInteger("CheckboxProcessFiles", 1);
  StoreWriteInteger("Negative", -3);
  StoreWriteInteger("Lowest", INT32_MIN);
  StoreWriteString("StringDestination", "");
  StoreWriteString("StringParameters", "\"%f\"");
  // A second write replaces the value in its place, and the key takes the new spelling.
  StoreWriteString("stringpath", "/home/u");
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "a.ini"),
            "stringpath = /home/u\r\n"
            "CheckboxProcessFiles = 1\r\n"
            "Negative = -3\r\n"
            "Lowest = -2147483648\r\n"
            "StringDestination = \r\n"
            "StringParameters = \"%f\"\r\n");
}

TEST(StoreLayout, WritesIntoAnOpenedFileKeepItsOtherLinesAndStayInTheTopSection) {
  TempDir dir;
  WriteFile(dir / "a.ini", "  ;note\nA=1\n[Group]\nB = 2\n;other");
  ASSERT_TRUE(StoreOpen(dir / "a.ini"));
  StoreWriteString("B", "new");  // the B below the header is not the top-level B
  StoreWriteString("a", "one");
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "a.ini"),
            "; note\r\na = one\r\nB = new\r\n[Group]\r\nB = 2\r\n; other\r\n");
}

TEST(StoreLayout, UnchangedOpenedFileIsLeftByteForByte) {
  TempDir dir;
  const std::string content = "\xEF\xBB\xBFk=v\n\n  x = y  \r";
  WriteFile(dir / "a.ini", content);
  ASSERT_TRUE(StoreOpen(dir / "a.ini"));
  EXPECT_EQ(StoreReadString("k", ""), "v");
  EXPECT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "a.ini"), content);
}

TEST(StoreLayout, NothingWithoutAStoreInUse) {
  StoreClose();
  StoreWriteString("k", "v");
  EXPECT_EQ(StoreReadString("k", "  as given "), "  as given ");
  EXPECT_EQ(StoreReadInteger("k", 42), 42);
  EXPECT_TRUE(StoreClose());
}

// --- reading hand-edited files --------------------------------------------------------------

class StoreLineEnds : public ::testing::TestWithParam<const char*> {
 protected:
  // The lines joined by the line end under test.
  std::string Join(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& line : lines) out += line + GetParam();
    return out;
  }
};

TEST_P(StoreLineEnds, HandEditedFileReadsAlike) {
  const std::string file = Join({
      "",
      "  \t",
      "\t  stringpath=C:\\x",
      "StringParameters   =    -o=%d   ",
      "StringCommand = first",
      "STRINGCOMMAND = second",
      "  ; StringSearchText = commented",
      "#hash = a;b=c # d",
      "StringDestination",
      "Empty =",
      "Quoted = \"%f\"",
      "[Main]",
      "After = hidden",
  });
  TempDir dir;
  WriteFile(dir / "s.ini", file);
  ASSERT_TRUE(StoreOpen(dir / "s.ini"));
  EXPECT_EQ(StoreReadString("StringPath", "?"), "C:\\x");
  EXPECT_EQ(StoreReadString("StringParameters", "?"), "-o=%d");
  EXPECT_EQ(StoreReadString("StringCommand", "?"), "first");
  EXPECT_EQ(StoreReadString("StringSearchText", "dflt"), "dflt");
  EXPECT_EQ(StoreReadString("#HASH", "?"), "a;b=c # d");
  EXPECT_EQ(StoreReadString("StringDestination", "?"), "");
  EXPECT_EQ(StoreReadString("Empty", "?"), "");
  EXPECT_EQ(StoreReadString("Quoted", "?"), "\"%f\"");
  EXPECT_EQ(StoreReadString("After", "dflt"), "dflt");
  EXPECT_EQ(StoreReadString("Main", "dflt"), "dflt");
  StoreClose();
}

TEST_P(StoreLineEnds, KeyLineWithoutEqualsLeavesTheNextLineItsOwn) {
  const std::string file = Join({"StringDestination", "StringCommand = x"});
  EXPECT_EQ(ReadFrom(file, "StringDestination"), "");
  EXPECT_EQ(ReadFrom(file, "StringCommand"), "x");
}

INSTANTIATE_TEST_SUITE_P(CrLfLfCr, StoreLineEnds, ::testing::Values("\r\n", "\n", "\r", "\n\r\n"));

TEST(StoreRead, GroupHeaderOnTheFirstLineHidesEveryKey) {
  const std::string file = "[Main]\r\nStringPath = /x\r\nCheckboxProcessFiles = 0\r\n";
  EXPECT_EQ(ReadFrom(file, "StringPath"), "<none>");
  EXPECT_EQ(ReadIntegerFrom(file, "CheckboxProcessFiles"), -77);
}

TEST(StoreRead, KeysCompareWithAsciiLettersFoldedOnly) {
  EXPECT_EQ(ReadFrom("aBc_1 = v", "AbC_1"), "v");
  EXPECT_EQ(ReadFrom("a\xC9 = v", "a\xE9"), "<none>");  // no folding beyond ASCII
  EXPECT_EQ(ReadFrom("ab = v", "ab "), "<none>");
  EXPECT_EQ(ReadFrom("ab\t \t= v", "ab"), "v");
}

TEST(StoreRead, IntegersAsFormattedScanningReadsThem) {
  EXPECT_EQ(ReadIntegerFrom("N = 1abc", "N"), 1);
  EXPECT_EQ(ReadIntegerFrom("N = abc", "N"), 0);
  EXPECT_EQ(ReadIntegerFrom("N = -3", "N"), -3);
  EXPECT_EQ(ReadIntegerFrom("N = 5", "N"), 5);
  EXPECT_EQ(ReadIntegerFrom("N = +7x", "N"), 7);
  EXPECT_EQ(ReadIntegerFrom("N = \v12", "N"), 12);
  EXPECT_EQ(ReadIntegerFrom("N = -", "N"), 0);
  EXPECT_EQ(ReadIntegerFrom("N =", "N"), 0);
  EXPECT_EQ(ReadIntegerFrom("X = 1", "N"), -77);
  // Out of range saturates, so a huge number never reads as 0 or changes sign.
  EXPECT_EQ(ReadIntegerFrom("N = 4294967296", "N"), INT32_MAX);
  EXPECT_EQ(ReadIntegerFrom("N = -99999999999999999999", "N"), INT32_MIN);
  EXPECT_EQ(ReadIntegerFrom("N = -2147483648", "N"), INT32_MIN);
}

TEST(StoreRead, NulByteIsAnOrdinaryByteOfItsLine) {
  using namespace std::string_literals;
  const std::string file = "StringPath = a\0b \r\nKey\0junk = 1\r\nStringCommand = x\0\r\n"s;
  EXPECT_EQ(ReadFrom(file, "StringPath"), "a\0b"s);
  EXPECT_EQ(ReadFrom(file, "Key"), "<none>");
  EXPECT_EQ(ReadFrom(file, "Key\0JUNK"s), "1");
  EXPECT_EQ(ReadFrom(file, "StringCommand"), "x\0"s);
}

TEST(StoreRead, Utf8FilePassesThroughWithOrWithoutByteOrderMark) {
  // Texts are UTF-8 here, so a UTF-8 value is already in the system's encoding.
  EXPECT_EQ(ReadFrom("\xEF\xBB\xBFK = caf\xC3\xA9 \xE2\x82\xAC ", "K"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(ReadFrom("K = caf\xC3\xA9", "K"), "caf\xC3\xA9");
  // The mark is skipped, so the first key is found by its own name.
  EXPECT_EQ(ReadFrom("\xEF\xBB\xBFStringPath = /x", "StringPath"), "/x");
  EXPECT_EQ(ReadFrom("\xEF\xBB\xBF", "StringPath"), "<none>");
  // Latin-1 bytes that are not UTF-8 pass through untouched as well.
  EXPECT_EQ(ReadFrom("K = \xE9\xFF\x80", "K"), "\xE9\xFF\x80");
}

// --- opening ---------------------------------------------------------------------------------

TEST(StoreOpening, EmptyFileOpensWithEveryDefault) {
  EXPECT_EQ(ReadFrom("", "StringPath"), "<none>");
  EXPECT_EQ(ReadIntegerFrom("", "CheckboxProcessFiles"), -77);
}

TEST(StoreOpening, MissingFileFolderAndEmptyNameFail) {
  TempDir dir;
  EXPECT_FALSE(StoreOpen(dir / "missing.ini"));
  EXPECT_FALSE(StoreOpen(dir.Path()));
  EXPECT_FALSE(StoreOpen(""));
  EXPECT_EQ(StoreReadString("k", "d"), "d");  // no store is in use after a failed open
}

TEST(StoreOpening, BinaryFileOpensAndOnlyItsKeysAreRead) {
  std::string bytes;
  for (int round = 0; round < 64; ++round)
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>((b * 37 + round) & 0xFF));
  bytes += "\nStringPath = found\n";
  EXPECT_EQ(ReadFrom(bytes, "StringPath"), "found");
}

TEST(StoreOpening, FiftyMegabyteFileIsReadWhole) {
  std::string big;
  big.reserve(50u << 20);
  const std::string line = "Filler = 0123456789012345678901234567890123456789012345678901\r\n";
  while (big.size() + line.size() < (50u << 20)) big += line;
  big += "[End]\r\nLast = tail";
  TempDir dir;
  WriteFile(dir / "big.ini", big);
  ASSERT_TRUE(StoreOpen(dir / "big.ini"));
  EXPECT_EQ(StoreReadString("Filler", ""), "0123456789012345678901234567890123456789012345678901");
  EXPECT_EQ(StoreReadString("Last", "dflt"), "dflt");
  StoreWriteString("New", "1");  // goes in right before [End], after a million lines
  ASSERT_TRUE(StoreClose());
  const std::string written = ReadFile(dir / "big.ini");
  const std::string tail = "New = 1\r\n[End]\r\nLast = tail\r\n";
  EXPECT_EQ(written.size(), big.size() + 9 + 2);
  EXPECT_EQ(written.substr(written.size() - tail.size()), tail);
}

// --- saving never destroys the earlier file --------------------------------------------------

TEST(StoreSave, CreatedFileAppearsOnlyAtCloseAndEmptyWhenNothingWasWritten) {
  TempDir dir;
  WriteFile(dir / "a.ini", "old");
  ASSERT_TRUE(StoreCreate(dir / "a.ini"));
  StoreWriteString("k", "v");
  EXPECT_EQ(ReadFile(dir / "a.ini"), "old");
  ASSERT_TRUE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "a.ini"), "k = v\r\n");

  ASSERT_TRUE(StoreCreate(dir / "b.ini"));
  EXPECT_FALSE(std::filesystem::exists(dir / "b.ini"));
  // Opening another store closes, and so writes, the created one.
  ASSERT_FALSE(StoreOpen(dir / "missing.ini"));
  EXPECT_TRUE(std::filesystem::exists(dir / "b.ini"));
  EXPECT_EQ(ReadFile(dir / "b.ini"), "");
  EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::string>{"a.ini", "b.ini"}));
}

TEST(StoreSave, CreateFailsWhereNoFileCanBe) {
  TempDir dir;
  EXPECT_FALSE(StoreCreate(""));
  EXPECT_FALSE(StoreCreate(dir / "missing/a.ini"));
  EXPECT_FALSE(StoreCreate(dir.Path()));
  EXPECT_FALSE(StoreCreate(dir / "a.ini/"));
  std::filesystem::create_directory(dir / "sub");
  EXPECT_FALSE(StoreCreate(dir / "sub"));
  EXPECT_FALSE(StoreCreate("/dev/null"));
  EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"sub"});
}

TEST(StoreSave, FailingWriteKeepsTheOldFileAndReportsFailure) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, "StringPath = precious\r\n");
  const int status = InChild(
      [&] {
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
        struct rlimit limit = {10, 10};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        if (!StoreCreate(file)) return 3;
        StoreWriteString("StringPath", std::string(100, 'x'));
        return StoreClose() ? 4 : 0;
      },
      false);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(file), "StringPath = precious\r\n");
  EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"a.ini"});
}

TEST(StoreSave, ValueWithALineBreakIsRefusedRatherThanWrittenAsOtherKeys) {
  TempDir dir;
  WriteFile(dir / "a.ini", "old");
  ASSERT_TRUE(StoreCreate(dir / "a.ini"));
  StoreWriteString("StringPath", "x\r\nStringCommand = rm");
  StoreWriteString("StringCommand", "ls");
  EXPECT_FALSE(StoreClose());
  EXPECT_EQ(ReadFile(dir / "a.ini"), "old");
  EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"a.ini"});

  for (const char* key : {"", "a=b", " a", "a\t", ";a", "[a", "a\nb"}) {
    ASSERT_TRUE(StoreCreate(dir / "a.ini"));
    StoreWriteString(key, "v");
    EXPECT_FALSE(StoreClose()) << key;
  }
  EXPECT_EQ(ReadFile(dir / "a.ini"), "old");
}

TEST(StoreSave, ReadOnlyFolderOrFileIsNotReplaced) {
  TempDir dir;
  std::filesystem::permissions(dir.Path(), std::filesystem::perms(0755));
  const std::string folder = dir / "ro";
  std::filesystem::create_directory(folder);
  WriteFile(folder + "/a.ini", "old");
  std::filesystem::permissions(folder + "/a.ini", std::filesystem::perms(0666));
  std::filesystem::permissions(folder, std::filesystem::perms(0555));
  WriteFile(dir / "locked.ini", "old");
  std::filesystem::permissions(dir / "locked.ini", std::filesystem::perms(0444));
  std::filesystem::permissions(dir.Path(), std::filesystem::perms(0777));

  const int status = InChild(
      [&] {
        if (StoreCreate(folder + "/a.ini")) return 1;    // the file alone is writable
        if (StoreCreate(folder + "/new.ini")) return 2;  // nothing can be made there
        if (StoreCreate(dir / "locked.ini")) return 3;   // read-only file, writable folder
        if (!StoreOpen(dir / "locked.ini")) return 4;    // still readable
        StoreWriteString("k", "v");
        if (StoreClose()) return 5;
        return 0;
      },
      true);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(folder + "/a.ini"), "old");
  EXPECT_EQ(ReadFile(dir / "locked.ini"), "old");
  EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"a.ini"});
  EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::string>{"locked.ini", "ro"}));
}

TEST(StoreSave, SymbolicLinkStaysALinkAndItsTargetIsReplaced) {
  TempDir dir;
  std::filesystem::create_directory(dir / "real");
  WriteFile(dir / "real/settings.ini", "old");
  // A relative link to a link to the file, from another folder.
  std::filesystem::create_directory(dir / "links");
  std::filesystem::create_symlink("../real/settings.ini", dir / "links/one.ini");
  std::filesystem::create_symlink(dir / "links/one.ini", dir / "two.ini");
  ASSERT_TRUE(StoreCreate(dir / "two.ini"));
  StoreWriteString("k", "v");
  ASSERT_TRUE(StoreClose());
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "two.ini"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "links/one.ini"));
  EXPECT_EQ(ReadFile(dir / "real/settings.ini"), "k = v\r\n");
  EXPECT_EQ(FolderNames(dir / "real"), std::vector<std::string>{"settings.ini"});

  // A dangling link gets its file made where it points.
  std::filesystem::create_symlink("real/later.ini", dir / "later.ini");
  ASSERT_TRUE(StoreCreate(dir / "later.ini"));
  ASSERT_TRUE(StoreClose());
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "later.ini"));
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "real/later.ini"));

  std::filesystem::create_symlink("loop.ini", dir / "loop.ini");
  EXPECT_FALSE(StoreCreate(dir / "loop.ini"));
}

TEST(StoreSave, ExistingFileKeepsItsModeAndNewFileFollowsTheUmask) {
  TempDir dir;
  WriteFile(dir / "kept.ini", "old");
  chmod((dir / "kept.ini").c_str(), 0604);
  ASSERT_TRUE(StoreCreate(dir / "kept.ini"));
  ASSERT_TRUE(StoreClose());

  const mode_t previous = umask(027);
  ASSERT_TRUE(StoreCreate(dir / "new.ini"));
  ASSERT_TRUE(StoreClose());
  umask(previous);

  struct stat info;
  ASSERT_EQ(stat((dir / "kept.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  ASSERT_EQ(stat((dir / "new.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

}  // namespace
}  // namespace wendrix
