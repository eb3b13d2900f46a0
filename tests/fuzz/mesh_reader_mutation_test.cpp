// Deterministic random mutation of small valid STL and OBJ sources: every
// mutant must either import into a mesh that meets the runtime contract or fail
// with one of the readers' or the builder's own failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "core/sha256.h"
#include "fuzz/fuzz_checks.h"
#include "mesh/geometry_mesh.h"
#include "mesh/obj_reader.h"
#include "mesh/stl_reader.h"
#include "support/temp_dir.h"

// Mutants per seed source. A longer hunt rebuilds this file with a larger value
// (and PL_MESH_MUTATION_SEED to explore elsewhere); the suite keeps it short.
#ifndef PL_MESH_MUTATION_ROUNDS
#define PL_MESH_MUTATION_ROUNDS 4000
#endif
#ifndef PL_MESH_MUTATION_SEED
#define PL_MESH_MUTATION_SEED 0x5EED2024u
#endif

namespace {

const NeverCancelled kNever;

void PutU32(std::string& out, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
}

std::string BinaryTetrahedron() {
  const float p[4][3] = {{0, 0, 0}, {10.5f, 0, 0}, {0, 20, 0}, {0, 0, 7.25f}};
  const int faces[4][3] = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
  std::string out(84 + 4 * 50, '\0');
  out.replace(0, 80, 80, ' ');
  PutU32(out, 80, 4);
  for (std::size_t f = 0; f < 4; ++f) {
    for (std::size_t corner = 0; corner < 3; ++corner) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        PutU32(out, 84 + 50 * f + 12 + 12 * corner + 4 * axis,
               std::bit_cast<std::uint32_t>(p[faces[f][corner]][axis]));
      }
    }
  }
  return out;
}

const std::string kAsciiTetrahedron =
    "solid t\n"
    " facet normal 0 0 -1\n  outer loop\n   vertex 0 0 0\n   vertex 0 2E1 0\n"
    "   vertex 1.05e+001 0 0\n  endloop\n endfacet\n"
    " facet normal 0 -1 0\r\n  outer loop\r\n   vertex 0 0 0\n   vertex 10.5 0 0\n"
    "   vertex 0 0 7.25\n  endloop\n endfacet\n"
    " facet normal -1 0 0\n  outer loop\n   vertex -0 0 0\n   vertex 0 0 725e-2\n"
    "   vertex 0 20 0\n  endloop\n endfacet\n"
    " facet normal 1 1 1\n  outer loop\n   vertex 10.5 0 0\n   vertex 0 20 0\n"
    "   vertex 0 0 7.25\n  endloop\n endfacet\n"
    "endsolid t\n";

const std::string kObjTetrahedron =
    "# t\nmtllib t.mtl\no t\nv 0 0 0\nv 10.5 0 0\nv 0 20 0 1\nv 0 0 7.25\nvt 0 0\nvn 0 0 1\n"
    "g a\ns 1\nusemtl m\nf 1 3 2\nf 1/1 2/1 4/1\nf 1//1 4//1 3//1\nf -3/1/1 -2 -1 # end\n";

const std::array<std::string_view, 22> kTokens = {
    "\n",     " ",       "\r\n",     "\t",       "-",       "+",        ".", "e",
    "1e400",  "nan",     "-0",       "0x1p3",    "/",       "//",       "#", "facet normal 0 0 1",
    "vertex", "endloop", "endfacet", "endsolid", "f 1 2 3", "v 1 2 3 1"};

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : random(seed) {}

  std::uint64_t Below(std::uint64_t bound) { return bound == 0 ? 0 : random() % bound; }

  // Binary sources mostly get size-keeping mutations, so that most mutants are
  // still read as binary rather than falling back to text.
  void Mutate(std::string& bytes, bool binary) {
    for (std::uint64_t step = 0, steps = 1 + Below(3); step < steps; ++step) {
      const std::array<std::uint64_t, 4> sizeKeeping = {0, 1, 6, 7};
      MutateOnce(bytes, binary && Below(4) != 0 ? sizeKeeping[Below(4)] : Below(8));
    }
  }

 private:
  void MutateOnce(std::string& bytes, std::uint64_t kind) {
    const auto at = static_cast<std::size_t>(Below(bytes.size() + 1));
    const bool inside = at < bytes.size();
    switch (kind) {
      case 0:
        if (inside) bytes[at] = static_cast<char>(bytes[at] ^ (1 << Below(8)));
        break;
      case 1:
        if (inside) bytes[at] = static_cast<char>(Below(256));
        break;
      case 2:
        bytes.resize(at);
        break;
      case 3:
        bytes.insert(at, kTokens[static_cast<std::size_t>(Below(kTokens.size()))]);
        break;
      case 4: {  // duplicate the line (or, in binary, up to 200 bytes) at `at`
        const std::size_t begin = bytes.rfind('\n', at == 0 ? 0 : at - 1);
        const std::size_t start = begin == std::string::npos ? 0 : begin + 1;
        const std::size_t end = bytes.find('\n', start);
        const std::size_t length =
            end == std::string::npos ? bytes.size() - start : end - start + 1;
        bytes.insert(start, bytes.substr(start, std::min<std::size_t>(length, 200)));
        break;
      }
      case 5:  // drop a run of bytes
        if (inside) bytes.erase(at, static_cast<std::size_t>(Below(60)));
        break;
      case 6:  // a whole facet more or less, with the count following it
        if (bytes.size() >= 134 && Below(2) == 0) {
          bytes.insert(84, bytes.substr(84, 50));
          bytes[80] = static_cast<char>(bytes[80] + 1);
        } else if (bytes.size() >= 134) {
          bytes.erase(84, 50);
          bytes[80] = static_cast<char>(bytes[80] - 1);
        }
        break;
      default:  // a facet count that no longer matches, or a float set to odd bits
        if (bytes.size() >= 84 && Below(2) == 0) {
          bytes[80] = static_cast<char>(bytes[80] + static_cast<char>(Below(3)) - 1);
        } else if (at + 4 <= bytes.size()) {
          const std::uint32_t odd[] = {0x7F800000u, 0xFF800000u, 0x7FC00000u, 0x80000000u,
                                       0x7F7FFFFFu};
          PutU32(bytes, at, odd[Below(5)]);
        }
        break;
    }
  }

  std::mt19937_64 random;
};

class MeshReaderMutation : public TempDirTest {
 protected:
  // Imports one source and checks the outcome; returns the failure code or "ok".
  // With `mutator`, the units and limits are sometimes varied as well.
  std::string Check(const std::string& bytes, bool asObj, Mutator* mutator) {
    PlCadPrepRequest request;
    // A fresh name per mutant: truncating a written file costs a flush on some file systems.
    request.inputPath = WriteFile(std::to_string(++files) + (asObj ? ".obj" : ".stl"), bytes);
    request.sourceFormat = asObj ? PlCadPrepSourceFormat::obj : PlCadPrepSourceFormat::stl;
    request.sourceUnits = "mm";
    if (mutator != nullptr) {
      const char* units[] = {"mm", "cm", "m", "in", "mm "};
      if (mutator->Below(8) == 0) request.sourceUnits = units[mutator->Below(5)];
      if (mutator->Below(8) == 0) request.maxTriangles = mutator->Below(6);
      if (mutator->Below(8) == 0) request.maxMemoryBytes = mutator->Below(4096);
    }
    std::string outcome = "ok";
    try {
      const PlCadPrepTriangleImport result =
          asObj ? ReadPlCadPrepObj(request, {}, kNever) : ReadPlCadPrepStl(request, {}, kNever);
      const PlMemberDiagnostic diagnostic =
          CheckPlRuntimeMeshContract(result.mesh, kPlRuntimeMeshLimits);
      EXPECT_TRUE(diagnostic.Passed()) << diagnostic.message;
      EXPECT_LE(result.mesh.triangles.size(), request.maxTriangles);
      Sha256 hash;
      hash.Update(bytes);
      EXPECT_EQ(result.sourceHash, Sha256IdentityText(hash.Finish()));
    } catch (const PlCadPrepError& e) {
      EXPECT_TRUE(e.stage == "import" || e.stage == "validate" || e.stage == "preflight")
          << e.stage;
      EXPECT_NE(std::find(plfuzz::kMeshCodes.begin(), plfuzz::kMeshCodes.end(), e.code),
                plfuzz::kMeshCodes.end())
          << e.code << ": " << e.what();
      EXPECT_FALSE(std::string_view(e.what()).empty()) << e.code;
      outcome = e.code;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "unexpected exception: " << e.what();
      outcome = "unexpected";
    }
    std::error_code ignored;  // each mutant goes once read; the fixture removes the rest
    std::filesystem::remove(request.inputPath, ignored);
    return outcome;
  }
  std::uint64_t files = 0;
};

}  // namespace

TEST_F(MeshReaderMutation, EveryMutantImportsCleanlyOrFailsWithAKnownError) {
  const struct {
    std::string bytes;
    bool isObj;
    bool binary;
  } seeds[] = {{BinaryTetrahedron(), false, true},
               {kAsciiTetrahedron, false, false},
               {kObjTetrahedron, true, false}};
  Mutator mutator(PL_MESH_MUTATION_SEED);
  std::map<std::string, std::uint64_t> outcomes;
  for (const auto& [seed, isObj, binary] : seeds) {
    ASSERT_EQ(Check(seed, isObj, nullptr), "ok");
    for (int round = 0; round < PL_MESH_MUTATION_ROUNDS; ++round) {
      std::string bytes = seed;
      mutator.Mutate(bytes, binary);
      // Now and then the other reader gets the mutant, so each sees foreign input too.
      const bool asObj = mutator.Below(10) == 0 ? !isObj : isObj;
      ++outcomes[Check(bytes, asObj, &mutator)];
      if (HasFailure()) {
        ADD_FAILURE() << "mutant of round " << round << " (" << bytes.size() << " bytes)";
        return;
      }
    }
  }
  // Mutation must reach both ends: some mutants still import, most fail.
  EXPECT_GT(outcomes["ok"], 0u);
  EXPECT_GT(outcomes.size(), 10u);
#ifdef PL_MESH_MUTATION_REPORT
  for (const auto& [code, count] : outcomes) std::cout << code << " " << count << "\n";
#endif
}
