#pragma once
// STEP test sources made by the tests themselves: shapes built with the
// kernel's primitives, written with its STEP writer in a chosen length unit,
// plus a request and options preset for importing them.
#include <gtest/gtest.h>

#include <APIHeaderSection_MakeHeader.hxx>
#include <BRepPrimAPI_MakeBox.hxx>
#include <IFSelect_ReturnStatus.hxx>
#include <Interface_Static.hxx>
#include <STEPControl_StepModelType.hxx>
#include <STEPControl_Writer.hxx>
#include <TCollection_AsciiString.hxx>
#include <TCollection_HAsciiString.hxx>
#include <TopExp_Explorer.hxx>
#include <TopLoc_Location.hxx>
#include <TopoDS_Builder.hxx>
#include <TopoDS_Compound.hxx>
#include <TopoDS_Shape.hxx>
#include <filesystem>
#include <gp_Pnt.hxx>
#include <gp_Trsf.hxx>
#include <gp_Vec.hxx>
#include <initializer_list>
#include <string>

#include "request/prepare_request.h"
#include "step/step_import_settings.h"

// An axis-aligned box with its minimum corner at `corner`.
inline TopoDS_Shape MakeTestBox(double dx, double dy, double dz, const gp_Pnt& corner = gp_Pnt()) {
  return BRepPrimAPI_MakeBox(corner, dx, dy, dz).Shape();
}

// `shape` moved by (x, y, z), sharing its TShape with the original.
inline TopoDS_Shape MovedTestShape(const TopoDS_Shape& shape, double x, double y, double z) {
  gp_Trsf move;
  move.SetTranslation(gp_Vec(x, y, z));
  return shape.Moved(TopLoc_Location(move));
}

inline TopoDS_Compound MakeTestCompound(std::initializer_list<TopoDS_Shape> shapes) {
  TopoDS_Builder builder;
  TopoDS_Compound compound;
  builder.MakeCompound(compound);
  for (const TopoDS_Shape& shape : shapes) builder.Add(compound, shape);
  return compound;
}

// The outer shell of a box, as a shape outside any solid.
inline TopoDS_Shape MakeTestFreeShell(double dx, double dy, double dz, const gp_Pnt& corner) {
  return TopExp_Explorer(MakeTestBox(dx, dy, dz, corner), TopAbs_SHELL).Current();
}

// Writes `shape` as STEP in the given length unit ("MM", "INCH", ...), restoring
// the writer's unit setting afterwards. The header's time stamp is fixed so that
// the same shape always gives the same bytes, and with them the same source digest.
inline void WriteTestStep(const TopoDS_Shape& shape, const std::filesystem::path& path,
                          const char* unit = "MM") {
  STEPControl_Writer writer;
  const TCollection_AsciiString previous = Interface_Static::CVal("write.step.unit");
  ASSERT_TRUE(Interface_Static::SetCVal("write.step.unit", unit));
  const IFSelect_ReturnStatus status = writer.Transfer(shape, STEPControl_AsIs);
  ASSERT_TRUE(Interface_Static::SetCVal("write.step.unit", previous.ToCString()));
  ASSERT_EQ(status, IFSelect_RetDone);
  APIHeaderSection_MakeHeader header(writer.Model());
  header.SetTimeStamp(new TCollection_HAsciiString("2026-01-01T00:00:00"));
  ASSERT_EQ(writer.Write(path.c_str()), IFSelect_RetDone);
}

// STEP import settings for `path` with the default policy.
inline PlCadPrepStepImportSettings TestStepSettings(const std::filesystem::path& path) {
  PlCadPrepStepImportSettings settings;
  settings.sourcePath = path;
  return settings;
}

// A STEP prepare request for `path` with generous limits.
inline PlCadPrepRequest TestStepRequest(const std::filesystem::path& path) {
  PlCadPrepRequest request;
  request.inputPath = path;
  request.sourceFormat = PlCadPrepSourceFormat::step;
  request.sourceUnits = "source";
  return request;
}
