#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

class FileSystem : public TempDirTest {};

// Status tells missing names from failed queries; creating and linking never overwrite a taken
// name (a dangling link included); removal takes files and empty directories only.
TEST_F(FileSystem, QueriesCreatesLinksAndRemovesWithoutOverwriting) {
  const fs::path file = WriteFile("taken", "old"), sub = dir / "sub";
  fs::create_directories(sub / "child");
  fs::create_symlink(file, dir / "link");
  fs::create_symlink(dir / "target", dir / "dangling");
  using T = fs::file_type;
  for (const auto& [path, followed, itself] : {std::tuple{file, T::regular, T::regular},
                                               {dir / "link", T::regular, T::symlink},
                                               {dir / "dangling", T::not_found, T::symlink},
                                               {file / "child", T::not_found, T::not_found}}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(QueryPathStatus(path).error || QueryPathStatusNoFollow(path).error);
    EXPECT_EQ(QueryPathStatus(path).type, followed);
    EXPECT_EQ(QueryPathStatusNoFollow(path).type, itself);
  }
  std::error_code error;
  for (const auto& [path, expected] : {std::pair{file, PlCreateOutcome::exists},
                                       {dir / "dangling", PlCreateOutcome::exists},
                                       {dir / "missing" / "child", PlCreateOutcome::failed}}) {
    PlCreateOutcome outcome = PlCreateOutcome::created;
    EXPECT_FALSE(PlFile::CreateExclusive(path, outcome).IsOpen());
    EXPECT_EQ(outcome, expected) << path;
  }
  const fs::path staged = WriteFile("staged", "new");
  EXPECT_TRUE(CreateHardLink(staged, dir / "out", error));
  EXPECT_FALSE(CreateHardLink(staged, file, error));
  EXPECT_EQ(error, std::errc::file_exists);
  for (const fs::path& path : {staged, sub / "child", dir / "missing"}) {
    EXPECT_TRUE(RemovePath(path, error)) << path;
    EXPECT_FALSE(error || fs::exists(path));
  }
  fs::create_directory(sub / "child");
  EXPECT_FALSE(RemovePath(sub, error));
  EXPECT_EQ(error, std::errc::directory_not_empty);
  EXPECT_EQ(ReadFile(file) + ReadFile(dir / "out"), "oldnew");
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"dangling", "link", "out", "sub", "taken"}));
}

// Every failure after creation removes the file.
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
      {"readZero", {.readZero = true}, O::readFailed},
      {"read", {.readErrno = EIO}, O::readFailed},
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
  std::vector<std::uint64_t> progress;
  options.afterChunk = [&](std::uint64_t written, std::uint64_t total) {
    progress.push_back(total * 100 + written);
  };
  EXPECT_EQ(WriteFileExclusive(dir / "done", bytes, options), O::written);
  EXPECT_EQ(ReadFile(dir / "done"), text);
  EXPECT_EQ(progress, (std::vector<std::uint64_t>{1000, 1004, 1008, 1010}));
}
