#include "platform/FileAccess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/TempFolder.h"

namespace platform {
namespace {

using testsupport::ReadAll;
using testsupport::TempFolder;
using testsupport::WriteAll;

size_t EntryCount(const std::string& folder) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                           std::filesystem::directory_iterator()));
}

// Nothing a reader meets where a file should be may hold it: a FIFO with no
// writer would block a plain open for good, a device never ends.
TEST(ReadRegularFileTest, RefusesWhatIsNotARegularFileWithoutWaiting) {
  TempFolder folder;
  const std::string fifo = folder.Path("ServerEvents.txt");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::filesystem::create_symlink("/dev/zero", folder.Path("zero.BUF"));
  WriteAll(folder.Path("record"), "bytes");
  std::filesystem::create_symlink("record", folder.Path("link"));

  std::string text = "stale";
  EXPECT_EQ(ReadRegularFile(fifo, 100, text), EINVAL);
  EXPECT_EQ(text, "");
  EXPECT_EQ(ReadRegularFile(folder.Path("zero.BUF"), 100, text), EINVAL);
  EXPECT_EQ(ReadRegularFile(folder.path(), 100, text), EISDIR);
  EXPECT_EQ(ReadRegularFile(folder.Path("missing"), 100, text), ENOENT);
  EXPECT_EQ(ReadFileHead(folder.Path("zero.BUF"), 100), std::nullopt);
  EXPECT_EQ(ReadFileText(folder.Path("link"), 100), "bytes");
  EXPECT_EQ(ReadFileText(folder.Path("link"), 100, LinkPolicy::kNoFollow), std::nullopt);
}

TEST(ReadRegularFileTest, ReadsWithinTheBoundAndPastAReportedSizeOfZero) {
  TempFolder folder;
  const std::string path = folder.Path("large");
  const std::string large(200000, 'x');
  WriteAll(path, large);
  std::string text;
  EXPECT_EQ(ReadRegularFile(path, large.size(), text), 0);
  EXPECT_EQ(text, large);
  EXPECT_EQ(ReadRegularFile(path, large.size() - 1, text), EFBIG);
  EXPECT_EQ(text, "");
  EXPECT_EQ(ReadFileHead(path, 1000), std::string(1000, 'x'));

  // /proc files say they are empty; their text is read to its end all the same.
  struct stat info {};
  ASSERT_EQ(stat("/proc/self/status", &info), 0);
  ASSERT_EQ(info.st_size, 0);
  const std::optional<std::string> status = ReadFileText("/proc/self/status", 1 << 20);
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(status->find("VmRSS:"), std::string::npos);
  // The kernel's files read without the type check keep the bound.
  const std::optional<std::string> kernel = ReadKernelFileText("/proc/self/status", 1 << 20);
  ASSERT_TRUE(kernel.has_value());
  EXPECT_NE(kernel->find("VmRSS:"), std::string::npos);
  EXPECT_EQ(ReadKernelFileText("/proc/self/status", 100), std::nullopt);
}

TEST(ReadableFileTest, ReadsOnInStepsUntilTheEnd) {
  TempFolder folder;
  WriteAll(folder.Path("f"), "0123456789");
  ReadableFile file;
  ASSERT_EQ(file.Open(folder.Path("f")), 0);
  std::string text;
  ASSERT_EQ(file.ReadUpTo(text, 4), 0);
  EXPECT_EQ(text, "0123");
  EXPECT_FALSE(file.AtEnd());
  ASSERT_EQ(file.ReadUpTo(text, 100), 0);
  EXPECT_EQ(text, "0123456789");
  EXPECT_TRUE(file.AtEnd());
}

TEST(WriteRegularFileTest, WritesAppendsAndRefusesAFifoWithoutWaiting) {
  TempFolder folder;
  const std::string path = folder.Path("TarvoAgent.log");
  const std::string binary("a\0b\r\n", 5);
  ASSERT_EQ(WriteRegularFile(path, "longer old content", WriteMode::kTruncate), 0);
  ASSERT_EQ(WriteRegularFile(path, binary, WriteMode::kTruncate), 0);
  ASSERT_EQ(WriteRegularFile(path, "tail", WriteMode::kAppend), 0);
  EXPECT_EQ(ReadAll(path), binary + "tail");
  EXPECT_EQ(WriteRegularFile(folder.Path("no/such/folder"), "x", WriteMode::kAppend), ENOENT);

  // Without a reader the open fails at once; with one, the type check refuses it.
  const std::string fifo = folder.Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(WriteRegularFile(fifo, "x", WriteMode::kAppend), ENXIO);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(WriteRegularFile(fifo, "x", WriteMode::kTruncate), EINVAL);
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);  // nothing reached the FIFO
  close(reader);
}

TEST(WriteFileAtomicTest, ReplacesTheContentAndLeavesNoTemporaryBehind) {
  TempFolder folder;
  const std::string path = folder.Path("ServerEvents.txt");
  WriteAll(path, "old line that is longer than the new content\r\n");
  ASSERT_EQ(WriteFileAtomic(path, "new\r\n", true), 0);
  EXPECT_EQ(ReadAll(path), "new\r\n");
  EXPECT_EQ(EntryCount(folder.path()), 1u);

  // What is not a regular file stays as it is, and no temporary is left.
  std::filesystem::create_directory(folder.Path("blocked"));
  EXPECT_EQ(WriteFileAtomic(folder.Path("blocked"), "x", false), EISDIR);
  ASSERT_EQ(mkfifo(folder.Path("fifo").c_str(), 0644), 0);
  EXPECT_EQ(WriteFileAtomic(folder.Path("fifo"), "x", false), EINVAL);
  EXPECT_TRUE(std::filesystem::is_fifo(folder.Path("fifo")));
  EXPECT_EQ(EntryCount(folder.path()), 3u);
}

TEST(WriteFileAtomicTest, WritesThroughALinkAndKeepsModeAndOwner) {
  TempFolder folder;
  std::filesystem::create_directory(folder.Path("real"));
  const std::string target = folder.Path("real/TarvoAgent.cfg");
  WriteAll(target, "PORT=9000\r\n");
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
  }
  const std::string link = folder.Path("TarvoAgent.cfg");
  std::filesystem::create_symlink("real/TarvoAgent.cfg", link);

  ASSERT_EQ(WriteFileAtomic(link, "PORT=9001\r\n", true), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadAll(target), "PORT=9001\r\n");
  struct stat info {};
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0444u);
  if (root) {
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
  }
  EXPECT_EQ(EntryCount(folder.Path("real")), 1u);

  // A link to nothing yet makes its target, as a write through it would.
  std::filesystem::create_symlink("real/new.txt", folder.Path("dangling"));
  ASSERT_EQ(WriteFileAtomic(folder.Path("dangling"), "x", false), 0);
  EXPECT_EQ(ReadAll(folder.Path("real/new.txt")), "x");
}

// A save cut short leaves its temporary file behind; the next save removes it,
// but never the temporary file of a save still under way (held locked), nor a
// file of the user's that only looks alike.
TEST(WriteFileAtomicTest, RemovesTheTemporaryOfACrashedSaveOnly) {
  TempFolder folder;
  const std::string path = folder.Path("TarvoAgent.cfg");
  WriteAll(path, "old");
  const std::string crashed = folder.Path(".TarvoAgent.cfg.tarvo-save-a1B2c3");
  const std::string running = folder.Path(".TarvoAgent.cfg.tarvo-save-x9Y8z7");
  const std::string other = folder.Path(".Other.cfg.tarvo-save-a1B2c3");
  const std::string users = folder.Path(".TarvoAgent.cfg.backup");
  WriteAll(crashed, "half");
  WriteAll(running, "half");
  WriteAll(other, "half");
  WriteAll(users, "kept");
  const int held = open(running.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  ASSERT_EQ(WriteFileAtomic(path, "new", false), 0);
  EXPECT_EQ(ReadAll(path), "new");
  EXPECT_FALSE(std::filesystem::exists(crashed));
  EXPECT_TRUE(std::filesystem::exists(running));
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_EQ(ReadAll(users), "kept");
  close(held);
}

}  // namespace
}  // namespace platform
