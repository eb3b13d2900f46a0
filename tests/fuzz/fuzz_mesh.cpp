// libFuzzer target: the STL and OBJ readers, which read only from a file, so
// every input is written to this process's own temporary file first and
// removed again after the run (libFuzzer ends without running destructors).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "fuzz/fuzz_checks.h"

namespace {

const std::filesystem::path& SourcePath() {
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("pl_fuzz_mesh_" + std::to_string(::getpid()) + ".src");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plfuzz::CheckMeshInput({data, size}, SourcePath());
  std::error_code ignored;  // an input the check never wrote leaves nothing to remove
  std::filesystem::remove(SourcePath(), ignored);
  return 0;
}
