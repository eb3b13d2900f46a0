#include "mesh/stl_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/sha256.h"
#include "support/expect_error.h"
#include "support/mesh_reader_fixture.h"

namespace {

using Facet = std::array<std::array<float, 3>, 3>;
using Progress = MeshReaderTest::Progress;

// Zero normals and an ignored attribute count of 0xFFFF; `count` overrides the facet count.
std::string BinaryStl(const std::vector<Facet>& facets, std::string title = "", int count = -1) {
  title.resize(80, '\0');
  std::vector<std::uint32_t> words = {
      static_cast<std::uint32_t>(count < 0 ? static_cast<int>(facets.size()) : count)};
  for (const Facet& facet : facets) {
    words.insert(words.end(), {0, 0, 0});
    for (const auto& corner : facet)
      for (const float v : corner) words.push_back(std::bit_cast<std::uint32_t>(v));
    words.push_back(0xFFFF'FFFF);  // the 2-byte attribute count; the other 2 are cut below
  }
  std::string out = title;
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>(words[i] >> shift);
    if (i > 0 && i % 13 == 0) out.resize(out.size() - 2);
  }
  return out;
}

const std::vector<Facet> kTetra = {{{{0, 0, 0}, {0, 2, 0}, {1, 0, 0}}},
                                   {{{0, 0, 0}, {1, 0, 0}, {0, 0, 3}}},
                                   {{{0, 0, 0}, {0, 0, 3}, {0, 2, 0}}},
                                   {{{1, 0, 0}, {0, 2, 0}, {0, 0, 3}}}};

std::string AsciiFacet(const std::string& a, const std::string& b, const std::string& c) {
  return "facet normal 0 0 1\nouter loop\nvertex " + a + "\nvertex " + b + "\nvertex " + c +
         "\nendloop\nendfacet\n";
}

std::string AsciiSolid(const std::string& facet, int count) {
  std::string text = "solid\n";
  for (int i = 0; i < count; ++i) text += facet;
  return text + "endsolid\n";
}

const std::string kFacet = AsciiFacet("0 0 0", "1 0 0", "0 1 0");

using StlReader = MeshReaderFixture<ReadPlCadPrepStl, PlCadPrepSourceFormat::stl>;

}  // namespace

TEST_F(StlReader, ReadsGoldenBinaryAndAsciiSources) {
  const std::string ascii =
      "\n solid golden\r\n facet normal 0 0 -1\r\n  outer loop\r\n   vertex 0 0 0\r\n"
      "   vertex 0 2E0 0\r\n   vertex 1.0e+000 0 0\r\n  endloop\r\n endfacet\r\n"
      " facet normal 0 -1 0\r\n  outer loop\r\n vertex -0 0 0\r\n vertex 1 0 0\r\n"
      "   vertex\t0  0  3 \r\n  endloop \r\n endfacet\r\n\r\n"
      "\tfacet\tnormal 1 0 0\r\nouter loop\r\nvertex 0 0 0\r\nvertex 0 0 3e0\r\nvertex 0 2 0\r\n"
      "endloop\r\nendfacet\r\nfacet normal 5.773503e-001 1 1\r\nouter loop\r\nvertex 1 0 0\r\n"
      "vertex 0 2 0\r\nvertex 0 0 3\r\nendloop\r\nendfacet\r\nendsolid golden extra words\r\n \t\n";
  // The size decides: a binary header starting with "solid" is still binary.
  const std::string binary = BinaryStl(kTetra, "solid golden");
  ASSERT_EQ(binary.size(), 284u);
  const std::vector<Progress> binaryProgress = {{"import", 0, 4}, {"import", 4, 4}};
  const std::vector<PlPoint3> vertices = {{0, 0, 0}, {0, 2, 0}, {1, 0, 0}, {0, 0, 3}};
  const std::vector<std::array<std::uint32_t, 3>> triangles = {
      {0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {2, 1, 3}};
  for (const std::string& bytes : {binary, ascii}) {
    progress.clear();
    const PlCadPrepTriangleImport result = Read(Request(bytes));
    EXPECT_EQ(result.mesh.vertices, vertices);
    EXPECT_EQ(result.mesh.triangles, triangles);
    EXPECT_TRUE(result.mesh.watertight);
    EXPECT_EQ(result.sourceHash, Sha256Identity(bytes));
    const std::vector<Progress> textProgress = {{"import", 479, 479}};
    EXPECT_EQ(progress, bytes == binary ? binaryProgress : textProgress);
  }
  PlCadPrepRequest request = Request(BinaryStl({kTetra[0]}));
  request.sourceUnits = "cm";
  request.maxMemoryBytes = 700;  // one binary facet fits where a 256-byte text line does not
  EXPECT_EQ(Read(request).mesh.boundsMax, (PlPoint3{10, 20, 0}));
}

TEST_F(StlReader, RefusesBadSourcesWithTheirOwnFailure) {
  const std::string f = "solid\nfacet normal 0 0 1\n", fl = f + "outer loop\n";
  const std::string flv = fl + "vertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n";
  const char* number = "mesh contains an invalid numeric value";
  const char* fields = "mesh record exceeds its bounded field count";
  const char* units = "STL and OBJ require mm, cm, m, or in";
  const char* solid = "ASCII STL must start with solid";
  const char* endsolid = "ASCII STL endsolid is missing";
  const char* header = "ASCII STL facet header is invalid";
  const char* loop = "ASCII STL outer loop is missing";
  const char* vertex = "ASCII STL vertex record is invalid";
  const char* truncated = "ASCII STL vertex data is truncated";
  const std::string tetra = BinaryStl(kTetra);
  const RefusedMeshSource cases[] = {
      {BinaryStl({}), "empty_mesh", "source contains no triangles"},
      {tetra, "triangle_limit_exceeded", "STL exceeds maxTriangles", "import", "mm", 3},
      {BinaryStl({{{{0, 0, 0}, {-0.0f, 0, 0}, {0, 1, 0}}}}), "degenerate_triangle",
       "mesh contains a zero-area triangle", "validate"},
      {BinaryStl({{{{0, 0, 0}, {1, 0, 0}, {0, INFINITY, 0}}}}), "invalid_number",
       "source coordinate becomes non-finite in the mount frame"},
      {tetra, "units_confirmation_required", units, "preflight", " mm"},
      // Sizes that do not match the count are read as text.
      {tetra + " ", "invalid_stl", solid},
      {BinaryStl(kTetra, "solid x", 5), "truncated_stl", endsolid},
      {" \t\r\n\n", "truncated_stl", "ASCII STL is empty"},
      {"solidname\nendsolid\n", "invalid_stl", solid},
      {"solid", "truncated_stl", endsolid},
      {flv + "endloop\nendfacet\n", "truncated_stl", endsolid},
      {"solid\nendsolid\nendsolid\n", "trailing_stl_data", "ASCII STL has data after endsolid"},
      {"solid\nfacet normal 0 0 1 0\n", "too_many_fields", fields},
      {"solid\nfacet normal 0 0\n", "invalid_stl", header},
      {"solid\nfacet normals 0 0 1\n", "invalid_stl", header},
      {"solid\nfacets normal 0 0 1\n", "invalid_stl", header},
      {"solid\nfacet normal 0 0 +1\n", "invalid_number", number},
      {f, "invalid_stl", loop},
      {f + "outer  loop\n", "invalid_stl", loop},
      {fl, "truncated_stl", truncated},
      {fl + "vertex 0 0 0\nvertex 1 0 0\n", "truncated_stl", truncated},
      {fl + "vertex 0 0 0 0\n", "too_many_fields", fields},
      {fl + "vertex 0 0\n", "invalid_stl", vertex},
      {fl + "vertexx 0 0 0\n", "invalid_stl", vertex},
      {fl + "vertex 0 -inf 0\n", "invalid_number", number},
      {flv, "invalid_stl", "ASCII STL endloop is missing"},
      {flv + "endloop x\n", "invalid_stl", "ASCII STL endloop is missing"},
      {flv + "endloop\n", "invalid_stl", "ASCII STL endfacet is missing"},
      {flv + "endloop\nendsolid\n", "invalid_stl", "ASCII STL endfacet is missing"},
      {AsciiSolid(kFacet, 4), "triangle_limit_exceeded", "mesh exceeds maxTriangles", "import",
       "mm", 3},
      {AsciiSolid(kFacet, 1), "units_confirmation_required", units, "preflight", "MM"},
      // Text lines are bounded by the memory limit, and the line buffer counts against it.
      {AsciiSolid(kFacet, 1), "memory_limit_exceeded", "text line exceeds maxMemoryBytes", "import",
       "mm", 10, 1},
      {"solid " + std::string(95, 'n') + "\n" + kFacet + "endsolid\n", "memory_limit_exceeded",
       "text line exceeds the bounded parser limit", "import", "mm", 10, 200},
      {AsciiSolid(kFacet, 1), "memory_limit_exceeded", "mesh exceeds maxMemoryBytes", "import",
       "mm", 10, 700},
  };
  ExpectRefusals(cases);
}

TEST_F(StlReader, ReportsProgressEvery4096FacetsPollsCancellationAndNoticesChanges) {
  (void)Read(Request(BinaryStl(std::vector<Facet>(4097, kTetra[0]))));
  EXPECT_EQ(progress, (std::vector<Progress>{
                          {"import", 0, 4097}, {"import", 4096, 4097}, {"import", 4097, 4097}}));
  progress.clear();
  const std::string text = AsciiSolid(kFacet, 4097);
  (void)Read(Request(text));
  EXPECT_EQ(progress, (std::vector<Progress>{{"import", 6 + 4096 * kFacet.size(), text.size()},
                                             {"import", text.size(), text.size()}}));
  // Binary sources ask before the first facet, text sources once 65536 bytes are read.
  const AlwaysCancelled cancelled;
  for (const std::string& bytes : {BinaryStl(kTetra), AsciiSolid(kFacet, 1000)}) {
    ExpectPlCadPrepError([&] { (void)Read(Request(bytes), cancelled); }, "cancelled", "import",
                         "preparation was cancelled");
  }
  const struct {
    std::string bytes;
    std::size_t size;  // to which each progress report cuts or grows the file
    const char* code;
    const char* message;
  } cases[] = {
      {BinaryStl(kTetra), 285, "trailing_stl_data", "binary STL has trailing bytes"},
      {BinaryStl(std::vector<Facet>(2000, kTetra[0])), 50100, "truncated_stl",
       "binary STL facet data is truncated"},
      {AsciiSolid(kFacet, 5000), SIZE_MAX, "source_changed", "STL size changed while it was read"},
  };
  for (const auto& c : cases) {
    const PlCadPrepRequest request = Request(c.bytes);
    const ProgressCallback change = [&](std::string_view, std::uint64_t, std::uint64_t) {
      if (c.size < c.bytes.size()) std::filesystem::resize_file(request.inputPath, c.size);
      if (c.size > c.bytes.size()) std::ofstream(request.inputPath, std::ios::app) << "\n";
    };
    ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStl(request, change, never); }, c.code, "import",
                         c.message);
  }
}

TEST_F(StlReader, ReportsFilesThatCannotBeOpenedSizedOrRead) {
  PlCadPrepRequest request = Request(BinaryStl(kTetra));
  request.inputPath = dir / "missing.stl";
  ExpectPlCadPrepError([&] { (void)Read(request); }, "input_read_failed", "import",
                       "STL could not be opened");
  request.inputPath = dir / "1.stl";
  ExpectFailureWithoutFileSize(request, "input_read_failed", "import",
                               "STL size could not be read");
  // Its size reads as 0 and every read fails, so it is taken as text and fails there.
  ExpectUnreadableSourceFailure(request);
}
