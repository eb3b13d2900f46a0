#pragma once
// The STEP reader settings the import asks for, carried to the kernel in use
// (Open CASCADE 7.6). Newer kernels take them as parameter objects on the
// reader and mesher; 7.6 has no such objects, so this unit reaches the same
// effect through 7.6's own mechanisms and undoes every global change when the
// import ends.
//
// How each setting travels, and what differs:
// - Read parameters (maximum-precision mode and value, precision mode and
//   value) become 7.6's process-wide static parameters ("read.precision.*",
//   "read.maxprecision.*"), which the STEP actor consults during transfer.
//   The other read parameters of newer kernels are not modelled; 7.6 keeps its
//   own defaults for them.
// - Shape-fix parameters: 7.6 heals every transferred root through the
//   process-wide algorithm container. A container of ours is installed for
//   the import; for read sequences it runs the shape fixer with exactly the
//   requested modes, whatever resource file the environment names. The fixer
//   works at the transfer's own precision and maximum tolerance, as newer
//   kernels do; the minimum tolerance, detalization level and non-manifold
//   flag come from the parameters. Differences: a failure inside the fixer
//   fails that root's transfer (newer kernels keep the unhealed root), and the
//   second tail-fixing pass that newer kernels run when the tail mode is "fix"
//   is not reproduced (the import never asks for it).
// - Mesher parameters: 7.6 takes every field except the switch that extends
//   interior deflection control to all surface kinds. 7.6 controls interior
//   deflection on the surfaces its mesher refines by deflection; on the others
//   the interior grid follows the angular and linear parameters only. The
//   switch is therefore recorded but cannot take effect.
//
// The settings are process-global in 7.6, so one import at a time may hold a
// PlCadPrepStepKernelSettings; the program is single-threaded.
#include <IMeshTools_Parameters.hxx>
#include <array>
#include <cstdint>
#include <memory>

// A shape-fix mode: decide per case, never, or always.
enum class PlCadPrepStepFixMode : std::int8_t { fixOrNot = -1, notFix = 0, fix = 1 };

// Shape-level ordinals of the detalization level (compound 0 ... vertex 7).
inline constexpr std::uint8_t kPlCadPrepStepShapeLevelVertex = 7;

// The shape-fix parameters of newer kernels, fields in their declaration
// order. Defaults are the STEP reader's defaults.
struct PlCadPrepStepShapeFixParameters {
  double tolerance3d = 1.e-6;
  double maxTolerance3d = 1.0;
  double minTolerance3d = 1.e-7;
  std::uint8_t detalizationLevel = kPlCadPrepStepShapeLevelVertex;
  bool nonManifold = false;
  PlCadPrepStepFixMode fixFreeShellMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixFreeFaceMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixFreeWireMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixSameParameterMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixSolidMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixShellOrientationMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode createOpenSolidMode = PlCadPrepStepFixMode::notFix;
  PlCadPrepStepFixMode fixShellMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixFaceOrientationMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixFaceMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixWireMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixOrientationMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixAddNaturalBoundMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixMissingSeamMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixSmallAreaWireMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode removeSmallAreaFaceMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixIntersectingWiresMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixLoopWiresMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixSplitFaceMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode autoCorrectPrecisionMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode modifyTopologyMode = PlCadPrepStepFixMode::notFix;
  PlCadPrepStepFixMode modifyGeometryMode = PlCadPrepStepFixMode::fix;
  PlCadPrepStepFixMode closedWireMode = PlCadPrepStepFixMode::fix;
  PlCadPrepStepFixMode preferencePCurveMode = PlCadPrepStepFixMode::fix;
  PlCadPrepStepFixMode fixReorderMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixSmallMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixConnectedMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixEdgeCurvesMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixDegeneratedMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixLackingMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixSelfIntersectionMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode removeLoopMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixReversed2dMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixRemovePCurveMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixRemoveCurve3dMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixAddPCurveMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixAddCurve3dMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixSeamMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixShiftedMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixEdgeSameParameterMode = PlCadPrepStepFixMode::notFix;
  PlCadPrepStepFixMode fixNotchedEdgesMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixTailMode = PlCadPrepStepFixMode::notFix;
  // Newer kernels store these two limits as modes too; the value is the
  // mode's number (degrees and millimetres).
  PlCadPrepStepFixMode maxTailAngle = PlCadPrepStepFixMode::notFix;
  PlCadPrepStepFixMode maxTailWidth = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixSelfIntersectingEdgeMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixIntersectingEdgesMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixNonAdjacentIntersectingEdgesMode = PlCadPrepStepFixMode::fixOrNot;
  PlCadPrepStepFixMode fixVertexPositionMode = PlCadPrepStepFixMode::notFix;
  PlCadPrepStepFixMode fixVertexToleranceMode = PlCadPrepStepFixMode::fixOrNot;
};

// Every mode field in declaration order: position n (counting from 1) is
// element n - 1. The topology- and geometry-modification modes are 21 and 22.
inline constexpr std::array<PlCadPrepStepFixMode PlCadPrepStepShapeFixParameters::*, 49>
    kPlCadPrepStepFixModeFields = {
        &PlCadPrepStepShapeFixParameters::fixFreeShellMode,
        &PlCadPrepStepShapeFixParameters::fixFreeFaceMode,
        &PlCadPrepStepShapeFixParameters::fixFreeWireMode,
        &PlCadPrepStepShapeFixParameters::fixSameParameterMode,
        &PlCadPrepStepShapeFixParameters::fixSolidMode,
        &PlCadPrepStepShapeFixParameters::fixShellOrientationMode,
        &PlCadPrepStepShapeFixParameters::createOpenSolidMode,
        &PlCadPrepStepShapeFixParameters::fixShellMode,
        &PlCadPrepStepShapeFixParameters::fixFaceOrientationMode,
        &PlCadPrepStepShapeFixParameters::fixFaceMode,
        &PlCadPrepStepShapeFixParameters::fixWireMode,
        &PlCadPrepStepShapeFixParameters::fixOrientationMode,
        &PlCadPrepStepShapeFixParameters::fixAddNaturalBoundMode,
        &PlCadPrepStepShapeFixParameters::fixMissingSeamMode,
        &PlCadPrepStepShapeFixParameters::fixSmallAreaWireMode,
        &PlCadPrepStepShapeFixParameters::removeSmallAreaFaceMode,
        &PlCadPrepStepShapeFixParameters::fixIntersectingWiresMode,
        &PlCadPrepStepShapeFixParameters::fixLoopWiresMode,
        &PlCadPrepStepShapeFixParameters::fixSplitFaceMode,
        &PlCadPrepStepShapeFixParameters::autoCorrectPrecisionMode,
        &PlCadPrepStepShapeFixParameters::modifyTopologyMode,
        &PlCadPrepStepShapeFixParameters::modifyGeometryMode,
        &PlCadPrepStepShapeFixParameters::closedWireMode,
        &PlCadPrepStepShapeFixParameters::preferencePCurveMode,
        &PlCadPrepStepShapeFixParameters::fixReorderMode,
        &PlCadPrepStepShapeFixParameters::fixSmallMode,
        &PlCadPrepStepShapeFixParameters::fixConnectedMode,
        &PlCadPrepStepShapeFixParameters::fixEdgeCurvesMode,
        &PlCadPrepStepShapeFixParameters::fixDegeneratedMode,
        &PlCadPrepStepShapeFixParameters::fixLackingMode,
        &PlCadPrepStepShapeFixParameters::fixSelfIntersectionMode,
        &PlCadPrepStepShapeFixParameters::removeLoopMode,
        &PlCadPrepStepShapeFixParameters::fixReversed2dMode,
        &PlCadPrepStepShapeFixParameters::fixRemovePCurveMode,
        &PlCadPrepStepShapeFixParameters::fixRemoveCurve3dMode,
        &PlCadPrepStepShapeFixParameters::fixAddPCurveMode,
        &PlCadPrepStepShapeFixParameters::fixAddCurve3dMode,
        &PlCadPrepStepShapeFixParameters::fixSeamMode,
        &PlCadPrepStepShapeFixParameters::fixShiftedMode,
        &PlCadPrepStepShapeFixParameters::fixEdgeSameParameterMode,
        &PlCadPrepStepShapeFixParameters::fixNotchedEdgesMode,
        &PlCadPrepStepShapeFixParameters::fixTailMode,
        &PlCadPrepStepShapeFixParameters::maxTailAngle,
        &PlCadPrepStepShapeFixParameters::maxTailWidth,
        &PlCadPrepStepShapeFixParameters::fixSelfIntersectingEdgeMode,
        &PlCadPrepStepShapeFixParameters::fixIntersectingEdgesMode,
        &PlCadPrepStepShapeFixParameters::fixNonAdjacentIntersectingEdgesMode,
        &PlCadPrepStepShapeFixParameters::fixVertexPositionMode,
        &PlCadPrepStepShapeFixParameters::fixVertexToleranceMode,
};

// The STEP reader's read parameters that the import relies on, with the
// reader's defaults.
struct PlCadPrepStepReadParameters {
  int readPrecisionMode = 0;  // 0: the file's own uncertainty, 1: readPrecisionVal
  double readPrecisionVal = 1.e-4;
  int readMaxPrecisionMode = 0;  // 0: preferred, 1: forced
  double readMaxPrecisionVal = 1.0;
};

// The mesher parameters of newer kernels, with the switch 7.6 lacks.
struct PlCadPrepMeshParameters {
  int meshAlgo = -1;  // the kernel's default algorithm
  double angle = 0.5;
  double deflection = 0.001;
  double angleInterior = -1.0;
  double deflectionInterior = -1.0;
  double minSize = -1.0;
  bool inParallel = false;
  bool relative = false;
  bool internalVerticesMode = true;
  bool controlSurfaceDeflection = true;
  bool enableControlSurfaceDeflectionAllSurfaces = false;  // no effect on 7.6
  bool cleanModel = true;
  bool adjustMinSize = false;
  bool forceFaceDeflection = false;
  bool allowQualityDecrease = false;
};

// The 7.6 mesher parameters for `parameters` (every field but the one 7.6 lacks).
IMeshTools_Parameters PlCadPrepOcctMeshParameters(
    const PlCadPrepMeshParameters& parameters);

// Holds the process-wide reader settings of one import and restores the
// previous ones when destroyed. Apply only after a STEP reader has been
// constructed (that defines the static parameters); a static that is still
// missing is a programming error and throws std::logic_error. Open CASCADE
// failures propagate to the caller's boundary.
class PlCadPrepStepKernelSettings {
 public:
  PlCadPrepStepKernelSettings();
  PlCadPrepStepKernelSettings(const PlCadPrepStepKernelSettings&) = delete;
  PlCadPrepStepKernelSettings& operator=(const PlCadPrepStepKernelSettings&) = delete;
  ~PlCadPrepStepKernelSettings();

  void ApplyReadParameters(const PlCadPrepStepReadParameters& parameters);
  void ApplyShapeFixParameters(const PlCadPrepStepShapeFixParameters& parameters);

 private:
  struct Saved;
  std::unique_ptr<Saved> saved;
};
