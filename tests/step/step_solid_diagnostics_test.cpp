#include "step/step_solid_diagnostics.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/step_error_cases.h"

namespace {

const NeverCancelled kNever;
const PlCadPrepOperationContext kContext = MakePlCadPrepOperationContext(PlCadPrepLimits(), kNever);
const std::string kSourceSha = "sha256:" + std::string(32, 'a') + std::string(32, 'b');
const std::string kStaleKey = "sha256:" + std::string(64, '0');
const PlGeometryMesh kUnitTriangle = {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}}};

TEST(StepSolidDiagnostics, MeshStreamsHashTheirPinnedBytes) {
  EXPECT_EQ(PlCadPrepStepPlacedMeshStreamSha256(kUnitTriangle, kContext),
            "sha256:10e1bf4dbcfc2199b03ca38c1f4357ebc410966a058b0b959560801c6cfd564d");
  EXPECT_EQ(PlCadPrepStepReviewMeshStreamSha256(kUnitTriangle, kContext),
            "sha256:c85eb301f667539a251e90b17b7867ca0f4e2b45cfa82b3c5c90aa18a671d6d9");
  // The review payload is single precision; the largest doubles that round to FLT_MAX stay finite.
  PlGeometryMesh mesh = kUnitTriangle;
  mesh.vertices[0] = {0.1, -std::nextafter(0x1.ffffffp127, 0.0), 0x1.fffffep127};
  const PlCadPrepStepReviewMeshPayload encoded =
      EncodePlCadPrepStepReviewMeshPayload(mesh, kContext);
  EXPECT_EQ(encoded.bytes.size() * 1000 + encoded.reservation.bytes, 48'048u);
}

// The key hashes policy, source, deflections, scope name, transform, ordinal and mesh identity;
// the digests were checked once against that byte stream written out independently.
TEST(StepSolidDiagnostics, SamePolicyKeyHashesEveryPolicyInputInOrder) {
  PlCadPrepStepSolidDiagnostic diagnostic;
  diagnostic.selectedSolidOrdinal = 1;
  diagnostic.placedMeshStreamSha256 = "sha256:" + std::string(64, 'c');
  EXPECT_EQ(PlCadPrepStepSamePolicyOccurrenceSha256(kSourceSha, PlCadPrepStepImportSettings(), 2,
                                                    diagnostic, kContext),
            "sha256:7164541849cdf9ba848373b98376d6e6087cdeeb520d2da3dd70dd4d987b6bb8");
}

TEST(StepSolidDiagnostics, ReviewStreamRejectsUnusableMeshes) {
  // The review stream of the unit triangle after `change`, within `maxMemoryBytes`.
  const auto review = [](void (*change)(PlGeometryMesh&), std::uint64_t maxMemoryBytes = 48) {
    return [=] {
      PlCadPrepRequest request;
      request.maxMemoryBytes = maxMemoryBytes;
      const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
      PlGeometryMesh mesh = kUnitTriangle;
      change(mesh);
      (void)PlCadPrepStepReviewMeshStreamSha256(mesh, context);
    };
  };
  const char* kBad = "invalid_step_review_component";
  const char* kNonFinite = "STEP review mesh identity contains a non-finite vertex";
  ExpectStepErrors({
      {review([](auto& m) { m.triangles.clear(); }), "step_review_empty_component", "mesh",
       "STEP review mesh identity requires nonempty geometry"},
      {review([](auto& m) { m.vertices[1][0] = std::nan(""); }), kBad, "mesh", kNonFinite},
      {review([](auto& m) { m.vertices[2][1] = 0x1.ffffffp127; }), kBad, "mesh", kNonFinite},
      {review([](auto& m) { m.triangles[0][2] = 3; }), kBad, "mesh",
       "STEP review mesh identity has an out-of-range index"},
  });
}

TEST(StepSolidDiagnostics, ClassifiesEachDistinctPlacementOnce) {
  const TopoDS_Shape box = MeshedTestBox(10, 20, 30);
  const TopoDS_Shape solids = MakeTestCompound({box, box, MovedTestShape(box, 50, 0, 0)});
  const PlCadPrepStepSolidClassification c = ClassifyPlCadPrepStepSolids(
      solids, kSourceSha, PlCadPrepStepImportSettings(), {}, kContext, 2, nullptr, {}, {});
  ASSERT_EQ(c.diagnostics.size(), 2u);
  EXPECT_EQ(c.diagnostics[1].boundsMax, (PlPoint3{60, 20, 30}));
  const PlCadPrepStepSolidCounters& n = c.counters;
  EXPECT_EQ((std::vector<std::uint64_t>{
                n.classifiedSolidCount, n.solidsWithUntriangulatedFacesCount,
                n.solidsWithoutUntriangulatedFacesCount, n.solidsWithDegenerateTrianglesCount,
                n.watertightSolidCount, n.nonWatertightSolidCount, n.emptySolidCount}),
            (std::vector<std::uint64_t>{2, 0, 2, 0, 2, 0, 0}));

  const std::string k0 = c.diagnostics[0].samePolicyOccurrenceSha256;
  const std::string k1 = c.diagnostics[1].samePolicyOccurrenceSha256;
  const auto classify = [&](std::uint64_t count, const PlCadPrepStepOccurrenceKeys& roles) {
    return [&, count, roles] {
      (void)ClassifyPlCadPrepStepSolids(solids, kSourceSha, PlCadPrepStepImportSettings(), roles,
                                        kContext, count, nullptr, {}, {});
    };
  };
  ExpectStepErrors({
      {classify(3, {}), "step_solid_diagnostic_incomplete", "mesh",
       "STEP per-solid diagnostic did not classify every selected solid"},
      {classify(2, {{k0, k1}, {k0, kStaleKey}, {}}), "step_occurrence_role_selection_stale",
       "validate", "retained STEP occurrence roles do not match this source and policy"},
  });
  EXPECT_EQ(kContext.ledger->memoryReserved, 0u);
}

}  // namespace
