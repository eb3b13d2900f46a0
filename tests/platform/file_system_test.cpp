#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

class FileSystem : public TempDirTest {};

TEST_F(FileSystem, StatusTellsMissingNamesFromFailedQueries) {
  const fs::path file = WriteFile("file.stl", "12345");
  fs::create_directory(dir / "sub");
  fs::create_symlink(file, dir / "sub" / "link");
  fs::create_symlink(dir / "gone", dir / "dangling");
  using T = fs::file_type;
  const std::tuple<fs::path, T, T> cases[] = {
      // path, followed, the name itself
      {file, T::regular, T::regular},
      {dir / "sub", T::directory, T::directory},
      {dir / "sub" / "link", T::regular, T::symlink},
      {dir / "dangling", T::not_found, T::symlink},
      {dir / "missing" / "child", T::not_found, T::not_found},
      {file / "child", T::not_found, T::not_found},
      {dir / std::string(300, 'n'), T::not_found, T::not_found},
  };
  for (const auto& [path, followed, itself] : cases) {
    SCOPED_TRACE(path.string().substr(0, 80));
    EXPECT_FALSE(QueryPathStatus(path).error || QueryPathStatusNoFollow(path).error);
    EXPECT_EQ(QueryPathStatus(path).type, followed);
    EXPECT_EQ(QueryPathStatusNoFollow(path).type, itself);
  }
  std::uint64_t size = 0;
  EXPECT_FALSE(QueryFileSize(dir, size));
  ASSERT_TRUE(QueryFileSize(file, size));
  EXPECT_EQ(size, 5u);
  std::error_code error;
  EXPECT_EQ(CanonicalPath(dir / "sub" / ".." / "sub" / "link", error), fs::canonical(file));
  EXPECT_FALSE(error);
  EXPECT_TRUE(CanonicalPath(dir / "missing", error).empty());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

// Creating and linking refuse any taken name (a dangling link included) and leave it as it
// was; removal takes files and empty directories only; injected faults fail like the system.
TEST_F(FileSystem, NeverOverwritesAndRemovesOnlyWhatItMay) {
  const fs::path taken = WriteFile("taken", "old");
  fs::create_symlink(dir / "target", dir / "dangling");
  for (const auto& [path, expected] : {std::pair{taken, PlCreateOutcome::exists},
                                       {dir / "dangling", PlCreateOutcome::exists},
                                       {dir / "missing" / "child", PlCreateOutcome::failed}}) {
    PlCreateOutcome outcome = PlCreateOutcome::created;
    EXPECT_FALSE(PlFile::CreateExclusive(path, outcome).IsOpen());
    EXPECT_EQ(outcome, expected) << path;
  }
  EXPECT_FALSE(fs::exists(dir / "target"));

  const fs::path staged = WriteFile("staged", "new");
  std::error_code error;
  EXPECT_TRUE(CreateHardLink(staged, dir / "out", error));
  EXPECT_EQ(ReadFile(dir / "out"), "new");
  EXPECT_FALSE(CreateHardLink(staged, taken, error));
  EXPECT_EQ(error, std::errc::file_exists);
  EXPECT_EQ(ReadFile(taken), "old");
  {
    const ScopedPlFileSystemFaults injected({.linkErrno = EXDEV, .removeErrno = EIO});
    EXPECT_FALSE(CreateHardLink(staged, dir / "other", error));
    EXPECT_EQ(error, std::errc::cross_device_link);
    EXPECT_FALSE(RemovePath(staged, error));
    EXPECT_EQ(error, std::errc::io_error);
  }
  fs::create_directories(dir / "full" / "child");
  fs::create_directory(dir / "empty");
  for (const fs::path& path : {staged, dir / "empty", dir / "missing"}) {
    EXPECT_TRUE(RemovePath(path, error)) << path;
    EXPECT_FALSE(error || fs::exists(path));
  }
  EXPECT_FALSE(RemovePath(dir / "full", error));
  EXPECT_EQ(error, std::errc::directory_not_empty);
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"dangling", "full", "out", "taken"}));
}

// Every failure after creation removes the file; a taken name is left as it was.
TEST_F(FileSystem, ExclusiveWriteRemovesWhatItCreatedOnEveryFailure) {
  const std::string text = "0123456789";
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  PlExclusiveWriteOptions options;
  options.chunkBytes = 4;
  options.readBack = true;
  using O = PlExclusiveWriteOutcome;
  const std::tuple<const char*, PlFileSystemFaults, O> cases[] = {
      {"create", {.createErrno = EACCES}, O::createFailed},
      {"write", {.writeErrno = EIO}, O::writeFailed},
      {"writeZero", {.writeZero = true}, O::writeFailed},
      {"sync", {.syncErrno = EIO}, O::syncFailed},
      {"size", {.sizeErrno = EIO}, O::lengthChanged},
      {"sizeDelta", {.sizeDelta = 1}, O::lengthChanged},
      {"seek", {.seekErrno = EIO}, O::lengthChanged},
      {"read", {.readErrno = EIO}, O::readFailed},
      {"readZero", {.readZero = true}, O::readFailed},
      {"flip", {.flipReadByte = true}, O::bytesChanged},
      {"close", {.closeErrno = EIO}, O::closeFailed},
  };
  for (const auto& [name, faults, outcome] : cases) {
    SCOPED_TRACE(name);
    {
      const ScopedPlFileSystemFaults injected(faults);
      EXPECT_EQ(WriteFileExclusive(dir / name, bytes, options), outcome);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / name)));
  }
  const fs::path taken = WriteFile("taken", "old");
  EXPECT_EQ(WriteFileExclusive(taken, bytes, options), O::exists);
  EXPECT_EQ(ReadFile(taken), "old");

  std::vector<std::uint64_t> progress;
  options.afterChunk = [&progress](std::uint64_t written, std::uint64_t total) {
    progress.push_back(total * 100 + written);
  };
  EXPECT_EQ(WriteFileExclusive(dir / "done", bytes, options), O::written);
  EXPECT_EQ(ReadFile(dir / "done"), text);
  EXPECT_EQ(progress, (std::vector<std::uint64_t>{1000, 1004, 1008, 1010}));
}
