#include "mesh/stl_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <fstream>

#include "core/sha256.h"
#include "support/expect_error.h"
#include "support/mesh_reader_fixture.h"

namespace {

using Facet = std::array<std::array<float, 3>, 3>;
using Progress = MeshReaderTest::Progress;
using StlReader = MeshReaderFixture<ReadPlCadPrepStl, PlCadPrepSourceFormat::stl>;

// Zero normals, attribute count 0xFFFF; `count` overrides the facet count.
std::string BinaryStl(const std::vector<Facet>& facets, std::string title = "", int count = -1) {
  title.resize(80, '\0');
  std::vector<std::uint32_t> words = {count < 0 ? std::uint32_t(facets.size()) : count};
  for (const Facet& facet : facets) {
    words.insert(words.end(), {0, 0, 0});
    for (const auto& corner : facet)
      for (const float v : corner) words.push_back(std::bit_cast<std::uint32_t>(v));
    words.push_back(0xFFFF);
  }
  std::string out = title;
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>(words[i] >> shift);
    if (i > 0 && i % 13 == 0) out.resize(out.size() - 2);  // the attribute count is 2 bytes
  }
  return out;
}

const std::vector<Facet> kTetra = {{{{0, 0, 0}, {0, 2, 0}, {1, 0, 0}}},
                                   {{{0, 0, 0}, {1, 0, 0}, {0, 0, 3}}},
                                   {{{0, 0, 0}, {0, 0, 3}, {0, 2, 0}}},
                                   {{{1, 0, 0}, {0, 2, 0}, {0, 0, 3}}}};
const std::string kFacet =
    "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n";

std::string AsciiSolid(int count) {
  std::string text = "solid\n";
  for (int i = 0; i < count; ++i) text += kFacet;
  return text + "endsolid\n";
}

}  // namespace

TEST_F(StlReader, ReadsGoldenBinaryAndAsciiSources) {
  // Mixed case spacing, tabs, CRLF, exponents and words after endsolid.
  std::string ascii = "\n solid golden\r\n";
  for (const char* corners :
       {"0 0 0\nvertex 0 2E0 0\nvertex 1.0e+000 0 0",
        "-0 0 0\r\n vertex 1 0 0\r\n vertex\t0  0  3 ", "0 0 0\nvertex 0 0 3e0\nvertex 0 2 0",
        "1 0 0\nvertex 0 2 0\nvertex 0 0 3"})
    ascii += std::string("\tfacet\tnormal 0 0 1\r\n outer loop\nvertex ") + corners +
             "\r\nendloop \r\n endfacet\r\n\r\n";
  ascii += "endsolid golden extra words\r\n \t\n";
  // The size decides: a binary header starting with "solid" is still binary.
  const std::string binary = BinaryStl(kTetra, "solid golden");
  const std::vector<PlPoint3> vertices = {{0, 0, 0}, {0, 2, 0}, {1, 0, 0}, {0, 0, 3}};
  const std::vector<std::array<std::uint32_t, 3>> triangles = {
      {0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {2, 1, 3}};
  const std::vector<Progress> binaryProgress = {{"import", 0, 4}, {"import", 4, 4}};
  for (const std::string& bytes : {binary, ascii}) {
    progress.clear();
    const PlCadPrepTriangleImport result = Read(Request(bytes));
    EXPECT_EQ(result.mesh.vertices, vertices);
    EXPECT_EQ(result.mesh.triangles, triangles);
    EXPECT_TRUE(result.mesh.watertight);
    EXPECT_EQ(result.sourceHash, Sha256Identity(bytes));
    const std::vector<Progress> text = {{"import", ascii.size(), ascii.size()}};
    EXPECT_EQ(progress, bytes == binary ? binaryProgress : text);
  }
  PlCadPrepRequest request = Request(BinaryStl({kTetra[0]}));
  request.sourceUnits = "cm";
  request.maxMemoryBytes = 700;  // one binary facet fits where a 256-byte text line does not
  EXPECT_EQ(Read(request).mesh.boundsMax, (PlPoint3{10, 20, 0}));
}

TEST_F(StlReader, RefusesBadSourcesWithTheirOwnFailure) {
  const std::string f = "solid\nfacet normal 0 0 1\n", fl = f + "outer loop\n";
  const std::string flv = fl + "vertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n";
  const char* truncated = "ASCII STL vertex data is truncated";
  const RefusedMeshSource cases[] = {
      {BinaryStl(kTetra), "triangle_limit_exceeded", "STL exceeds maxTriangles", "import", "mm", 3},
      {BinaryStl(kTetra) + " ", "invalid_stl", "ASCII STL must start with solid"},  // text by size
      {BinaryStl(kTetra, "solid x", 5), "truncated_stl", "ASCII STL endsolid is missing"},
      {" \t\r\n\n", "truncated_stl", "ASCII STL is empty"},
      {"solid\nendsolid\nendsolid\n", "trailing_stl_data", "ASCII STL has data after endsolid"},
      {"solid\nfacets normal 0 0 1\n", "invalid_stl", "ASCII STL facet header is invalid"},
      {f + "outer  loop\n", "invalid_stl", "ASCII STL outer loop is missing"},
      {fl, "truncated_stl", truncated},
      {fl + "vertex 0 0 0\nvertex 1 0 0\n", "truncated_stl", truncated},
      {fl + "vertexx 0 0 0\n", "invalid_stl", "ASCII STL vertex record is invalid"},
      {flv + "endloop x\n", "invalid_stl", "ASCII STL endloop is missing"},
      {flv + "endloop\nendsolid\n", "invalid_stl", "ASCII STL endfacet is missing"},
  };
  ExpectRefusals(cases);
}

TEST_F(StlReader, ReportsProgressEvery4096FacetsAndNoticesChanges) {
  (void)Read(Request(BinaryStl(std::vector<Facet>(4097, kTetra[0]))));
  EXPECT_EQ(progress, (std::vector<Progress>{
                          {"import", 0, 4097}, {"import", 4096, 4097}, {"import", 4097, 4097}}));
  // Each progress report cuts or grows the file to `size`.
  for (const auto& [bytes, size, code, message] :
       {std::tuple<std::string, std::size_t, const char*, const char*>{
            BinaryStl(kTetra), 285, "trailing_stl_data", "binary STL has trailing bytes"},
        {BinaryStl(std::vector<Facet>(2000, kTetra[0])), 50100, "truncated_stl",
         "binary STL facet data is truncated"},
        {AsciiSolid(5000), SIZE_MAX, "source_changed", "STL size changed while it was read"}}) {
    const PlCadPrepRequest request = Request(bytes);
    const ProgressCallback change = [&](std::string_view, std::uint64_t, std::uint64_t) {
      if (size < bytes.size()) std::filesystem::resize_file(request.inputPath, size);
      if (size > bytes.size()) std::ofstream(request.inputPath, std::ios::app) << "\n";
    };
    ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStl(request, change, never); }, code, "import",
                         message);
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
  ExpectUnreadableSourceFailure(request);  // size 0 and failing reads: read as text
}
