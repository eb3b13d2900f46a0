// Writes the STEP assembly the review workstation's browser tests work on:
// a flat Z-up base plate, a cylindrical boss standing on it, a loose block
// beside it and one free shell (a closed box surface outside any solid).
// The default mount stands the plate on its edge, so the tests have a reason
// to pick another mount.
#include <BRepPrimAPI_MakeBox.hxx>
#include <BRepPrimAPI_MakeCylinder.hxx>
#include <IFSelect_ReturnStatus.hxx>
#include <STEPControl_Writer.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Builder.hxx>
#include <TopoDS_Compound.hxx>
#include <cstdio>
#include <gp_Ax2.hxx>
#include <gp_Dir.hxx>
#include <gp_Pnt.hxx>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_review_assembly <output.step>\n");
    return 2;
  }
  TopoDS_Builder builder;
  TopoDS_Compound assembly;
  builder.MakeCompound(assembly);
  builder.Add(assembly, BRepPrimAPI_MakeBox(gp_Pnt(0, 0, 0), 160, 110, 16).Shape());
  builder.Add(assembly,
              BRepPrimAPI_MakeCylinder(gp_Ax2(gp_Pnt(60, 55, 16), gp_Dir(0, 0, 1)), 22, 40).Shape());
  builder.Add(assembly, BRepPrimAPI_MakeBox(gp_Pnt(190, 0, 0), 30, 30, 30).Shape());
  const TopoDS_Shape cover = BRepPrimAPI_MakeBox(gp_Pnt(-60, 20, 0), 35, 35, 12).Shape();
  TopExp_Explorer shells(cover, TopAbs_SHELL);
  builder.Add(assembly, shells.Current());

  STEPControl_Writer writer;
  if (writer.Transfer(assembly, STEPControl_AsIs) != IFSelect_RetDone ||
      writer.Write(argv[1]) != IFSelect_RetDone) {
    std::fprintf(stderr, "write_review_assembly: could not write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
