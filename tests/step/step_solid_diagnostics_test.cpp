#include "step/step_solid_diagnostics.h"

#include <gtest/gtest.h>

#include <BRepMesh_IncrementalMesh.hxx>
#include <BRepPrimAPI_MakeBox.hxx>
#include <BRep_Builder.hxx>
#include <Poly_Triangulation.hxx>
#include <TopExp_Explorer.hxx>
#include <TopLoc_Location.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Compound.hxx>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gp_Trsf.hxx>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/byte_io.h"
#include "core/sha256.h"
#include "step/step_import.h"
#include "support/count_texts.h"
#include "support/expect_error.h"
#include "support/step_files.h"

namespace {

const NeverCancelled kNever;

class AlwaysCancelled final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return true; }
};

const std::string kSourceSha = "sha256:" + std::string(32, 'a') + std::string(32, 'b');
const std::string kStaleKey = "sha256:" + std::string(64, '0');

TopoDS_Shape MeshedBox(double dx, double dy, double dz) {
  TopoDS_Shape box = BRepPrimAPI_MakeBox(dx, dy, dz).Shape();
  BRepMesh_IncrementalMesh mesher(box, 1.0, false, 0.5, false);
  return box;
}

TopoDS_Shape Shifted(const TopoDS_Shape& shape, double dx) {
  gp_Trsf trsf;
  trsf.SetTranslation(gp_Vec(dx, 0, 0));
  return shape.Located(TopLoc_Location(trsf));
}

std::uint64_t SolidCount(const TopoDS_Shape& shape) {
  std::uint64_t count = 0;
  for (TopExp_Explorer e(shape, TopAbs_SOLID); e.More(); e.Next()) ++count;
  return count;
}

PlCadPrepStepImportSettings Settings() {
  PlCadPrepStepImportSettings settings;
  settings.targetLinearDeflectionMm = 0.5;
  settings.angularDeflectionRadians = 0.5;
  return settings;
}

PlCadPrepStepSolidClassification Classify(const TopoDS_Shape& solids,
                                          const PlCadPrepStepImportSettings& settings,
                                          std::uint64_t selectedSolidCount,
                                          const PlCadPrepStepOccurrenceKeys& keys = {},
                                          const std::string& sourceSha = kSourceSha,
                                          TopoDS_Compound* retained = nullptr) {
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepLimits(), kNever);
  return ClassifyPlCadPrepStepSolids(solids, sourceSha, settings, keys, context,
                                     selectedSolidCount, retained, {}, {});
}

// The counts and flags of a diagnostic in one line.
std::string Summary(const PlCadPrepStepSolidDiagnostic& d) {
  return "#" + std::to_string(d.selectedSolidOrdinal) + " " + FaceCountsText(d) + " " +
         TriangleCountsText(d) + (d.hasMesh ? " mesh" : "") + (d.watertight ? " watertight" : "") +
         (d.empty ? " empty" : "") + (d.selected ? " selected" : "");
}

std::string Summary(const PlCadPrepStepSolidCounters& c) {
  return "classified " + std::to_string(c.classifiedSolidCount) + " untriangulated " +
         std::to_string(c.solidsWithUntriangulatedFacesCount) + "/" +
         std::to_string(c.solidsWithoutUntriangulatedFacesCount) + " degenerate " +
         std::to_string(c.solidsWithDegenerateTrianglesCount) + " watertight " +
         std::to_string(c.watertightSolidCount) + "/" + std::to_string(c.nonWatertightSolidCount) +
         " empty " + std::to_string(c.emptySolidCount) + " matched " +
         std::to_string(c.reviewedKeysMatchedCount) + " retained " +
         std::to_string(c.retainedSolidCount);
}

std::vector<std::string> Keys(const PlCadPrepStepSolidClassification& c) {
  std::vector<std::string> keys;
  for (const PlCadPrepStepSolidDiagnostic& d : c.diagnostics) {
    keys.push_back(d.samePolicyOccurrenceSha256);
  }
  return keys;
}

PlGeometryMesh UnitTriangleMesh() {
  PlGeometryMesh mesh;
  mesh.vertices = {{0.0, 0.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}};
  mesh.triangles = {{0, 1, 2}};
  return mesh;
}

void PutText(ByteWriter& w, std::string_view text) {
  w.U64(text.size());
  for (const char ch : text) w.U8(static_cast<std::uint8_t>(ch));
}

std::string DigestOf(std::string_view domain, const ByteWriter& w) {
  Sha256 hasher;
  hasher.Update(domain);
  hasher.Update(w.bytes);
  return Sha256IdentityText(hasher.Finish());
}

TEST(StepSolidDiagnostics, PlacedMeshStreamHashesDomainCountsBitsAndIndices) {
  const PlCadPrepRequest request;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  const PlGeometryMesh mesh = UnitTriangleMesh();
  ByteWriter w(0);
  w.U64(3);
  w.U64(1);
  for (const PlPoint3& v : mesh.vertices) {
    for (const double c : v) w.F64(c);
  }
  for (const std::uint32_t i : {0u, 1u, 2u}) w.U32(i);
  const std::string identity = PlCadPrepStepPlacedMeshStreamSha256(mesh, context);
  EXPECT_EQ(identity, DigestOf("PeltoCadPrep.STEP.placed-mesh-stream.v1", w));
  EXPECT_EQ(identity, "sha256:10e1bf4dbcfc2199b03ca38c1f4357ebc410966a058b0b959560801c6cfd564d");

  // No triangle still hashes the domain and both counts.
  EXPECT_EQ(PlCadPrepStepPlacedMeshStreamSha256(PlGeometryMesh{}, context),
            "sha256:3afa11e09ea47853ce772a75dbbd218d686f8cbbf07e804e8a90e5a94c0a5f75");
}

TEST(StepSolidDiagnostics, SamePolicyKeyHashesEveryPolicyInputInOrder) {
  const PlCadPrepRequest request;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  PlCadPrepStepSolidDiagnostic diagnostic;
  diagnostic.selectedSolidOrdinal = 1;
  diagnostic.placedMeshStreamSha256 = "sha256:" + std::string(64, 'c');
  const std::string sourceSha = "sha256:" + std::string(64, 'e');
  struct Case {
    std::uint32_t scope;
    const char* name;
  };
  const Case cases[] = {{0, "all_transferred_boundary_faces"},
                        {1, "solids_only_diagnostic"},
                        {2, "free_shells_only_diagnostic"},
                        {7, "unknown"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteWriter w(0);
    PutText(w, "PeltoCadPrep.STEP.diagnostic.v2");
    PutText(w, sourceSha);
    w.F64(0.5);
    w.F64(0.5);
    PutText(w, c.name);
    for (const double m : request.sourceToMount) w.F64(m);
    w.U64(1);
    PutText(w, diagnostic.placedMeshStreamSha256);
    EXPECT_EQ(
        PlCadPrepStepSamePolicyOccurrenceSha256(sourceSha, Settings(), c.scope, diagnostic, context),
        DigestOf("PeltoCadPrep.STEP.same-policy-occurrence.v1", w));
  }
  diagnostic.placedMeshStreamSha256 = "sha256:" + std::string(32, 'c') + std::string(32, 'd');
  EXPECT_EQ(PlCadPrepStepSamePolicyOccurrenceSha256(kSourceSha, Settings(),
                                                    kPlCadPrepStepScopeSolidsOnlyDiagnostic,
                                                    diagnostic, context),
            "sha256:8650be148307b2c56d420e607d99158d530892322facd44e6374a9befefeaf1a");
}

TEST(StepSolidDiagnostics, ReviewStreamHashesSinglePrecisionPayload) {
  const PlCadPrepRequest request;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  PlGeometryMesh mesh = UnitTriangleMesh();
  mesh.vertices[1][0] = 0.1;  // rounds in single precision
  ByteWriter payload(0);
  for (const PlPoint3& v : mesh.vertices) {
    for (const double c : v) payload.F32(static_cast<float>(c));
  }
  for (const std::uint32_t i : {0u, 1u, 2u}) payload.U32(i);
  ByteWriter w(0);
  w.U64(3);
  w.U64(1);
  w.Bytes(payload.bytes);

  const PlCadPrepStepReviewMeshPayload encoded =
      EncodePlCadPrepStepReviewMeshPayload(mesh, context);
  EXPECT_EQ(encoded.bytes, payload.bytes);
  EXPECT_EQ(encoded.reservation.bytes, 48u);
  EXPECT_EQ(PlCadPrepStepReviewMeshStreamSha256(mesh, context),
            DigestOf("PeltoCadPrep.STEP.review-f32-mesh-stream.v1", w));
  EXPECT_EQ(PlCadPrepStepReviewMeshStreamSha256(UnitTriangleMesh(), context),
            "sha256:c85eb301f667539a251e90b17b7867ca0f4e2b45cfa82b3c5c90aa18a671d6d9");
}

TEST(StepSolidDiagnostics, ReviewStreamAcceptsEveryValueThatStaysFiniteInSinglePrecision) {
  const PlCadPrepRequest request;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  // The largest doubles that round to FLT_MAX rather than to infinity.
  const double edge = std::nextafter(0x1.ffffffp127, 0.0);
  PlGeometryMesh mesh = UnitTriangleMesh();
  mesh.vertices[0] = {edge, -edge, static_cast<double>(std::numeric_limits<float>::max())};
  const PlCadPrepStepReviewMeshPayload payload =
      EncodePlCadPrepStepReviewMeshPayload(mesh, context);
  ByteReader reader(payload.bytes);
  EXPECT_EQ(reader.F32(), std::numeric_limits<float>::max());
  EXPECT_EQ(reader.F32(), -std::numeric_limits<float>::max());
}

TEST(StepSolidDiagnostics, ReviewStreamRejectsUnusableMeshes) {
  const AlwaysCancelled cancelled;
  constexpr const char* kEmpty = "step_review_empty_component";
  constexpr const char* kEmptyMsg = "STEP review mesh identity requires nonempty geometry";
  constexpr const char* kBad = "invalid_step_review_component";
  constexpr const char* kNonFinite = "STEP review mesh identity contains a non-finite vertex";
  // Each row spoils one part of a unit triangle mesh.
  const struct {
    const char* name;
    void (*change)(PlGeometryMesh&, PlCadPrepRequest&);
    const PlCadPrepCancellation* cancellation;
    const char* code;
    const char* message;
  } cases[] = {
      {"no vertices", [](auto& m, auto&) { m.vertices.clear(); }, &kNever, kEmpty, kEmptyMsg},
      {"no triangles", [](auto& m, auto&) { m.triangles.clear(); }, &kNever, kEmpty, kEmptyMsg},
      {"nan", [](auto& m, auto&) { m.vertices[1][0] = std::nan(""); }, &kNever, kBad, kNonFinite},
      {"overflows single precision", [](auto& m, auto&) { m.vertices[2][1] = 0x1.ffffffp127; },
       &kNever, kBad, kNonFinite},
      {"index past the vertices", [](auto& m, auto&) { m.triangles[0][2] = 3; }, &kNever, kBad,
       "STEP review mesh identity has an out-of-range index"},
      // The payload takes 48 bytes.
      {"payload exceeds memory", [](auto&, auto& r) { r.maxMemoryBytes = 47; }, &kNever,
       "memory_limit_exceeded", "preparation exceeds maxMemoryBytes"},
      {"cancelled", [](auto&, auto&) {}, &cancelled, "cancelled", "preparation was cancelled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlCadPrepRequest request;
    request.maxMemoryBytes = 1024;
    PlGeometryMesh mesh = UnitTriangleMesh();
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
  const TopoDS_Shape solids = MakeTestCompound({box, box, Shifted(box, 50)});
  const PlCadPrepRequest request;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  std::vector<std::string> calls;
  const PlCadPrepStepSolidClassification c = ClassifyPlCadPrepStepSolids(
      solids, kSourceSha, Settings(), {}, context, 2, nullptr,
      [&](const PlCadPrepStepSolidDiagnostic& d, const PlGeometryMesh& mesh) {
        calls.push_back("mesh " + std::to_string(d.selectedSolidOrdinal) + " " +
                        std::to_string(mesh.triangles.size()));
        EXPECT_EQ(d.placedMeshStreamSha256, PlCadPrepStepPlacedMeshStreamSha256(mesh, context));
      },
      [&](const PlCadPrepStepSolidDiagnostic& d) {
        calls.push_back("diagnostic " + std::to_string(d.selectedSolidOrdinal));
      });
  EXPECT_EQ(calls,
            (std::vector<std::string>{"mesh 1 12", "diagnostic 1", "mesh 2 12", "diagnostic 2"}));
  ASSERT_EQ(c.diagnostics.size(), 2u);
  EXPECT_EQ(Summary(c.diagnostics[0]), "#1 faces 6/6/0 triangles 12/12/0 mesh watertight");
  EXPECT_EQ(Summary(c.diagnostics[1]), "#2 faces 6/6/0 triangles 12/12/0 mesh watertight");
  EXPECT_EQ(c.diagnostics[1].boundsMin, (PlPoint3{50, 0, 0}));
  EXPECT_EQ(c.diagnostics[1].boundsMax, (PlPoint3{60, 20, 30}));
  EXPECT_NE(c.diagnostics[0].samePolicyOccurrenceSha256,
            c.diagnostics[1].samePolicyOccurrenceSha256);
  EXPECT_EQ(Summary(c.counters),
            "classified 2 untriangulated 0/2 degenerate 0 watertight 2/0 empty 0 matched 0 "
            "retained 0");
  EXPECT_EQ(context.ledger->memoryReserved, 0u);
}

TEST(StepSolidDiagnostics, EmptyAndPartlyTriangulatedSolidsStillAddUp) {
  const TopoDS_Shape unmeshed = BRepPrimAPI_MakeBox(5, 5, 5).Shape();
  const TopoDS_Shape holed = MeshedBox(7, 7, 7);
  BRep_Builder().UpdateFace(TopoDS::Face(TopExp_Explorer(holed, TopAbs_FACE).Current()),
                            Handle(Poly_Triangulation)());
  const PlCadPrepStepSolidClassification c =
      Classify(MakeTestCompound({MeshedBox(10, 10, 10), unmeshed, holed}), Settings(), 3);
  ASSERT_EQ(c.diagnostics.size(), 3u);
  EXPECT_EQ(Summary(c.diagnostics[1]), "#2 faces 6/0/6 triangles 0/0/0 empty");
  EXPECT_EQ(c.diagnostics[1].placedMeshStreamSha256 + c.diagnostics[1].samePolicyOccurrenceSha256,
            "");
  EXPECT_EQ(Summary(c.diagnostics[2]), "#3 faces 6/5/1 triangles 10/10/0 mesh");
  EXPECT_EQ(Summary(c.counters),
            "classified 3 untriangulated 2/1 degenerate 0 watertight 1/1 empty 1 matched 0 "
            "retained 0");
}

TEST(StepSolidDiagnostics, KeysAreStableAndBoundToEveryPolicyInput) {
  const TopoDS_Shape box = MeshedBox(10, 20, 30);
  const TopoDS_Shape solids = MakeTestCompound({box, Shifted(box, 50)});
  const PlCadPrepStepSolidClassification base = Classify(solids, Settings(), 2);
  EXPECT_EQ(Keys(Classify(solids, Settings(), 2)), Keys(base));

  PlCadPrepStepImportSettings angle = Settings();
  angle.angularDeflectionRadians = std::nextafter(0.5, 1.0);
  // The last matrix entry never moves a point, so only the key can see it.
  PlCadPrepStepImportSettings mount = Settings();
  mount.sourceToMount[15] =
      std::bit_cast<double>(std::bit_cast<std::uint64_t>(mount.sourceToMount[15]) ^ 1u);
  std::string source = kSourceSha;
  source.back() = 'c';
  struct Case {
    const char* name;
    PlCadPrepStepSolidClassification changed;
  };
  const Case cases[] = {
      {"angular deflection", Classify(solids, angle, 2)},
      {"one sourceToMount bit", Classify(solids, mount, 2)},
      {"one source digest byte", Classify(solids, Settings(), 2, {}, source)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.changed.diagnostics.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(c.changed.diagnostics[i].placedMeshStreamSha256,
                base.diagnostics[i].placedMeshStreamSha256);
      EXPECT_NE(c.changed.diagnostics[i].samePolicyOccurrenceSha256,
                base.diagnostics[i].samePolicyOccurrenceSha256);
    }
  }
}

TEST(StepSolidDiagnostics, SelectsReviewedAndRetainsRetainedOrProvenSolids) {
  const TopoDS_Shape box = MeshedBox(10, 20, 30);
  const TopoDS_Shape moved = Shifted(box, 50);
  const TopoDS_Shape solids = MakeTestCompound({box, moved});
  const PlCadPrepStepSolidClassification first = Classify(solids, Settings(), 2);
  const std::vector<std::string> keys = Keys(first);

  PlCadPrepStepOccurrenceKeys roles;
  roles.reviewed = {keys[1], keys[0]};
  roles.retained = {keys[1]};
  TopoDS_Compound retained;
  const PlCadPrepStepSolidClassification c =
      Classify(solids, Settings(), 2, roles, kSourceSha, &retained);
  EXPECT_TRUE(c.diagnostics[0].selected && c.diagnostics[1].selected);
  EXPECT_EQ(Summary(c.counters),
            "classified 2 untriangulated 0/2 degenerate 0 watertight 2/0 empty 0 matched 2 "
            "retained 1");
  ASSERT_EQ(SolidCount(retained), 1u);
  EXPECT_TRUE(TopExp_Explorer(retained, TopAbs_SOLID).Current().IsSame(moved));

  PlCadPrepStepOccurrenceKeys proof;
  proof.sourceProofPairs = {{keys[0], first.diagnostics[0].placedMeshStreamSha256}};
  TopoDS_Compound proven;
  const PlCadPrepStepSolidClassification p =
      Classify(solids, Settings(), 2, proof, kSourceSha, &proven);
  EXPECT_EQ(Summary(p.counters),
            "classified 2 untriangulated 0/2 degenerate 0 watertight 2/0 empty 0 matched 0 "
            "retained 1");
  ASSERT_EQ(SolidCount(proven), 1u);
  EXPECT_TRUE(TopExp_Explorer(proven, TopAbs_SOLID).Current().IsSame(box));
}

TEST(StepSolidDiagnostics, RejectsIncompleteOrStaleClassifications) {
  const AlwaysCancelled cancelled;
  const TopoDS_Shape box = MeshedBox(10, 20, 30);
  const TopoDS_Shape solids = MakeTestCompound({box, Shifted(box, 50)});
  const PlCadPrepStepSolidClassification first = Classify(solids, Settings(), 2);
  const std::vector<std::string> keys = Keys(first);
  const std::string placed0 = first.diagnostics[0].placedMeshStreamSha256;

  constexpr const char* kStale = "step_occurrence_selection_stale";
  constexpr const char* kStaleMsg =
      "STEP occurrence selection does not match this source and policy";
  constexpr const char* kProof = "step_source_proof_mesh_stale";
  constexpr const char* kProofMsg = "strict STEP source-proof meshes do not match this transfer";
  using Opt = PlCadPrepStepOccurrenceKeys;
  struct Case {
    const char* name;
    std::uint64_t selectedSolidCount;
    std::function<void(Opt&)> change;
    const PlCadPrepCancellation* cancellation;
    const char* code;
    const char* stage;
    const char* message;
  };
  const Case cases[] = {
      {"a selected solid left unclassified", 3, [](Opt&) {}, &kNever,
       "step_solid_diagnostic_incomplete", "mesh",
       "STEP per-solid diagnostic did not classify every selected solid"},
      {"reviewed key of another source", 2,
       [&](Opt& o) {
         o.reviewed = {keys[0], kStaleKey};
       },
       &kNever, kStale, "validate", kStaleMsg},
      {"retained key of another source", 2,
       [&](Opt& o) {
         o.reviewed = {keys[0], keys[1], kStaleKey};
         o.retained = {keys[0], kStaleKey};
       },
       &kNever, kStale, "validate", kStaleMsg},
      {"retained roles stale", 2,
       [&](Opt& o) {
         o.reviewed = keys;
         o.retained = {keys[0], kStaleKey};
       },
       &kNever, "step_occurrence_role_selection_stale", "validate",
       "retained STEP occurrence roles do not match this source and policy"},
      {"proof mesh differs", 2,
       [&](Opt& o) {
         o.sourceProofPairs = {{keys[0], kStaleKey}};
       },
       &kNever, kProof, "validate", kProofMsg},
      {"proof key differs", 2,
       [&](Opt& o) {
         o.sourceProofPairs = {{kStaleKey, placed0}};
       },
       &kNever, kProof, "validate", kProofMsg},
      {"cancelled", 2, [](Opt&) {}, &cancelled, "cancelled", "mesh", "preparation was cancelled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlCadPrepStepOccurrenceKeys selection;
    c.change(selection);
    const PlCadPrepOperationContext context =
        MakePlCadPrepOperationContext(PlCadPrepLimits(), *c.cancellation);
    ExpectPlCadPrepError(
        [&] {
          (void)ClassifyPlCadPrepStepSolids(solids, kSourceSha, Settings(), selection, context,
                                            c.selectedSolidCount, nullptr, {}, {});
        },
        c.code, c.stage, c.message);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
}

}  // namespace
