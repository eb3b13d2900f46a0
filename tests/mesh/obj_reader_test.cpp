#include "mesh/obj_reader.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/expect_error.h"
#include "support/mesh_reader_fixture.h"

using Progress = MeshReaderTest::Progress;
using Triangles = std::vector<std::array<std::uint32_t, 3>>;
using ObjReader = MeshReaderFixture<ReadPlCadPrepObj, PlCadPrepSourceFormat::obj>;

const std::string kTriangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";

TEST_F(ObjReader, ReadsGoldenFileIgnoringAttributesAndUnusedVertices) {
  const std::string golden =
      "# golden tetrahedron\r\nmtllib golden.mtl\r\no golden\r\n"
      "v 0 0 0\r\nv 15 0 0\r\nv 0 20 0 1.0\r\nv 0 0 0.1\r\nv 9 9 9 # unused\r\n"
      "vt 0 0\r\nvn 0 0 1\r\ng body\r\ns off\r\nusemtl steel\r\n"
      "f 1 3 2\r\nf 1/1 2/1 4/1\r\nf 1//1 4//1 3//1\r\nf -4/1/1 -3 -2 # last\r\n";
  const PlCadPrepTriangleImport result = Read(Request(golden));
  EXPECT_EQ(result.mesh.vertices,
            (std::vector<PlPoint3>{{0, 0, 0}, {0, 20, 0}, {15, 0, 0}, {0, 0, 0.1}}));
  EXPECT_EQ(result.mesh.triangles, (Triangles{{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {2, 1, 3}}));
  EXPECT_TRUE(result.mesh.watertight);
  EXPECT_EQ(progress, (std::vector<Progress>{{"import", 225, 225}}));
  // w within 1e-12 of 1 passes.
  EXPECT_EQ(
      Read(Request("v 0 0 0 1.0000000000009\nv 1 0 0\nv 0 0 1\nf 1 2 3\n")).mesh.triangles.size(),
      1u);
}

TEST_F(ObjReader, RefusesBadSourcesWithTheirOwnFailure) {
  const std::string t = kTriangle;
  const char* index = "invalid_obj_index";
  const RefusedMeshSource cases[] = {
      {t + "f 1 2\n", "unsupported_obj_polygon",
       "this import slice accepts triangular OBJ faces only"},
      {t + "l 1 2\n", "unsupported_obj_record", "OBJ contains an unsupported geometry record"},
      {"v 1 2\n", "invalid_obj_vertex", "OBJ vertex must have x y z and optional w"},
      {"v 1 2 3 1 1\n", "too_many_fields", "mesh record exceeds its bounded field count"},
      {"v 1 2 3 1.0000000000011\n", "unsupported_obj_vertex",
       "OBJ rational vertices are not supported"},
      {t + "f 1/2/3/4 2 3\n", index, "OBJ face reference has too many fields"},
      {t + "f /1 2 3\n", index, "OBJ face has no vertex index"},
      {t + "f 1 2 9223372036854775808\n", index, "OBJ face contains an invalid vertex index"},
      {t + "f 1 -0 3\n", index, "OBJ vertex indices are one-based"},
      {t + "f 1 2 4\n", index, "OBJ face vertex index is out of range"},
      {"v 1e308 0 0\n", "invalid_number", "source coordinate becomes non-finite in the mount frame",
       "import", "m"},
  };
  ExpectRefusals(cases);
}

TEST_F(ObjReader, ChecksInOrderOpenUnitsSizeRead) {
  PlCadPrepRequest request = Request(kTriangle);
  request.sourceUnits = "yd";
  request.inputPath = dir / "missing.obj";
  ExpectPlCadPrepError([&] { (void)Read(request); }, "input_read_failed", "import",
                       "OBJ could not be opened");
  request.inputPath = dir / "1.obj";
  ExpectFailureWithoutFileSize(request, "units_confirmation_required", "preflight",
                               "STL and OBJ require mm, cm, m, or in");
  request.sourceUnits = "cm";
  ExpectFailureWithoutFileSize(request, "input_read_failed", "import",
                               "OBJ size could not be read");
  ExpectUnreadableSourceFailure(request);
}

TEST_F(ObjReader, LimitsSourceVerticesByCountAndMemory) {
  std::string text;
  for (int i = 0; i <= 500'000; ++i) text += "v 0 0 0\n";
  ExpectPlCadPrepError([&] { (void)Read(Request(text)); }, "vertex_limit_exceeded", "import",
                       "OBJ exceeds the runtime 500000-vertex limit");
  // 1200 bytes allow 50 source vertices: 32 fit beside the 256-byte line buffer, 33 ask for 64.
  PlCadPrepRequest request = Request(text.substr(0, 33 * 8));
  request.maxMemoryBytes = 1200;
  ExpectPlCadPrepError([&] { (void)Read(request); }, "memory_limit_exceeded", "import",
                       "OBJ source vertices exceed maxMemoryBytes");
  request = Request(text.substr(0, 32 * 8));
  request.maxMemoryBytes = 1200;
  ExpectPlCadPrepError([&] { (void)Read(request); }, "empty_mesh", "import",
                       "source contains no triangles");
}

TEST_F(ObjReader, PollsCancellationEvery4096LinesAndNoticesGrowth) {
  std::string text = kTriangle + "f 1 2 3\n";
  for (int line = 5; line <= 4096; ++line) text += "#\n";
  EXPECT_EQ(Read(Request(text + "#")).mesh.triangles.size(), 1u);
  EXPECT_EQ(progress, (std::vector<Progress>{{"import", text.size(), text.size() + 1},
                                             {"import", text.size() + 1, text.size() + 1}}));
  const AlwaysCancelled cancelled;
  ExpectPlCadPrepError([&] { (void)Read(Request(text), cancelled); }, "cancelled", "import",
                       "preparation was cancelled");
  const PlCadPrepRequest request = Request(text + text);
  const ProgressCallback grow = [&](std::string_view, std::uint64_t, std::uint64_t) {
    std::ofstream(request.inputPath, std::ios::binary | std::ios::app) << " \n";
  };
  ExpectPlCadPrepError([&] { (void)ReadPlCadPrepObj(request, grow, never); }, "source_changed",
                       "import", "OBJ size changed while it was read");
}
