#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

class FileSystem : public TempDirTest {};

TEST_F(FileSystem, StatusTellsMissingNamesFromFailedQueries) {
  const fs::path file = WriteFile("file.stl", "solid");
  fs::create_directory(dir / "sub");
  fs::create_symlink(file, dir / "link");
  fs::create_symlink(dir / "gone", dir / "dangling");
  using T = fs::file_type;
  const std::tuple<fs::path, T, T> cases[] = {
      // path, followed, the name itself
      {file, T::regular, T::regular},
      {dir / "sub", T::directory, T::directory},
      {dir / "link", T::regular, T::symlink},
      {dir / "dangling", T::not_found, T::symlink},
      {dir / "missing", T::not_found, T::not_found},
      {dir / "missing" / "child", T::not_found, T::not_found},
      {file / "child", T::not_found, T::not_found},
      {dir / std::string(300, 'n'), T::not_found, T::not_found},
  };
  for (const auto& [path, followed, itself] : cases) {
    SCOPED_TRACE(path.string().substr(0, 80));
    EXPECT_FALSE(QueryPathStatus(path).error);
    EXPECT_FALSE(QueryPathStatusNoFollow(path).error);
    EXPECT_EQ(QueryPathStatus(path).type, followed);
    EXPECT_EQ(QueryPathStatusNoFollow(path).type, itself);
  }
}

TEST_F(FileSystem, SizeAndCanonicalPathOfExistingFilesOnly) {
  const fs::path file = WriteFile("part.stl", "12345");
  std::uint64_t size = 0;
  ASSERT_TRUE(QueryFileSize(file, size));
  EXPECT_EQ(size, 5u);
  EXPECT_FALSE(QueryFileSize(dir, size));
  EXPECT_FALSE(QueryFileSize(dir / "missing", size));
  fs::create_directory(dir / "sub");
  fs::create_symlink(file, dir / "sub" / "alias");
  std::error_code error;
  EXPECT_EQ(CanonicalPath(dir / "sub" / ".." / "part.stl", error), fs::canonical(file));
  EXPECT_FALSE(error);
  EXPECT_EQ(CanonicalPath(dir / "sub" / "alias", error), fs::canonical(file));
  EXPECT_TRUE(CanonicalPath(dir / "missing", error).empty());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

// Creating and linking refuse any taken name (a dangling link included) and leave it as it
// was; removal takes files and empty directories only.
TEST_F(FileSystem, NeverOverwritesAndRemovesOnlyWhatItMay) {
  const fs::path taken = WriteFile("taken", "old");
  fs::create_symlink(dir / "target", dir / "dangling");
  const auto create = [](const fs::path& path) {
    PlCreateOutcome outcome = PlCreateOutcome::created;
    EXPECT_FALSE(PlFile::CreateExclusive(path, outcome).IsOpen());
    return outcome;
  };
  EXPECT_EQ(create(taken), PlCreateOutcome::exists);
  EXPECT_EQ(create(dir / "dangling"), PlCreateOutcome::exists);
  EXPECT_EQ(create(dir / "missing" / "child"), PlCreateOutcome::failed);
  EXPECT_FALSE(fs::exists(dir / "target"));

  const fs::path staged = WriteFile("staged", "new");
  std::error_code error;
  EXPECT_TRUE(CreateHardLink(staged, dir / "out", error));
  EXPECT_EQ(ReadFile(dir / "out"), "new");
  EXPECT_FALSE(CreateHardLink(staged, taken, error));
  EXPECT_EQ(error, std::errc::file_exists);
  EXPECT_EQ(ReadFile(taken), "old");

  fs::create_directories(dir / "full" / "child");
  fs::create_directory(dir / "empty");
  for (const fs::path& path : {staged, dir / "empty", dir / "missing"}) {
    EXPECT_TRUE(RemovePath(path, error)) << path;
    EXPECT_FALSE(error);
    EXPECT_FALSE(fs::exists(path));
  }
  EXPECT_FALSE(RemovePath(dir / "full", error));
  EXPECT_TRUE(error);
  EXPECT_TRUE(fs::exists(dir / "full" / "child"));
}

// Every failure after creation removes the file; a taken name is left as it was.
TEST_F(FileSystem, ExclusiveWriteRemovesWhatItCreatedOnEveryFailure) {
  const std::string text = "0123456789";
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  PlExclusiveWriteOptions options;
  options.chunkBytes = 4;
  options.readBack = true;
  using O = PlExclusiveWriteOutcome;
  const std::tuple<const char*, PlFileSystemFaults, O> cases[] = {
      {"create", {.createErrno = EACCES}, O::createFailed},
      {"write", {.writeErrno = EIO}, O::writeFailed},
      {"writeZero", {.writeZero = true}, O::writeFailed},
      {"sync", {.syncErrno = EIO}, O::syncFailed},
      {"size", {.sizeDelta = 1}, O::lengthChanged},
      {"seek", {.seekErrno = EIO}, O::lengthChanged},
      {"read", {.readErrno = EIO}, O::readFailed},
      {"readZero", {.readZero = true}, O::readFailed},
      {"flip", {.flipReadByte = true}, O::bytesChanged},
      {"close", {.closeErrno = EIO}, O::closeFailed},
  };
  for (const auto& [name, faults, outcome] : cases) {
    SCOPED_TRACE(name);
    const fs::path path = dir / name;
    {
      const ScopedPlFileSystemFaults injected(faults);
      EXPECT_EQ(WriteFileExclusive(path, bytes, options), outcome);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
  }

  const fs::path taken = WriteFile("taken", "old");
  EXPECT_EQ(WriteFileExclusive(taken, bytes, options), O::exists);
  EXPECT_EQ(ReadFile(taken), "old");

  std::vector<std::uint64_t> progress;
  options.afterChunk = [&progress](std::uint64_t written, std::uint64_t) {
    progress.push_back(written);
  };
  EXPECT_EQ(WriteFileExclusive(dir / "done", bytes, options), O::written);
  EXPECT_EQ(ReadFile(dir / "done"), text);
  EXPECT_EQ(progress, (std::vector<std::uint64_t>{0, 4, 8, 10}));
}
