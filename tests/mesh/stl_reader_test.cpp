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
#include <utility>
#include <vector>

#include "core/sha256.h"
#include "support/expect_error.h"
#include "support/mesh_reader_fixture.h"

namespace {

using Facet = std::array<std::array<float, 3>, 3>;
using Progress = MeshReaderTest::Progress;
using Triangles = std::vector<std::array<std::uint32_t, 3>>;

void AppendU32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFFu);
}

// A binary STL with zero normals and attribute counts; `count` overrides the facet count field.
std::string BinaryStl(const std::vector<Facet>& facets, std::string_view title = "",
                      std::int64_t count = -1) {
  std::string out(title);
  out.resize(80, '\0');
  AppendU32(out, static_cast<std::uint32_t>(count < 0 ? std::int64_t(facets.size()) : count));
  for (const Facet& facet : facets) {
    out += std::string(12, '\0');
    for (const auto& corner : facet) {
      for (const float v : corner) AppendU32(out, std::bit_cast<std::uint32_t>(v));
    }
    out += std::string(2, '\0');
  }
  return out;
}

// p0 = origin, p1 on x, p2 on y, p3 on z; outward winding, so the solid is closed.
std::vector<Facet> Tetrahedron(float x, float y, float z) {
  const std::array<float, 3> p0 = {0, 0, 0}, p1 = {x, 0, 0}, p2 = {0, y, 0}, p3 = {0, 0, z};
  return {{p0, p2, p1}, {p0, p1, p3}, {p0, p3, p2}, {p1, p2, p3}};
}

// Facet i is the triangle (i,0,0) (i+1,0,0) (i,1,0): distinct and never degenerate.
std::vector<Facet> Strip(std::size_t count) {
  std::vector<Facet> facets;
  for (std::size_t i = 0; i < count; ++i) {
    const float x = static_cast<float>(i);
    facets.push_back({{{x, 0, 0}, {x + 1, 0, 0}, {x, 1, 0}}});
  }
  return facets;
}

std::string AsciiFacet(const std::string& a, const std::string& b, const std::string& c) {
  return "facet normal 0 0 1\nouter loop\nvertex " + a + "\nvertex " + b + "\nvertex " + c +
         "\nendloop\nendfacet\n";
}

std::string AsciiStrip(std::size_t count) {
  std::string text = "solid strip\n";
  for (std::size_t i = 0; i < count; ++i) {
    const std::string x = std::to_string(i);
    text += AsciiFacet(x + " 0 0", std::to_string(i + 1) + " 0 0", x + " 1 0");
  }
  return text + "endsolid strip\n";
}

const std::string kTetraFacets =
    AsciiFacet("0 0 0", "0 20 0", "15 0 0") + AsciiFacet("0 0 0", "15 0 0", "0 0 1") +
    AsciiFacet("0 0 0", "0 0 1", "0 20 0") + AsciiFacet("15 0 0", "0 20 0", "0 0 1");
const std::string kAsciiTetra = "solid\n" + kTetraFacets + "endsolid\n";

using StlReader = MeshReaderFixture<ReadPlCadPrepStl, PlCadPrepSourceFormat::stl>;

}  // namespace

TEST_F(StlReader, ReadsGoldenBinaryAndAsciiSources) {
  const std::string binary =
      BinaryStl(Tetrahedron(10.1f, 20.0f, 30.7f), "binary golden tetrahedron");
  const std::string ascii =
      "solid golden\r\n"
      " facet normal 0 0 -1\r\n  outer loop\r\n   vertex 0 0 0\r\n   vertex 0 2E1 0\r\n"
      "   vertex 1.5e+001 0 0\r\n  endloop\r\n endfacet\r\n"
      " facet normal 0 -1 0\r\n  outer loop\r\n   vertex 0 0 0\r\n   vertex 15 0 0\r\n"
      "   vertex 0 0 0.1\r\n  endloop\r\n endfacet\r\n\r\n"
      " facet normal -1 0 0\r\n  outer loop\r\n   vertex -0 0 0\r\n   vertex 0 0 1e-1\r\n"
      "   vertex 0 20.0 0\r\n  endloop\r\n endfacet\r\n"
      "\tfacet\tnormal 5.773503e-001 5.773503e-001 5.773503e-001\r\n  outer loop\r\n"
      "   vertex 15 0 0\r\n   vertex 0 20 0\r\n   vertex 0 0 0.1\r\n  endloop\r\n endfacet\r\n"
      "endsolid golden\r\n";
  ASSERT_EQ(binary.size(), 284u);
  ASSERT_EQ(ascii.size(), 527u);
  const double x = static_cast<double>(10.1f), z = static_cast<double>(30.7f);
  const struct {
    const std::string& bytes;
    std::vector<PlPoint3> vertices;
    const char* hash;
    std::vector<Progress> progress;
  } cases[] = {
      {binary,
       {{0, 0, 0}, {0, 20, 0}, {x, 0, 0}, {0, 0, z}},
       "sha256:516e57884d03205dc610fc8daace6c8ea7491b4f608d05240f9161e05a5ed81f",
       {{"import", 0, 4}, {"import", 4, 4}}},
      {ascii,
       {{0, 0, 0}, {0, 20, 0}, {15, 0, 0}, {0, 0, 0.1}},
       "sha256:9d66713a90886103ebd1a1bc4ed4e20c13cc45c5f86f28d082504485410d438d",
       {{"import", 527, 527}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    progress.clear();
    const PlCadPrepTriangleImport result = Read(Request(c.bytes));
    EXPECT_EQ(result.mesh.vertices, c.vertices);
    EXPECT_EQ(result.mesh.triangles, (Triangles{{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {2, 1, 3}}));
    EXPECT_TRUE(result.mesh.watertight);
    EXPECT_EQ(result.mesh.boundsMax, (PlPoint3{c.vertices[2][0], 20, c.vertices[3][2]}));
    EXPECT_EQ(result.sourceHash, c.hash);
    EXPECT_EQ(progress, c.progress);
  }
}

TEST_F(StlReader, AppliesUnitsScaleAndMountTransform) {
  // 90 degrees about z, then a translation: (x, y, z) -> (-s·y + 5, s·x - 6, s·z + 7).
  const std::array<double, 16> matrix = {0, -1, 0, 5, 1, 0, 0, -6, 0, 0, 1, 7, 0, 0, 0, 1};
  const auto mount = [](double s, double x, double y, double z) {
    return PlPoint3{-(s * y) + 5, s * x - 6, s * z + 7};
  };
  const struct {
    const char* units;
    double scale;
    bool binary;
  } cases[] = {{"cm", 10.0, true}, {"in", 25.4, false}, {"m", 1000.0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
    PlCadPrepRequest request =
        Request(c.binary ? BinaryStl(Tetrahedron(15, 20, 0.1f)) : kAsciiTetra);
    request.sourceUnits = c.units;
    request.sourceToMount = matrix;
    const double z = c.binary ? static_cast<double>(0.1f) : 1.0;
    EXPECT_EQ(Read(request).mesh.vertices,
              (std::vector<PlPoint3>{mount(c.scale, 0, 0, 0), mount(c.scale, 0, 20, 0),
                                     mount(c.scale, 15, 0, 0), mount(c.scale, 0, 0, z)}));
  }
}

TEST_F(StlReader, AcceptsBlanksAroundRecordsAndBinaryHeadersStartingWithSolid) {
  const std::string text =
      "\n  solid\tpart 7\r\n \t facet  normal 0\t0 1 \r\n\n   outer loop\r\n"
      "vertex 0 0 0\nvertex\t1 0 0\n vertex 0  1  0 \r\n endloop \r\n"
      "endfacet\r\n\r\n endsolid part 7 extra words\r\n\n \t\r\n";
  const PlCadPrepTriangleImport result = Read(Request(text));
  EXPECT_EQ(result.mesh.triangles.size(), 1u);
  EXPECT_FALSE(result.mesh.watertight);
  EXPECT_EQ(result.sourceHash, Sha256Identity(text));
  // The size decides: a binary header starting with "solid" is still binary.
  EXPECT_EQ(Read(Request(BinaryStl(Tetrahedron(1, 2, 3), "solid x"))).mesh.triangles.size(), 4u);
  // One binary facet of 700 bytes fits where the text reader's 256-byte line buffer does not.
  PlCadPrepRequest request = Request(BinaryStl(Strip(1)));
  request.maxMemoryBytes = 700;
  EXPECT_EQ(Read(request).mesh.triangles.size(), 1u);
}

TEST_F(StlReader, RefusesBadSourcesWithTheirOwnFailure) {
  const std::string f = "solid\nfacet normal 0 0 1\n";
  const std::string fl = f + "outer loop\n";
  const std::string flv = fl + "vertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n";
  const char* number = "mesh contains an invalid numeric value";
  const char* fields = "mesh record exceeds its bounded field count";
  const char* zeroArea = "mesh contains a zero-area triangle";
  const char* nonFinite = "source coordinate becomes non-finite in the mount frame";
  const char* units = "STL and OBJ require mm, cm, m, or in";
  const std::string tetra = BinaryStl(Tetrahedron(1, 2, 3));
  const RefusedMeshSource cases[] = {
      // Binary sources.
      {BinaryStl({}), "empty_mesh", "source contains no triangles"},
      {tetra, "triangle_limit_exceeded", "STL exceeds maxTriangles", "import", "mm", 3},
      {BinaryStl({{{{0, 0, 0}, {-0.0f, 0, 0}, {0, 1, 0}}}}), "degenerate_triangle", zeroArea,
       "validate"},
      {BinaryStl({{{{0, 0, 0}, {1, 0, 0}, {0, INFINITY, 0}}}}), "invalid_number", nonFinite},
      {tetra, "units_confirmation_required", units, "preflight", " mm"},
      // Sizes that do not match the count are read as text.
      {tetra + " ", "invalid_stl", "ASCII STL must start with solid"},
      {BinaryStl(Tetrahedron(1, 2, 3), "solid x", 5), "truncated_stl",
       "ASCII STL endsolid is missing"},
      // Text sources, record by record.
      {" \t\r\n\n", "truncated_stl", "ASCII STL is empty"},
      {"solidname\nendsolid\n", "invalid_stl", "ASCII STL must start with solid"},
      {"solid", "truncated_stl", "ASCII STL endsolid is missing"},
      {flv + "endloop\nendfacet\n", "truncated_stl", "ASCII STL endsolid is missing"},
      {"solid\nendsolid\nendsolid\n", "trailing_stl_data", "ASCII STL has data after endsolid"},
      {flv + "endloop\nendfacet\nendsolid\n\tx\n", "trailing_stl_data",
       "ASCII STL has data after endsolid"},
      {"solid\nfacet normal 0 0 1 0\n", "too_many_fields", fields},
      {"solid\nfacet normal 0 0\n", "invalid_stl", "ASCII STL facet header is invalid"},
      {"solid\nfacet normals 0 0 1\n", "invalid_stl", "ASCII STL facet header is invalid"},
      {"solid\nfacets normal 0 0 1\n", "invalid_stl", "ASCII STL facet header is invalid"},
      {"solid\nfacet normal 0 0 +1\n", "invalid_number", number},
      {f, "invalid_stl", "ASCII STL outer loop is missing"},
      {f + "outer  loop\n", "invalid_stl", "ASCII STL outer loop is missing"},
      {fl, "truncated_stl", "ASCII STL vertex data is truncated"},
      {fl + "vertex 0 0 0\nvertex 1 0 0\n", "truncated_stl", "ASCII STL vertex data is truncated"},
      {fl + "vertex 0 0 0 0\n", "too_many_fields", fields},
      {fl + "vertex 0 0\n", "invalid_stl", "ASCII STL vertex record is invalid"},
      {fl + "vertexx 0 0 0\n", "invalid_stl", "ASCII STL vertex record is invalid"},
      {fl + "vertex 0 -inf 0\n", "invalid_number", number},
      {flv, "invalid_stl", "ASCII STL endloop is missing"},
      {flv + "endloop x\n", "invalid_stl", "ASCII STL endloop is missing"},
      {flv + "endloop\n", "invalid_stl", "ASCII STL endfacet is missing"},
      {flv + "endloop\nendsolid\n", "invalid_stl", "ASCII STL endfacet is missing"},
      // Failures of the builder and the units pass through.
      {"solid\n" + AsciiFacet("0 0 0", "1 0 0", "-0 0 0") + "endsolid\n", "degenerate_triangle",
       zeroArea, "validate"},
      {"solid\n" + AsciiFacet("0 0 0", "1e308 0 0", "0 1 0") + "endsolid\n", "invalid_number",
       nonFinite, "import", "m"},
      {kAsciiTetra, "triangle_limit_exceeded", "mesh exceeds maxTriangles", "import", "mm", 3},
      {kAsciiTetra, "units_confirmation_required", units, "preflight", "MM"},
      {"solix\n", "invalid_stl", "ASCII STL must start with solid", "import", "MM"},
      {"solid\nendsolid\n", "empty_mesh", "source contains no triangles"},
      // Text lines are bounded by the memory limit, and the line buffer counts against it.
      {kAsciiTetra, "memory_limit_exceeded", "text line exceeds maxMemoryBytes", "import", "mm", 10,
       1},
      {"solid " + std::string(95, 'n') + "\n" + kTetraFacets + "endsolid\n",
       "memory_limit_exceeded", "text line exceeds the bounded parser limit", "import", "mm", 10,
       200},
      {"solid\n" + AsciiFacet("0 0 0", "1 0 0", "0 1 0") + "endsolid\n", "memory_limit_exceeded",
       "mesh exceeds maxMemoryBytes", "import", "mm", 10, 700},
  };
  ExpectRefusals(cases);
}

TEST_F(StlReader, ReportsProgressEvery4096FacetsAndPollsCancellation) {
  (void)Read(Request(BinaryStl(Strip(4097))));
  EXPECT_EQ(progress, (std::vector<Progress>{
                          {"import", 0, 4097}, {"import", 4096, 4097}, {"import", 4097, 4097}}));
  progress.clear();
  const std::string text = AsciiStrip(4097);
  std::size_t afterFacet4096 = 0;
  for (int i = 0; i < 4096; ++i) afterFacet4096 = text.find("endfacet\n", afterFacet4096) + 9;
  (void)Read(Request(text));
  EXPECT_EQ(progress, (std::vector<Progress>{{"import", afterFacet4096, text.size()},
                                             {"import", text.size(), text.size()}}));
  // Binary sources ask before the first facet, text sources once 65536 bytes are read.
  const AlwaysCancelled cancelled;
  for (const std::string& bytes : {BinaryStl(Strip(2)), AsciiStrip(1000)}) {
    progress.clear();
    ExpectPlCadPrepError([&] { (void)Read(Request(bytes), cancelled); }, "cancelled", "import",
                         "preparation was cancelled");
    EXPECT_TRUE(progress.empty());
  }
}

TEST_F(StlReader, NoticesSourcesThatChangeWhileRead) {
  const struct {
    std::string bytes;
    bool grow;  // else truncate to 50100 bytes
    const char* code;
    const char* message;
  } cases[] = {
      {BinaryStl(Strip(3)), true, "trailing_stl_data", "binary STL has trailing bytes"},
      {BinaryStl(Strip(2000)), false, "truncated_stl", "binary STL facet data is truncated"},
      {AsciiStrip(5000), true, "source_changed", "STL size changed while it was read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const PlCadPrepRequest request = Request(c.bytes);
    bool changed = false;
    const ProgressCallback change = [&](std::string_view, std::uint64_t, std::uint64_t) {
      if (std::exchange(changed, true)) return;
      if (c.grow) {
        std::ofstream(request.inputPath, std::ios::binary | std::ios::app) << "\n";
      } else {
        std::filesystem::resize_file(request.inputPath, 50100);
      }
    };
    ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStl(request, change, never); }, c.code, "import",
                         c.message);
  }
}

TEST_F(StlReader, ReportsFilesThatCannotBeOpenedSizedOrRead) {
  PlCadPrepRequest request = Request("solid\n");
  request.inputPath = dir / "missing.stl";
  ExpectPlCadPrepError([&] { (void)Read(request); }, "input_read_failed", "import",
                       "STL could not be opened");
  request = Request(BinaryStl(Tetrahedron(1, 2, 3)));
  ExpectFailureWithoutFileSize(request, "input_read_failed", "import",
                               "STL size could not be read");
  // Its size reads as 0 and every read fails, so it is taken as text and fails there.
  ExpectUnreadableSourceFailure(request);
}

TEST_F(StlReader, ReadsRealWorldFiles) {
  const std::filesystem::path corpus = std::filesystem::path(PL_CORPUS_DIR) / "mesh";
  if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  const struct {
    const char* name;
    std::size_t vertices;
    std::size_t triangles;
    bool watertight;
  } cases[] = {
      {"Cube.stl", 8, 12, true},
      {"import_bin_solid.stl", 25, 46, true},  // binary although its header starts with "solid"
      {"lever.stl", 377, 774, true},
      {"part1.stl", 190, 380, true},  // text with bare "solid" and "e+000" exponents
      {"TR12J_OCC64K.stl", 33708, 67498, false},
  };
  PlCadPrepRequest request;
  request.sourceUnits = "mm";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    request.inputPath = corpus / c.name;
    const PlCadPrepTriangleImport result = ReadPlCadPrepStl(request, {}, never);
    EXPECT_EQ(result.mesh.vertices.size(), c.vertices);
    EXPECT_EQ(result.mesh.triangles.size(), c.triangles);
    EXPECT_EQ(result.mesh.watertight, c.watertight);
    EXPECT_EQ(result.sourceHash, Sha256Identity(ReadFile(request.inputPath)));
  }
  request.inputPath = corpus / "issue1580-zero-area-triangle.stl";
  ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStl(request, {}, never); }, "degenerate_triangle",
                       "validate", "mesh contains a zero-area triangle");
}
