#include "step/step_solid_diagnostics.h"

#include <gtest/gtest.h>

#include <BRepMesh_IncrementalMesh.hxx>
#include <BRep_Builder.hxx>
#include <Poly_Triangulation.hxx>
#include <TopoDS.hxx>
#include <bit>
#include <cmath>
#include <limits>

#include "core/byte_io.h"
#include "support/count_texts.h"
#include "support/mesh_reader_fixture.h"
#include "support/step_files.h"

namespace {

const NeverCancelled kNever;
const PlCadPrepOperationContext kContext =
    MakePlCadPrepOperationContext(PlCadPrepRequest(), kNever);
const std::string kSourceSha = "sha256:" + std::string(32, 'a') + std::string(32, 'b');
const std::string kStaleKey = "sha256:" + std::string(64, '0');
const PlGeometryMesh kUnitTriangle = [] {
  PlGeometryMesh mesh;
  mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  mesh.triangles = {{0, 1, 2}};
  return mesh;
}();

PlCadPrepStepOccurrenceKeys Roles(std::vector<std::string> reviewed,
                                  std::vector<std::string> retained = {},
                                  std::vector<std::pair<std::string, std::string>> proofs = {}) {
  PlCadPrepStepOccurrenceKeys keys;
  keys.reviewed = std::move(reviewed), keys.retained = std::move(retained);
  keys.sourceProofPairs = std::move(proofs);
  return keys;
}

TopoDS_Shape MeshedBox(double dx, double dy, double dz) {
  TopoDS_Shape box = MakeTestBox(dx, dy, dz);
  BRepMesh_IncrementalMesh mesher(box, 1.0, false, 0.5, false);
  return box;
}

PlCadPrepStepImportSettings Settings() {
  PlCadPrepStepImportSettings settings;
  settings.targetLinearDeflectionMm = settings.angularDeflectionRadians = 0.5;
  return settings;
}

PlCadPrepStepSolidClassification Classify(const TopoDS_Shape& solids,
                                          const PlCadPrepStepImportSettings& settings,
                                          const PlCadPrepStepOccurrenceKeys& keys = {},
                                          const std::string& sourceSha = kSourceSha,
                                          TopoDS_Compound* retained = nullptr) {
  return ClassifyPlCadPrepStepSolids(solids, sourceSha, settings, keys, kContext, 2, retained, {},
                                     {});
}

// The counts and flags of a diagnostic, or of all of them, in one line.
std::string Summary(const PlCadPrepStepSolidDiagnostic& d) {
  return "#" + std::to_string(d.selectedSolidOrdinal) + " " + FaceCountsText(d) + " " +
         TriangleCountsText(d) + (d.hasMesh ? " mesh" : "") + (d.watertight ? " watertight" : "") +
         (d.empty ? " empty" : "") + (d.selected ? " selected" : "");
}
std::string Summary(const PlCadPrepStepSolidCounters& c) {
  std::string text;
  for (const std::uint64_t n :
       {c.classifiedSolidCount, c.solidsWithUntriangulatedFacesCount,
        c.solidsWithoutUntriangulatedFacesCount, c.solidsWithDegenerateTrianglesCount,
        c.watertightSolidCount, c.nonWatertightSolidCount, c.emptySolidCount,
        c.reviewedKeysMatchedCount, c.retainedSolidCount}) {
    text += (text.empty() ? "" : " ") + std::to_string(n);
  }
  return text;
}

// `compound` holds `solid` and no other solid.
bool HoldsOnly(const TopoDS_Shape& compound, const TopoDS_Shape& solid) {
  TopExp_Explorer e(compound, TopAbs_SOLID);
  if (!e.More() || !e.Current().IsSame(solid)) return false;
  e.Next();
  return !e.More();
}

std::vector<std::string> Keys(const PlCadPrepStepSolidClassification& c) {
  std::vector<std::string> keys;
  for (const auto& d : c.diagnostics) keys.push_back(d.samePolicyOccurrenceSha256);
  return keys;
}

TEST(StepSolidDiagnostics, MeshStreamsHashTheirPinnedBytes) {
  EXPECT_EQ(PlCadPrepStepPlacedMeshStreamSha256(kUnitTriangle, kContext),
            "sha256:10e1bf4dbcfc2199b03ca38c1f4357ebc410966a058b0b959560801c6cfd564d");
  EXPECT_EQ(PlCadPrepStepPlacedMeshStreamSha256(PlGeometryMesh{}, kContext),
            "sha256:3afa11e09ea47853ce772a75dbbd218d686f8cbbf07e804e8a90e5a94c0a5f75");
  EXPECT_EQ(PlCadPrepStepReviewMeshStreamSha256(kUnitTriangle, kContext),
            "sha256:c85eb301f667539a251e90b17b7867ca0f4e2b45cfa82b3c5c90aa18a671d6d9");
  // The review payload is single precision; the largest doubles that round to FLT_MAX stay finite.
  PlGeometryMesh mesh = kUnitTriangle;
  const double edge = std::nextafter(0x1.ffffffp127, 0.0);
  mesh.vertices[0] = {0.1, -edge, static_cast<double>(std::numeric_limits<float>::max())};
  ByteWriter payload(0);
  for (const PlPoint3& v : mesh.vertices) {
    for (const double c : v) payload.F32(static_cast<float>(c));
  }
  for (const std::uint32_t i : {0u, 1u, 2u}) payload.U32(i);
  const PlCadPrepStepReviewMeshPayload encoded =
      EncodePlCadPrepStepReviewMeshPayload(mesh, kContext);
  EXPECT_EQ(encoded.bytes, payload.bytes);
  EXPECT_EQ(encoded.reservation.bytes, 48u);
}

// The key hashes policy, source, deflections, scope name, transform, ordinal and mesh identity;
// the digests were checked once against that byte stream written out independently.
TEST(StepSolidDiagnostics, SamePolicyKeyHashesEveryPolicyInputInOrder) {
  PlCadPrepStepSolidDiagnostic diagnostic;
  diagnostic.selectedSolidOrdinal = 1;
  diagnostic.placedMeshStreamSha256 = "sha256:" + std::string(64, 'c');
  const std::pair<std::uint32_t, std::string_view> scopes[] = {
      {0, "612ae5319c5088543d634f5545747e51f4b20f113743d7c7f66a36c58b7b50fb"},
      {1, "4a5f594717da3de4a6b0c2f653c6ab048ea9810b9ac65fd7ad519d9cb163ccf6"},
      {2, "7164541849cdf9ba848373b98376d6e6087cdeeb520d2da3dd70dd4d987b6bb8"},
      {7, "7f26bdd713e3b0a749a70351f1e2cbebb8cd552c62e48acfb3d32e379f4d35da"}};
  for (const auto& [scope, digest] : scopes) {
    EXPECT_EQ(PlCadPrepStepSamePolicyOccurrenceSha256(kSourceSha, Settings(), scope, diagnostic,
                                                      kContext),
              "sha256:" + std::string(digest));
  }
}

TEST(StepSolidDiagnostics, ReviewStreamRejectsUnusableMeshes) {
  const AlwaysCancelled cancelled;
  const char* kEmpty = "step_review_empty_component";
  const char* kEmptyMsg = "STEP review mesh identity requires nonempty geometry";
  const char* kBad = "invalid_step_review_component";
  const char* kNonFinite = "STEP review mesh identity contains a non-finite vertex";
  const struct {
    void (*change)(PlGeometryMesh&, PlCadPrepRequest&);
    const PlCadPrepCancellation* cancellation;
    const char* code;
    const char* message;
  } cases[] = {
      {[](auto& m, auto&) { m.vertices.clear(); }, &kNever, kEmpty, kEmptyMsg},
      {[](auto& m, auto&) { m.triangles.clear(); }, &kNever, kEmpty, kEmptyMsg},
      {[](auto& m, auto&) { m.vertices[1][0] = std::nan(""); }, &kNever, kBad, kNonFinite},
      {[](auto& m, auto&) { m.vertices[2][1] = 0x1.ffffffp127; }, &kNever, kBad, kNonFinite},
      {[](auto& m, auto&) { m.triangles[0][2] = 3; }, &kNever, kBad,
       "STEP review mesh identity has an out-of-range index"},
      {[](auto&, auto& r) { r.maxMemoryBytes = 47; }, &kNever, "memory_limit_exceeded",
       "preparation exceeds maxMemoryBytes"},
      {[](auto&, auto&) {}, &cancelled, "cancelled", "preparation was cancelled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    PlCadPrepRequest request;
    PlGeometryMesh mesh = kUnitTriangle;
    c.change(mesh, request);
    const PlCadPrepOperationContext context =
        MakePlCadPrepOperationContext(request, *c.cancellation);
    ExpectPlCadPrepError([&] { (void)PlCadPrepStepReviewMeshStreamSha256(mesh, context); }, c.code,
                         "mesh", c.message);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
}

TEST(StepSolidDiagnostics, ClassifiesEachDistinctPlacementOnceInExplorerOrder) {
  const TopoDS_Shape box = MeshedBox(10, 20, 30);
  std::vector<std::string> calls;
  const PlCadPrepStepSolidClassification c = ClassifyPlCadPrepStepSolids(
      MakeTestCompound({box, box, MovedTestShape(box, 50, 0, 0)}), kSourceSha, Settings(), {},
      kContext, 2, nullptr,
      [&](const PlCadPrepStepSolidDiagnostic& d, const PlGeometryMesh& mesh) {
        calls.push_back("mesh " + std::to_string(mesh.triangles.size()));
        EXPECT_EQ(d.placedMeshStreamSha256, PlCadPrepStepPlacedMeshStreamSha256(mesh, kContext));
      },
      [&](const PlCadPrepStepSolidDiagnostic& d) { calls.push_back(Summary(d)); });
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "mesh 12", "#1 faces 6/6/0 triangles 12/12/0 mesh watertight", "mesh 12",
                       "#2 faces 6/6/0 triangles 12/12/0 mesh watertight"}));
  ASSERT_EQ(c.diagnostics.size(), 2u);
  EXPECT_EQ(c.diagnostics[1].boundsMin, (PlPoint3{50, 0, 0}));
  EXPECT_EQ(c.diagnostics[1].boundsMax, (PlPoint3{60, 20, 30}));
  EXPECT_NE(c.diagnostics[0].samePolicyOccurrenceSha256,
            c.diagnostics[1].samePolicyOccurrenceSha256);
  EXPECT_EQ(Summary(c.counters), "2 0 2 0 2 0 0 0 0");
  EXPECT_EQ(kContext.ledger->memoryReserved, 0u);

  // An unmeshed solid is empty and has no identity; one bare face leaves a solid open.
  const TopoDS_Shape holed = MeshedBox(7, 7, 7);
  BRep_Builder().UpdateFace(TopoDS::Face(TopExp_Explorer(holed, TopAbs_FACE).Current()),
                            Handle(Poly_Triangulation)());
  const PlCadPrepStepSolidClassification partly =
      ClassifyPlCadPrepStepSolids(MakeTestCompound({box, MakeTestBox(5, 5, 5), holed}), kSourceSha,
                                  Settings(), {}, kContext, 3, nullptr, {}, {});
  EXPECT_EQ(Summary(partly.diagnostics[1]), "#2 faces 6/0/6 triangles 0/0/0 empty");
  EXPECT_EQ(partly.diagnostics[1].placedMeshStreamSha256 +
                partly.diagnostics[1].samePolicyOccurrenceSha256,
            "");
  EXPECT_EQ(Summary(partly.diagnostics[2]), "#3 faces 6/5/1 triangles 10/10/0 mesh");
  EXPECT_EQ(Summary(partly.counters), "3 2 1 0 1 1 1 0 0");
}

TEST(StepSolidDiagnostics, KeysAreStableAndBoundToEveryPolicyInput) {
  const TopoDS_Shape box = MeshedBox(10, 20, 30);
  const TopoDS_Shape solids = MakeTestCompound({box, MovedTestShape(box, 50, 0, 0)});
  const PlCadPrepStepSolidClassification base = Classify(solids, Settings());
  EXPECT_EQ(Keys(Classify(solids, Settings())), Keys(base));
  PlCadPrepStepImportSettings angle = Settings();
  angle.angularDeflectionRadians = std::nextafter(0.5, 1.0);
  // The last matrix entry never moves a point, so only the key can see it.
  PlCadPrepStepImportSettings mount = Settings();
  mount.sourceToMount[15] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(1.0) ^ 1u);
  std::string source = kSourceSha;
  source.back() = 'c';
  for (const PlCadPrepStepSolidClassification& changed :
       {Classify(solids, angle), Classify(solids, mount),
        Classify(solids, Settings(), {}, source)}) {
    ASSERT_EQ(changed.diagnostics.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(changed.diagnostics[i].placedMeshStreamSha256,
                base.diagnostics[i].placedMeshStreamSha256);
      EXPECT_NE(changed.diagnostics[i].samePolicyOccurrenceSha256,
                base.diagnostics[i].samePolicyOccurrenceSha256);
    }
  }

  // A proven mesh retains its solid alone.
  TopoDS_Compound proven;
  const PlCadPrepStepSolidClassification p =
      Classify(solids, Settings(),
               Roles({}, {}, {{Keys(base)[0], base.diagnostics[0].placedMeshStreamSha256}}),
               kSourceSha, &proven);
  EXPECT_EQ(Summary(p.counters), "2 0 2 0 2 0 0 0 1");
  EXPECT_TRUE(HoldsOnly(proven, box));
}

TEST(StepSolidDiagnostics, RejectsIncompleteOrStaleClassifications) {
  const AlwaysCancelled cancelled;
  const TopoDS_Shape box = MeshedBox(10, 20, 30);
  const TopoDS_Shape solids = MakeTestCompound({box, MovedTestShape(box, 50, 0, 0)});
  const PlCadPrepStepSolidClassification first = Classify(solids, Settings());
  const std::vector<std::string> k = Keys(first);
  const std::string placed0 = first.diagnostics[0].placedMeshStreamSha256;
  const char* kStale = "step_occurrence_selection_stale";
  const char* kStaleMsg = "STEP occurrence selection does not match this source and policy";
  const char* kProof = "step_source_proof_mesh_stale";
  const char* kProofMsg = "strict STEP source-proof meshes do not match this transfer";
  const struct {
    std::uint64_t selectedSolidCount;
    PlCadPrepStepOccurrenceKeys keys;
    const PlCadPrepCancellation* cancellation;
    const char* code;
    const char* stage;
    const char* message;
  } cases[] = {
      {3,
       {},
       &kNever,
       "step_solid_diagnostic_incomplete",
       "mesh",
       "STEP per-solid diagnostic did not classify every selected solid"},
      {2, Roles({k[0], kStaleKey}), &kNever, kStale, "validate", kStaleMsg},
      {2, Roles({k[0], k[1], kStaleKey}, {k[0], kStaleKey}), &kNever, kStale, "validate",
       kStaleMsg},
      {2, Roles(k, {k[0], kStaleKey}), &kNever, "step_occurrence_role_selection_stale", "validate",
       "retained STEP occurrence roles do not match this source and policy"},
      {2, Roles({}, {}, {{k[0], kStaleKey}}), &kNever, kProof, "validate", kProofMsg},
      {2, Roles({}, {}, {{kStaleKey, placed0}}), &kNever, kProof, "validate", kProofMsg},
      {2, Roles({}), &cancelled, "cancelled", "mesh", "preparation was cancelled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const PlCadPrepOperationContext context =
        MakePlCadPrepOperationContext(PlCadPrepLimits(), *c.cancellation);
    ExpectPlCadPrepError(
        [&] {
          (void)ClassifyPlCadPrepStepSolids(solids, kSourceSha, Settings(), c.keys, context,
                                            c.selectedSolidCount, nullptr, {}, {});
        },
        c.code, c.stage, c.message);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
}

}  // namespace
