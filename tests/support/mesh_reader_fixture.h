#pragma once
// The fixture the STL and OBJ reader tests share: each source goes to a fresh
// file in the test's folder, and every progress report of a read is kept.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "mesh/mesh_line_reader.h"
#include "platform/file_system.h"
#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

// A run whose cancellation has already been asked for.
class AlwaysCancelled final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return true; }
};

// A source the reader must refuse, read in `units` under the two limits, and
// the failure it must give.
struct RefusedMeshSource {
  std::string bytes;
  const char* code;
  const char* message;
  const char* stage = "import";
  const char* units = "mm";
  std::uint64_t maxTriangles = 10;
  std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes;
};

class MeshReaderTest : public TempDirTest {
 public:
  using Progress = std::tuple<std::string, std::uint64_t, std::uint64_t>;
  using Reader = PlCadPrepTriangleImport (*)(const PlCadPrepRequest&, const ProgressCallback&,
                                             const PlCadPrepCancellation&);

 protected:
  MeshReaderTest(Reader sourceReader, PlCadPrepSourceFormat sourceFormat)
      : reader(sourceReader), format(sourceFormat) {}

  // A request in mm for `bytes`, written to a file of its own.
  PlCadPrepRequest Request(std::string_view bytes) const {
    PlCadPrepRequest request;
    // A fresh name per file: truncating a written file costs a flush on some file systems.
    request.inputPath =
        WriteFile(std::to_string(++files) + "." + std::string(SourceFormatText(format)), bytes);
    request.sourceFormat = format;
    request.sourceUnits = "mm";
    return request;
  }
  // Reads with the fixture's reader, appending its reports to `progress`.
  PlCadPrepTriangleImport Read(const PlCadPrepRequest& request) { return Read(request, never); }
  PlCadPrepTriangleImport Read(const PlCadPrepRequest& request,
                               const PlCadPrepCancellation& cancellation) {
    return reader(
        request,
        [this](std::string_view stage, std::uint64_t done, std::uint64_t total) {
          progress.emplace_back(std::string(stage), done, total);
        },
        cancellation);
  }

  // Reads each source from a file of its own and pins its failure.
  void ExpectRefusals(std::span<const RefusedMeshSource> sources) {
    for (const RefusedMeshSource& c : sources) {
      SCOPED_TRACE(c.bytes.substr(0, 60) + "/" + c.units);
      PlCadPrepRequest request = Request(c.bytes);
      request.sourceUnits = c.units;
      request.maxTriangles = c.maxTriangles;
      request.maxMemoryBytes = c.maxMemoryBytes;
      ExpectPlCadPrepError([&] { (void)Read(request); }, c.code, c.stage, c.message);
    }
  }

  // Reads `request` while the platform fails to tell the file's size.
  void ExpectFailureWithoutFileSize(const PlCadPrepRequest& request, std::string_view code,
                                    std::string_view stage, std::string_view message) {
    PlFileSystemFaults faults;
    faults.sizeErrno = EIO;
    const ScopedPlFileSystemFaults scoped(faults);
    ExpectPlCadPrepError([&] { (void)Read(request); }, code, stage, message);
  }
  // Reads "/proc/self/mem", which opens but whose every read fails, in place of
  // the file `request` names; skips where it cannot be opened.
  void ExpectUnreadableSourceFailure(PlCadPrepRequest request) {
    if (!PlMeshSourceFile("/proc/self/mem").IsOpen()) GTEST_SKIP() << "no /proc/self/mem";
    request.inputPath = "/proc/self/mem";
    ExpectPlCadPrepError([&] { (void)Read(request); }, "input_read_failed", "import",
                         "mesh could not be read");
  }

  const Reader reader;
  const NeverCancelled never;
  std::vector<Progress> progress;

 private:
  const PlCadPrepSourceFormat format;
  mutable int files = 0;
};

// The fixture of one reader, whose sources go to files named after their format ("1.stl").
template <MeshReaderTest::Reader sourceReader, PlCadPrepSourceFormat sourceFormat>
class MeshReaderFixture : public MeshReaderTest {
 protected:
  MeshReaderFixture() : MeshReaderTest(sourceReader, sourceFormat) {}
};
