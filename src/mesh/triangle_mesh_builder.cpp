#include "mesh/triangle_mesh_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/checked.h"
#include "core/error.h"

namespace {

constexpr std::size_t kBuildCheckpointCount = 4096;
constexpr double kZeroAreaCrossSquaredMm4 = 1e-12;
constexpr std::uint64_t kReservationStepBytes = 1'048'576;
// Beyond these counts 96 * V or 224 * T no longer fits in 64 bits.
constexpr std::uint64_t kMaxEstimatedVertices = 192'153'584'101'141'162;
constexpr std::uint64_t kMaxEstimatedTriangles = 82'351'536'043'346'212;

// The bit patterns of a point with each zero read as +0.0, so -0.0 and +0.0
// weld and nothing else does unless bit-identical.
using WeldKey = std::array<std::uint64_t, 3>;

WeldKey KeyOf(const PlPoint3& p) {
  return {std::bit_cast<std::uint64_t>(p[0] == 0.0 ? 0.0 : p[0]),
          std::bit_cast<std::uint64_t>(p[1] == 0.0 ? 0.0 : p[1]),
          std::bit_cast<std::uint64_t>(p[2] == 0.0 ? 0.0 : p[2])};
}

// Seeds drawn once per process keep a crafted file from aiming its vertices
// at one probe chain: each component is salted before the non-linear multiply.
// Vertex indices follow first-seen order, so the mesh never depends on them.
using WeldSeeds = std::array<std::uint64_t, 3>;

const WeldSeeds& WeldHashSeeds() {
  static const WeldSeeds seeds = [] {
    std::random_device device;
    WeldSeeds drawn{};
    for (std::uint64_t& seed : drawn) seed = (std::uint64_t{device()} << 32) ^ device();
    return drawn;
  }();
  return seeds;
}

// Widened binary32 sources leave the low mantissa bits zero, so every input
// bit is multiplied into the high bits before the final mix folds them down.
std::uint32_t HashKey(const WeldKey& key, const WeldSeeds& seeds) {
  std::uint64_t h = (key[0] ^ seeds[0]) * 0x9E3779B97F4A7C15ULL;
  h ^= std::rotl((key[1] ^ seeds[1]) * 0xC2B2AE3D27D4EB4FULL, 21);
  h ^= std::rotl((key[2] ^ seeds[2]) * 0x165667B19E3779F9ULL, 42);
  h ^= h >> 31;
  h *= 0xD6E8FEB86659FD93ULL;
  return static_cast<std::uint32_t>(h >> 32);
}

// Open-addressing weld table with linear probing. A slot holds a vertex index
// and the 32-bit hash that placed it; the key itself is read back from the
// vertex, so a slot costs 8 bytes. The table is grown by doubling once it is
// half full, so it holds 2 to 4 slots a vertex, and even the moment a doubling
// meets a growth of the vertex array stays inside the per-vertex estimate.
class WeldIndex {
 public:
  static constexpr std::uint32_t kNoVertex = std::numeric_limits<std::uint32_t>::max();

  // Draws the hash seeds and makes the first Probe possible; until then the
  // builder holds no table.
  void EnsureTable() {
    if (!slots.empty()) return;
    seeds = WeldHashSeeds();
    slots.assign(kInitialSlots, Slot{});
  }

  bool HasTable() const { return !slots.empty(); }

  std::uint32_t Hash(const WeldKey& key) const { return HashKey(key, seeds); }

  // The slot holding `key`, or the empty slot where it belongs.
  std::size_t Probe(const WeldKey& key, std::uint32_t hash,
                    const std::vector<PlPoint3>& vertices) const {
    PlRequire(!slots.empty(), "the weld table exists before the first probe");
    const std::size_t mask = slots.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const Slot& s = slots[slot];
      if (s.index == kNoVertex || (s.hash == hash && KeyOf(vertices[s.index]) == key)) return slot;
    }
  }

  std::uint32_t VertexAt(std::size_t slot) const { return slots[slot].index; }

  // The slot a probe for `hash` starts at, pulled towards the cache. Inlined
  // on purpose: GCC takes a function holding only a prefetch for pure and
  // drops the call.
  [[gnu::always_inline]] void Prefetch(std::uint32_t hash) const {
    __builtin_prefetch(&slots[hash & (slots.size() - 1)]);
  }

  // Records vertex `index` with `hash` at `slot`, the result of Probe; growing
  // first places every slot again, so `slot` is searched anew then.
  void Insert(std::size_t slot, std::uint32_t index, std::uint32_t hash) {
    if ((used + 1) * 2 > slots.size()) {
      Grow();
      const std::size_t mask = slots.size() - 1;
      for (slot = hash & mask; slots[slot].index != kNoVertex; slot = (slot + 1) & mask) {
      }
    }
    PlRequire(slots[slot].index == kNoVertex, "a vertex is inserted only into an empty slot");
    slots[slot] = Slot{index, hash};
    ++used;
  }

  void Clear() {
    std::vector<Slot>().swap(slots);
    used = 0;
  }

 private:
  struct Slot {
    std::uint32_t index = kNoVertex;
    std::uint32_t hash = 0;
  };
  static constexpr std::size_t kInitialSlots = 16;

  void Grow() {
    std::vector<Slot> old(slots.size() * 2);
    old.swap(slots);
    const std::size_t mask = slots.size() - 1;
    for (const Slot& s : old) {
      if (s.index == kNoVertex) continue;
      std::size_t slot = s.hash & mask;
      while (slots[slot].index != kNoVertex) slot = (slot + 1) & mask;
      slots[slot] = s;
    }
  }

  WeldSeeds seeds{};
  std::vector<Slot> slots;
  std::size_t used = 0;
};

// The event code of each mesh contract category that has its own; the rest fail as
// "invalid_mesh".
struct ContractFailure {
  PlMemberDiagnosticCode category;
  const char* code;
};
constexpr std::array<ContractFailure, 4> kContractFailureCodes = {{
    {PlMemberDiagnosticCode::limitExceeded, "mesh_limit_exceeded"},
    {PlMemberDiagnosticCode::invalidNumber, "invalid_mesh_number"},
    {PlMemberDiagnosticCode::boundsMismatch, "invalid_mesh_bounds"},
    {PlMemberDiagnosticCode::invalidTopology, "invalid_mesh_topology"},
}};

const char* ContractFailureCode(PlMemberDiagnosticCode category) {
  for (const ContractFailure& failure : kContractFailureCodes) {
    if (failure.category == category) return failure.code;
  }
  return "invalid_mesh";
}

}  // namespace

double UnitsScale(const PlCadPrepRequest& request) {
  const std::string& units = request.sourceUnits;
  if (units == "mm") return 1.0;
  if (units == "cm") return 10.0;
  if (units == "m") return 1000.0;
  if (units == "in") return 25.4;
  throw PlCadPrepError("units_confirmation_required", "STL and OBJ require mm, cm, m, or in",
                       "preflight");
}

PlPoint3 MountPointUnchecked(const std::array<double, 16>& m, double scale, double x, double y,
                             double z) {
  const double sx = scale * x;
  const double sy = scale * y;
  const double sz = scale * z;
  return {((sx * m[0] + sy * m[1]) + sz * m[2]) + m[3],
          ((sx * m[4] + sy * m[5]) + sz * m[6]) + m[7],
          ((sx * m[8] + sy * m[9]) + sz * m[10]) + m[11]};
}

PlPoint3 MountPoint(const std::array<double, 16>& m, double scale, double x, double y, double z) {
  const PlPoint3 p = MountPointUnchecked(m, scale, x, y, z);
  if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) {
    throw PlCadPrepError("invalid_number",
                         "source coordinate becomes non-finite in the mount frame", "import");
  }
  return p;
}

bool IsZeroAreaTriangle(const PlPoint3& a, const PlPoint3& b, const PlPoint3& c) {
  if (a == b || b == c || a == c) return true;
  const double ux = b[0] - a[0];
  const double uy = b[1] - a[1];
  const double uz = b[2] - a[2];
  const double vx = c[0] - a[0];
  const double vy = c[1] - a[1];
  const double vz = c[2] - a[2];
  const double cx = uy * vz - uz * vy;
  const double cy = uz * vx - ux * vz;
  const double cz = ux * vy - uy * vx;
  return ((cx * cx + cy * cy) + cz * cz) <= kZeroAreaCrossSquaredMm4;
}

std::uint64_t EstimatePlMeshMemoryBytes(std::uint64_t vertexCount, std::uint64_t triangleCount) {
  std::uint64_t estimate = 0;
  if (vertexCount > kMaxEstimatedVertices || triangleCount > kMaxEstimatedTriangles ||
      !CheckedAdd(kPlMeshBytesPerVertex * vertexCount, kPlMeshBytesPerTriangle * triangleCount,
                  estimate)) {
    throw PlCadPrepError("memory_limit_exceeded", "mesh allocation estimate overflowed", "import");
  }
  return estimate;
}

struct PlTriangleMeshBuilder::State {
  std::uint64_t maxTriangles = 0;
  std::uint64_t maxMemoryBytes = 0;
  const PlCadPrepCancellation* cancellation = nullptr;
  const PlCadPrepOperationContext* context = nullptr;
  PlGeometryMesh mesh;
  WeldIndex weld;
  std::uint64_t baseBytes = 0;
  std::uint64_t uncoveredBaseBytes = 0;
  std::vector<PlCadPrepMemoryReservation> reservations;
  std::uint64_t reservedBytes = 0;

  void CheckMemory(std::uint64_t vertexCount, std::uint64_t triangleCount);
  std::uint32_t Weld(const PlPoint3& p);
  void PollCancellation() const;
  void MeasureBounds();
  bool IsWatertight() const;
};

void PlTriangleMeshBuilder::State::CheckMemory(std::uint64_t vertexCount,
                                               std::uint64_t triangleCount) {
  const std::uint64_t estimate = EstimatePlMeshMemoryBytes(vertexCount, triangleCount);
  if (context == nullptr) {
    if (baseBytes <= maxMemoryBytes && estimate <= maxMemoryBytes - baseBytes) return;
    throw PlCadPrepError("memory_limit_exceeded", "mesh exceeds maxMemoryBytes", "import");
  }
  std::uint64_t target = reservedBytes;
  if (estimate > reservedBytes) {
    target = estimate;
    std::uint64_t padded = 0;
    if (CheckedAdd(estimate, kReservationStepBytes - 1, padded)) {
      target = padded / kReservationStepBytes * kReservationStepBytes;
    }
  }
  // The ledger's limit, not the request's, so that the reservation below can
  // only be refused by a checkpoint, never by its size.
  const PlCadPrepResourceLedger& ledger = *context->ledger;
  const std::uint64_t available = ledger.memoryReserved < ledger.maxMemoryBytes
                                      ? ledger.maxMemoryBytes - ledger.memoryReserved
                                      : 0;
  const std::uint64_t growth = target - reservedBytes;
  if (uncoveredBaseBytes > available || growth > available - uncoveredBaseBytes) {
    throw PlCadPrepError("memory_limit_exceeded", "mesh exceeds maxMemoryBytes", "import");
  }
  if (growth > 0) {
    reservations.push_back(ReserveMemory(*context, growth, "import"));
    reservedBytes = target;
  }
}

std::uint32_t PlTriangleMeshBuilder::State::Weld(const PlPoint3& p) {
  const WeldKey key = KeyOf(p);
  weld.EnsureTable();
  const std::uint32_t hash = weld.Hash(key);
  const std::size_t slot = weld.Probe(key, hash, mesh.vertices);
  if (weld.VertexAt(slot) != WeldIndex::kNoVertex) return weld.VertexAt(slot);
  if (mesh.vertices.size() >= kPlRuntimeMeshLimits.maxVertices) {
    throw PlCadPrepError("vertex_limit_exceeded", "mesh exceeds the runtime 500000-vertex limit",
                         "import");
  }
  CheckMemory(mesh.vertices.size() + 1, mesh.triangles.size());
  const auto index = static_cast<std::uint32_t>(mesh.vertices.size());
  mesh.vertices.push_back(p);
  weld.Insert(slot, index, hash);
  return index;
}

void PlTriangleMeshBuilder::State::PollCancellation() const {
  if (context != nullptr) {
    CheckpointStage(*context, "validate");
  } else if (cancellation->IsCancelled()) {
    throw PlCadPrepError("cancelled", "preparation was cancelled", "validate");
  }
}

void PlTriangleMeshBuilder::State::MeasureBounds() {
  const std::span<const PlPoint3> vertices(mesh.vertices);
  for (std::size_t start = 0; start < vertices.size(); start += kBuildCheckpointCount) {
    PollCancellation();
    if (start == 0) {
      mesh.boundsMin = vertices[0];
      mesh.boundsMax = vertices[0];
    }
    FoldPlGeometryBounds(
        vertices.subspan(start, std::min(kBuildCheckpointCount, vertices.size() - start)),
        mesh.boundsMin, mesh.boundsMax);
  }
}

// Closed and consistently oriented: every undirected edge used twice with an
// orientation balance of 0 (once in each direction). The edge runs visit the
// undirected edges in the order an ordered map over (lower, higher) would.
bool PlTriangleMeshBuilder::State::IsWatertight() const {
  const PlMeshEdgeRuns runs = BuildPlMeshEdgeRuns(
      mesh, [this] { PollCancellation(); }, kBuildCheckpointCount);
  bool watertight = !runs.entries.empty();
  std::size_t edge = 0;
  for (std::size_t lower = 0; lower + 1 < runs.offsets.size(); ++lower) {
    const std::size_t runEnd = runs.offsets[lower + 1];
    for (std::size_t i = runs.offsets[lower]; i < runEnd; ++edge) {
      if (edge % kBuildCheckpointCount == 0) PollCancellation();
      const std::uint32_t higher = runs.entries[i] >> 1;
      std::uint64_t uses = 0;
      std::int64_t balance = 0;
      for (; i < runEnd && (runs.entries[i] >> 1) == higher; ++i) {
        ++uses;
        balance += (runs.entries[i] & 1U) != 0 ? 1 : -1;
      }
      if (uses != 2 || balance != 0) watertight = false;
    }
  }
  return watertight;
}

PlTriangleMeshBuilder::PlTriangleMeshBuilder(const PlMeshLimits& limits,
                                             const PlCadPrepCancellation& cancellation,
                                             const PlCadPrepOperationContext* context)
    : state(std::make_unique<State>()) {
  state->maxTriangles = limits.maxTriangles;
  state->maxMemoryBytes = limits.maxMemoryBytes;
  state->cancellation = &cancellation;
  state->context = context;
}

PlTriangleMeshBuilder::~PlTriangleMeshBuilder() = default;

void PlTriangleMeshBuilder::ExpectTriangles(std::uint64_t triangleCount) {
  State& s = *state;
  // The triangle array stays below what the estimate charges for the same
  // count, so the hint never holds more than a build within maxMemoryBytes
  // would. The vertex count is left to grow: a guess that falls short by a
  // few vertices would double the array.
  const std::uint64_t triangles =
      std::min({triangleCount, s.maxTriangles, std::uint64_t{kPlRuntimeMeshLimits.maxTriangles},
                s.maxMemoryBytes / kPlMeshBytesPerTriangle});
  try {
    s.mesh.triangles.reserve(static_cast<std::size_t>(triangles));
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", "mesh exceeds maxMemoryBytes", "import");
  }
}

void PlTriangleMeshBuilder::SetBaseBytes(std::uint64_t bytes) {
  State& s = *state;
  s.baseBytes = bytes;
  if (s.context != nullptr) {
    const std::uint64_t inUse = s.context->ledger->memoryReserved;
    s.uncoveredBaseBytes = bytes > inUse ? bytes - inUse : 0;
  }
  s.CheckMemory(s.mesh.vertices.size(), s.mesh.triangles.size());
}

void PlTriangleMeshBuilder::AddTriangle(const PlPoint3& a, const PlPoint3& b, const PlPoint3& c) {
  State& s = *state;
  if (s.mesh.triangles.size() >= s.maxTriangles) {
    throw PlCadPrepError("triangle_limit_exceeded", "mesh exceeds maxTriangles", "import");
  }
  if (IsZeroAreaTriangle(a, b, c)) {
    throw PlCadPrepError("degenerate_triangle", "mesh contains a zero-area triangle", "validate");
  }
  try {
    s.CheckMemory(s.mesh.vertices.size() + 3, s.mesh.triangles.size() + 1);
    const std::uint32_t ia = s.Weld(a);
    const std::uint32_t ib = s.Weld(b);
    const std::uint32_t ic = s.Weld(c);
    if (ia == ib || ib == ic || ia == ic) {
      throw PlCadPrepError("degenerate_triangle", "mesh contains a triangle with repeated vertices",
                           "validate");
    }
    s.mesh.triangles.push_back({ia, ib, ic});
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", "mesh exceeds maxMemoryBytes", "import");
  } catch (const std::length_error&) {
    throw PlCadPrepError("memory_limit_exceeded", "mesh exceeds maxMemoryBytes", "import");
  }
}

void PlTriangleMeshBuilder::PrefetchCorner(const PlPoint3& p) const {
  const WeldIndex& weld = state->weld;
  if (weld.HasTable()) weld.Prefetch(weld.Hash(KeyOf(p)));
}

PlGeometryMesh PlTriangleMeshBuilder::Finish(double surfaceDeviationMm) {
  State& s = *state;
  if (!std::isfinite(surfaceDeviationMm) || surfaceDeviationMm < 0.0) {
    throw PlCadPrepError("invalid_surface_deviation",
                         "mesh surface deviation must be finite and nonnegative", "validate");
  }
  if (s.mesh.vertices.empty() || s.mesh.triangles.empty()) {
    throw PlCadPrepError("empty_mesh", "source contains no triangles", "import");
  }
  PlMemberDiagnostic diagnostic;
  try {
    s.MeasureBounds();
    s.mesh.surfaceDeviationMm = surfaceDeviationMm;
    s.mesh.watertight = s.IsWatertight();
    // A watertight verdict has just counted every edge twice over the same runs.
    diagnostic = s.mesh.watertight
                     ? CheckPlRuntimeMeshContractWithCountedEdges(s.mesh, kPlRuntimeMeshLimits)
                     : CheckPlRuntimeMeshContract(s.mesh, kPlRuntimeMeshLimits);
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", "mesh exceeds maxMemoryBytes", "validate");
  } catch (const std::length_error&) {
    throw PlCadPrepError("memory_limit_exceeded", "mesh exceeds maxMemoryBytes", "validate");
  }
  if (!diagnostic.Passed()) {
    std::string message = "imported mesh failed the runtime mesh contract";
    if (!diagnostic.message.empty()) {
      message += ": ";
      message += NarrowPlDiagnosticMessage(diagnostic.message);
    }
    throw PlCadPrepError(ContractFailureCode(diagnostic.code), message, "validate");
  }
  s.weld.Clear();
  s.reservations.clear();
  s.reservedBytes = 0;
  PlGeometryMesh finished = std::move(s.mesh);
  s.mesh = PlGeometryMesh{};
  return finished;
}

PlCadPrepTriangleImport PlTriangleMeshBuilder::FinishImport(const Sha256Digest& sourceDigest) {
  PlCadPrepTriangleImport result;
  result.mesh = Finish(0.0);
  result.sourceHash = Sha256IdentityText(sourceDigest);
  return result;
}

std::size_t PlTriangleMeshBuilder::VertexCount() const { return state->mesh.vertices.size(); }

std::size_t PlTriangleMeshBuilder::TriangleCount() const { return state->mesh.triangles.size(); }
