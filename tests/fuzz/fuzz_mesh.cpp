// libFuzzer target: the STL and OBJ readers, which read only from a file, so
// every input goes to this process's own temporary file first.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                            ("pl_fuzz_mesh_" + std::to_string(::getpid()) + ".src");
  plfuzz::CheckMeshInput({data, size}, path);
  return 0;
}
