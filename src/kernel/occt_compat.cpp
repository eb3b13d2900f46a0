#include "kernel/occt_compat.h"

#include <Interface_Static.hxx>
#include <Message_ProgressRange.hxx>
#include <ShapeExtend_MsgRegistrator.hxx>
#include <ShapeFix_Face.hxx>
#include <ShapeFix_Shape.hxx>
#include <ShapeFix_Shell.hxx>
#include <ShapeFix_Solid.hxx>
#include <ShapeFix_Wire.hxx>
#include <ShapeProcess_ShapeContext.hxx>
#include <Standard_Handle.hxx>
#include <TopAbs_ShapeEnum.hxx>
#include <TopoDS_Shape.hxx>
#include <XSAlgo.hxx>
#include <XSAlgo_AlgoContainer.hxx>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

constexpr double kDegreesToRadians = 3.141592653589793 / 180.0;

int ModeValue(PlCadPrepStepFixMode mode) { return static_cast<int>(mode); }

// A boolean switch of the fixer is off only for "never"; "decide" reads as on,
// exactly as a numeric -1 does in the newer kernels' parameter maps.
Standard_Boolean ModeSwitch(PlCadPrepStepFixMode mode) {
  return mode != PlCadPrepStepFixMode::notFix ? Standard_True : Standard_False;
}

using FixParameters = PlCadPrepStepShapeFixParameters;

// One mode flag of a fixer tool and the parameter it is set from: a numeric flag
// takes the mode's value, an on/off flag its ModeSwitch.
template <typename Flag, typename Tool>
struct FixerFlag {
  Flag& (Tool::*flag)();
  PlCadPrepStepFixMode FixParameters::*parameter;
};

void AssignMode(Standard_Integer& flag, PlCadPrepStepFixMode mode) { flag = ModeValue(mode); }
void AssignMode(Standard_Boolean& flag, PlCadPrepStepFixMode mode) { flag = ModeSwitch(mode); }

template <typename Flag, typename Tool, std::size_t N>
void SetFlags(Tool& tool, const FixParameters& p, const FixerFlag<Flag, Tool> (&flags)[N]) {
  for (const FixerFlag<Flag, Tool>& entry : flags) {
    AssignMode((tool.*entry.flag)(), p.*entry.parameter);
  }
}

constexpr FixerFlag<Standard_Integer, ShapeFix_Shape> kShapeModes[] = {
    {&ShapeFix_Shape::FixFreeShellMode, &FixParameters::fixFreeShellMode},
    {&ShapeFix_Shape::FixFreeFaceMode, &FixParameters::fixFreeFaceMode},
    {&ShapeFix_Shape::FixFreeWireMode, &FixParameters::fixFreeWireMode},
    {&ShapeFix_Shape::FixSameParameterMode, &FixParameters::fixSameParameterMode},
    {&ShapeFix_Shape::FixSolidMode, &FixParameters::fixSolidMode},
    {&ShapeFix_Shape::FixVertexPositionMode, &FixParameters::fixVertexPositionMode},
    {&ShapeFix_Shape::FixVertexTolMode, &FixParameters::fixVertexToleranceMode},
};

constexpr FixerFlag<Standard_Integer, ShapeFix_Solid> kSolidModes[] = {
    {&ShapeFix_Solid::FixShellOrientationMode, &FixParameters::fixShellOrientationMode},
    {&ShapeFix_Solid::FixShellMode, &FixParameters::fixShellMode},
};

constexpr FixerFlag<Standard_Boolean, ShapeFix_Solid> kSolidSwitches[] = {
    {&ShapeFix_Solid::CreateOpenSolidMode, &FixParameters::createOpenSolidMode},
};

constexpr FixerFlag<Standard_Integer, ShapeFix_Shell> kShellModes[] = {
    {&ShapeFix_Shell::FixOrientationMode, &FixParameters::fixFaceOrientationMode},
    {&ShapeFix_Shell::FixFaceMode, &FixParameters::fixFaceMode},
};

constexpr FixerFlag<Standard_Integer, ShapeFix_Face> kFaceModes[] = {
    {&ShapeFix_Face::FixWireMode, &FixParameters::fixWireMode},
    {&ShapeFix_Face::FixOrientationMode, &FixParameters::fixOrientationMode},
    {&ShapeFix_Face::FixAddNaturalBoundMode, &FixParameters::fixAddNaturalBoundMode},
    {&ShapeFix_Face::FixMissingSeamMode, &FixParameters::fixMissingSeamMode},
    {&ShapeFix_Face::FixSmallAreaWireMode, &FixParameters::fixSmallAreaWireMode},
    {&ShapeFix_Face::RemoveSmallAreaFaceMode, &FixParameters::removeSmallAreaFaceMode},
    {&ShapeFix_Face::FixIntersectingWiresMode, &FixParameters::fixIntersectingWiresMode},
    {&ShapeFix_Face::FixLoopWiresMode, &FixParameters::fixLoopWiresMode},
    {&ShapeFix_Face::FixSplitFaceMode, &FixParameters::fixSplitFaceMode},
    {&ShapeFix_Face::AutoCorrectPrecisionMode, &FixParameters::autoCorrectPrecisionMode},
};

constexpr FixerFlag<Standard_Integer, ShapeFix_Wire> kWireModes[] = {
    {&ShapeFix_Wire::FixReorderMode, &FixParameters::fixReorderMode},
    {&ShapeFix_Wire::FixSmallMode, &FixParameters::fixSmallMode},
    {&ShapeFix_Wire::FixConnectedMode, &FixParameters::fixConnectedMode},
    {&ShapeFix_Wire::FixEdgeCurvesMode, &FixParameters::fixEdgeCurvesMode},
    {&ShapeFix_Wire::FixDegeneratedMode, &FixParameters::fixDegeneratedMode},
    {&ShapeFix_Wire::FixLackingMode, &FixParameters::fixLackingMode},
    {&ShapeFix_Wire::FixSelfIntersectionMode, &FixParameters::fixSelfIntersectionMode},
    {&ShapeFix_Wire::ModifyRemoveLoopMode, &FixParameters::removeLoopMode},
    {&ShapeFix_Wire::FixReversed2dMode, &FixParameters::fixReversed2dMode},
    {&ShapeFix_Wire::FixRemovePCurveMode, &FixParameters::fixRemovePCurveMode},
    {&ShapeFix_Wire::FixRemoveCurve3dMode, &FixParameters::fixRemoveCurve3dMode},
    {&ShapeFix_Wire::FixAddPCurveMode, &FixParameters::fixAddPCurveMode},
    {&ShapeFix_Wire::FixAddCurve3dMode, &FixParameters::fixAddCurve3dMode},
    {&ShapeFix_Wire::FixSeamMode, &FixParameters::fixSeamMode},
    {&ShapeFix_Wire::FixShiftedMode, &FixParameters::fixShiftedMode},
    {&ShapeFix_Wire::FixSameParameterMode, &FixParameters::fixEdgeSameParameterMode},
    {&ShapeFix_Wire::FixNotchedEdgesMode, &FixParameters::fixNotchedEdgesMode},
    {&ShapeFix_Wire::FixTailMode, &FixParameters::fixTailMode},
    {&ShapeFix_Wire::FixSelfIntersectingEdgeMode, &FixParameters::fixSelfIntersectingEdgeMode},
    {&ShapeFix_Wire::FixIntersectingEdgesMode, &FixParameters::fixIntersectingEdgesMode},
    {&ShapeFix_Wire::FixNonAdjacentIntersectingEdgesMode,
     &FixParameters::fixNonAdjacentIntersectingEdgesMode},
};

constexpr FixerFlag<Standard_Boolean, ShapeFix_Wire> kWireSwitches[] = {
    {&ShapeFix_Wire::ModifyTopologyMode, &FixParameters::modifyTopologyMode},
    {&ShapeFix_Wire::ModifyGeometryMode, &FixParameters::modifyGeometryMode},
    {&ShapeFix_Wire::ClosedWireMode, &FixParameters::closedWireMode},
    {&ShapeFix_Wire::PreferencePCurveMode, &FixParameters::preferencePCurveMode},
};

void ConfigureFixer(ShapeFix_Shape& fixer, const FixParameters& p, double precision,
                    double maxTolerance) {
  fixer.SetPrecision(precision);
  fixer.SetMinTolerance(p.minTolerance3d);
  fixer.SetMaxTolerance(maxTolerance);
  SetFlags(fixer, p, kShapeModes);

  const Handle(ShapeFix_Solid) solid = fixer.FixSolidTool();
  SetFlags(*solid, p, kSolidModes);
  SetFlags(*solid, p, kSolidSwitches);

  const Handle(ShapeFix_Shell) shell = fixer.FixShellTool();
  SetFlags(*shell, p, kShellModes);
  shell->SetNonManifoldFlag(p.nonManifold ? Standard_True : Standard_False);

  const Handle(ShapeFix_Face) face = fixer.FixFaceTool();
  SetFlags(*face, p, kFaceModes);

  const Handle(ShapeFix_Wire) wire = fixer.FixWireTool();
  SetFlags(*wire, p, kWireSwitches);
  SetFlags(*wire, p, kWireModes);
  wire->SetMaxTailAngle(static_cast<double>(ModeValue(p.maxTailAngle)) * kDegreesToRadians);
  wire->SetMaxTailWidth(static_cast<double>(ModeValue(p.maxTailWidth)));
}

// Heals read roots with the requested modes instead of 7.6's resource-file
// sequence; writing keeps 7.6's own behaviour.
class ParameterisedAlgoContainer final : public XSAlgo_AlgoContainer {
 public:
  explicit ParameterisedAlgoContainer(const PlCadPrepStepShapeFixParameters& fixParameters)
      : parameters(fixParameters) {}

  TopoDS_Shape ProcessShape(const TopoDS_Shape& shape, const Standard_Real precision,
                            const Standard_Real maxTolerance, const Standard_CString resourceName,
                            const Standard_CString sequence, Handle(Standard_Transient) & info,
                            const Message_ProgressRange& range,
                            const Standard_Boolean nonManifold) const override {
    if (sequence == nullptr || std::strncmp(sequence, "read.", 5) != 0) {
      return XSAlgo_AlgoContainer::ProcessShape(shape, precision, maxTolerance, resourceName,
                                                sequence, info, range, nonManifold);
    }
    if (shape.IsNull()) return shape;

    // The context only records what the fixer replaced, so that the transfer
    // map follows the healed shapes; its resource manager is never consulted.
    Handle(ShapeProcess_ShapeContext) context = Handle(ShapeProcess_ShapeContext)::DownCast(info);
    if (context.IsNull()) {
      Standard_CString name = Interface_Static::CVal(resourceName);
      if (name == nullptr) name = resourceName;
      context = new ShapeProcess_ShapeContext(shape, name);
    }
    context->SetDetalisation(static_cast<TopAbs_ShapeEnum>(parameters.detalizationLevel));
    context->SetNonManifold(parameters.nonManifold ? Standard_True : Standard_False);
    info = context;

    const Handle(ShapeExtend_MsgRegistrator) messages = new ShapeExtend_MsgRegistrator;
    const Handle(ShapeFix_Shape) fixer = new ShapeFix_Shape;
    fixer->SetMsgRegistrator(messages);
    ConfigureFixer(*fixer, parameters, precision, maxTolerance);
    fixer->Init(shape);
    fixer->Perform(range);
    const TopoDS_Shape healed = fixer->Shape();
    if (!healed.IsNull() && healed != shape) {
      context->RecordModification(fixer->Context(), messages);
      context->SetResult(healed);
    }
    return context->Result();
  }

 private:
  PlCadPrepStepShapeFixParameters parameters;
};

void SetStaticInteger(const char* name, int value) {
  if (!Interface_Static::SetIVal(name, value)) {
    throw std::logic_error(std::string("STEP reader static parameter is not defined: ") + name);
  }
}

void SetStaticReal(const char* name, double value) {
  if (!Interface_Static::SetRVal(name, value)) {
    throw std::logic_error(std::string("STEP reader static parameter is not defined: ") + name);
  }
}

}  // namespace

IMeshTools_Parameters PlCadPrepOcctMeshParameters(const PlCadPrepMeshParameters& p) {
  IMeshTools_Parameters out;
  out.MeshAlgo = static_cast<IMeshTools_MeshAlgoType>(p.meshAlgo);
  out.Angle = p.angle;
  out.Deflection = p.deflection;
  out.AngleInterior = p.angleInterior;
  out.DeflectionInterior = p.deflectionInterior;
  out.MinSize = p.minSize;
  out.InParallel = p.inParallel ? Standard_True : Standard_False;
  out.Relative = p.relative ? Standard_True : Standard_False;
  out.InternalVerticesMode = p.internalVerticesMode ? Standard_True : Standard_False;
  out.ControlSurfaceDeflection = p.controlSurfaceDeflection ? Standard_True : Standard_False;
  out.CleanModel = p.cleanModel ? Standard_True : Standard_False;
  out.AdjustMinSize = p.adjustMinSize ? Standard_True : Standard_False;
  out.ForceFaceDeflection = p.forceFaceDeflection ? Standard_True : Standard_False;
  out.AllowQualityDecrease = p.allowQualityDecrease ? Standard_True : Standard_False;
  return out;
}

struct PlCadPrepStepKernelSettings::Saved {
  std::optional<PlCadPrepStepReadParameters> read;
  bool containerInstalled = false;
  Handle(XSAlgo_AlgoContainer) previousContainer;
};

PlCadPrepStepKernelSettings::PlCadPrepStepKernelSettings() : saved(std::make_unique<Saved>()) {}

PlCadPrepStepKernelSettings::~PlCadPrepStepKernelSettings() {
  if (saved->containerInstalled) XSAlgo::SetAlgoContainer(saved->previousContainer);
  if (saved->read) {
    // Each name was set successfully before, so it exists; the results are
    // ignored because a destructor has nobody to report to.
    Interface_Static::SetIVal("read.precision.mode", saved->read->readPrecisionMode);
    Interface_Static::SetRVal("read.precision.val", saved->read->readPrecisionVal);
    Interface_Static::SetIVal("read.maxprecision.mode", saved->read->readMaxPrecisionMode);
    Interface_Static::SetRVal("read.maxprecision.val", saved->read->readMaxPrecisionVal);
  }
}

void PlCadPrepStepKernelSettings::ApplyReadParameters(const PlCadPrepStepReadParameters& p) {
  if (!saved->read) {
    PlCadPrepStepReadParameters previous;
    previous.readPrecisionMode = Interface_Static::IVal("read.precision.mode");
    previous.readPrecisionVal = Interface_Static::RVal("read.precision.val");
    previous.readMaxPrecisionMode = Interface_Static::IVal("read.maxprecision.mode");
    previous.readMaxPrecisionVal = Interface_Static::RVal("read.maxprecision.val");
    // Remember before changing anything, so a half-applied set is still undone.
    saved->read = previous;
  }
  SetStaticInteger("read.precision.mode", p.readPrecisionMode);
  SetStaticReal("read.precision.val", p.readPrecisionVal);
  SetStaticInteger("read.maxprecision.mode", p.readMaxPrecisionMode);
  SetStaticReal("read.maxprecision.val", p.readMaxPrecisionVal);
}

void PlCadPrepStepKernelSettings::ApplyShapeFixParameters(
    const PlCadPrepStepShapeFixParameters& parameters) {
  const Handle(XSAlgo_AlgoContainer) container = new ParameterisedAlgoContainer(parameters);
  if (!saved->containerInstalled) {
    saved->previousContainer = XSAlgo::AlgoContainer();
    saved->containerInstalled = true;
  }
  XSAlgo::SetAlgoContainer(container);
}
