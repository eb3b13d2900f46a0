#pragma once
// Shared by the STEP and kernel tests: rows of table-driven refusals (a step that must fail,
// with the code, stage and message of its failure) and a meshed test box.
#include <gtest/gtest.h>

#include <BRepMesh_IncrementalMesh.hxx>
#include <functional>
#include <vector>

#include "support/mesh_reader_fixture.h"
#include "support/step_side_request.h"

struct StepErrorCase {
  std::function<void()> run;
  const char* code;
  const char* stage;
  const char* message;
};

inline void ExpectStepErrors(const std::vector<StepErrorCase>& cases) {
  for (const StepErrorCase& c : cases) {
    SCOPED_TRACE(c.message);
    ExpectPlCadPrepError(c.run, c.code, c.stage, c.message);
  }
}

inline TopoDS_Shape MeshedTestBox(double dx, double dy, double dz) {
  TopoDS_Shape box = MakeTestBox(dx, dy, dz);
  BRepMesh_IncrementalMesh mesher(box, 1.0, false, 0.5, false);
  return box;
}
