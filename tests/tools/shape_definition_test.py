#!/usr/bin/env python3
"""tools/shape_definition: every kind from flags and from a loose file gives the canonical bytes
PeltoCadPrep prepares; --check names the first departing byte; invalid dimensions are refused.
Run: PL_EXECUTABLE=build/PeltoCadPrep python3 tests/tools/shape_definition_test.py -v"""
import os
import shlex
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

TOOL = Path(__file__).resolve().parents[2] / "tools" / "shape_definition"
EXECUTABLE = os.environ.get("PL_EXECUTABLE")


def document(shape):
    return ('{"generatorProfile":"pelto.shape.generator.v1","schema":"pelto.shape.definition.v1",'
            f'"shape":{shape},"units":"um"}}').encode()


def points(*xz):
    return ",".join(f'{{"xUm":{x},"zUm":{z}}}' for x, z in xz)


FOOTPRINT = [(0, 0), (0, 20000), (10000, 30000), (40000, 0)]
SQUARE = points((0, 0), (0, 10000), (10000, 10000), (10000, 0))
INNER = points((2000, 2000), (2000, 8000), (8000, 8000), (8000, 2000))

# kind: flags, a loose file (any order, spacing, units, polygon sense and start), canonical shape
KINDS = {
    "box": ("--height 10mm --x-span 2cm --z-span 30000um",
            '{ "kind": "box", "zSpanUm": "3 cm", "xSpanUm": 20000,\n "heightUm": "10mm" }\n',
            '{"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000}'),
    "cylinder": ("--mount laidDown --diameter 10mm --axis-length 0.04m",
                 '{"units": "um", "shape": {"mount": "laidDown", "kind": "cylinder",'
                 ' "diameterUm": 10000, "axisLengthUm": "40mm"}}',
                 '{"axisLengthUm":40000,"diameterUm":10000,"kind":"cylinder","mount":"laidDown"}'),
    "lPrism": ("--height 10mm --notch-quadrant positiveXPositiveZ --notch-x-span 10mm "
               "--notch-z-span 8mm --outside-x-span 40mm --outside-z-span 30mm",
               '{"kind":"lPrism","outsideZSpanUm":30000,"outsideXSpanUm":40000,"notchZSpanUm":8000,'
               '"notchXSpanUm":10000,"notchQuadrant":"positiveXPositiveZ","heightUm":10000}',
               '{"heightUm":10000,"kind":"lPrism","notchQuadrant":"positiveXPositiveZ",'
               '"notchXSpanUm":10000,"notchZSpanUm":8000,"outsideXSpanUm":40000,'
               '"outsideZSpanUm":30000}'),
    "triangularPrism": ("--base-z-span 30mm --height 5mm --point-x-depth 20mm "
                        "--point-z-offset -15mm",
                        '{"kind":"triangularPrism","pointZOffsetUm":-15000,"pointXDepthUm":20000,'
                        '"heightUm":5000,"baseZSpanUm":"3cm"}',
                        '{"baseZSpanUm":30000,"heightUm":5000,"kind":"triangularPrism",'
                        '"pointXDepthUm":20000,"pointZOffsetUm":-15000}'),
    "wedge": ("--high-height 1in --low-height 10mm --x-span 40mm --z-span 20mm",
              '{"zSpanUm":20000,"xSpanUm":40000,"lowHeightUm":10000,"kind":"wedge",'
              '"highHeightUm":"1 in"}',
              '{"highHeightUm":25400,"kind":"wedge","lowHeightUm":10000,"xSpanUm":40000,'
              '"zSpanUm":20000}'),
    "frustum": ("--axis-length 40mm --large-diameter 20mm --small-diameter 10mm --mount upright",
                '{"smallDiameterUm":10000,"mount":"upright","largeDiameterUm":20000,'
                '"kind":"frustum","axisLengthUm":40000}',
                '{"axisLengthUm":40000,"kind":"frustum","largeDiameterUm":20000,"mount":"upright",'
                '"smallDiameterUm":10000}'),
    "polygonPrism": ("--height 7mm --vertex 10mm,30mm --vertex 0,20mm --vertex 0,0 --vertex 40mm,0",
                     '{"kind":"polygonPrism","heightUm":7000,"vertices":[[40000,0],'
                     '{"zUm":"3cm","xUm":"1cm"},[0,20000],[0,0]]}',
                     '{"heightUm":7000,"kind":"polygonPrism",'
                     f'"vertices":[{points(*FOOTPRINT)}]}}'),
    "apexShape": ("--level '0: 10mm,10mm 10mm,0 0,0 0,10mm' "
                  "--level '5mm: 8mm,8mm 8mm,2mm 2mm,2mm 2mm,8mm'",
                  '{"kind":"apexShape","levels":[{"yUm":"5mm","vertices":[[2000,8000],[8000,8000],'
                  '[8000,2000],[2000,2000]]},{"yUm":0,"vertices":[[0,10000],[10000,10000],'
                  '[10000,0],[0,0]]}]}',
                  f'{{"kind":"apexShape","levels":[{{"vertices":[{SQUARE}],"yUm":0}},'
                  f'{{"vertices":[{INNER}],"yUm":5000}}]}}'),
    "sphere": ("--diameter 100mm", '{"kind": "sphere", "diameterUm": 100000}',
               '{"diameterUm":100000,"kind":"sphere"}'),
}

BOX = document(KINDS["box"][2])

# what is wrong, the command line or a file's text, and the reason the refusal must give
INVALID = [
    ("zero height", "box --height 0mm --x-span 1mm --z-span 1mm",
     "box.heightUm must be between 1 and 100000000 micrometres"),
    ("over 100 m", "sphere --diameter 100.000001m",
     "sphere.diameterUm must be between 1 and 100000000 micrometres"),
    ("part of a micrometre", "sphere --diameter 0.0005mm", "not a whole number of micrometres"),
    ("inch fraction", "sphere --diameter 0.001in", "not a whole number of micrometres"),
    ("no unit", "sphere --diameter 12", "needs one of the units"),
    ("equal diameters", "frustum --axis-length 4cm --large-diameter 2cm --small-diameter 20mm "
     "--mount upright", "frustum large diameter must exceed small diameter"),
    ("offset past half the base", "triangularPrism --base-z-span 5um --height 1mm "
     "--point-x-depth 1mm --point-z-offset -3um",
     "triangle point offset must stay within the broad base span"),
    ("flat wedge", "wedge --high-height 1cm --low-height 10mm --x-span 1cm --z-span 1cm",
     "wedge high height must exceed low height"),
    ("bow tie", "polygonPrism --height 1mm --vertex 0,0 --vertex 1mm,1mm --vertex 1mm,0 "
     "--vertex 0,1mm", "polygon has crossing, touching, or overlapping non-neighbour edges"),
    ("unseated", "polygonPrism --height 1mm --vertex 1mm,1mm --vertex 2mm,1mm --vertex 1mm,2mm",
     "polygon shape is not seated"),
    ("twisted ties", "apexShape --level '0: 0,0 0,10mm 10mm,10mm 10mm,0' "
     "--level '5mm: 0,10mm 10mm,10mm 10mm,0 0,0'", "ties 1 and 2 cross between levels 0 and 1"),
    ("fraction", '{"kind":"box","heightUm":1.0,"xSpanUm":1,"zSpanUm":1}',
     "box.heightUm must be an integer micrometre value"),
    ("units mm", '{"units":"mm","shape":{"kind":"sphere","diameterUm":1}}',
     "shape definition schema, generator profile, or units is invalid"),
    ("comment", '{"comment":"x","shape":{"kind":"sphere","diameterUm":1}}',
     "unknown shape definition member: comment"),
    ("twice", '{"kind":"sphere","diameterUm":1,"diameterUm":2}',
     "duplicate shape definition member: diameterUm"),
]


def run(*args, stdin=None):
    return subprocess.run([sys.executable, str(TOOL), *args], input=stdin, capture_output=True)


class ShapeDefinitionTool(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, data):
        path = Path(self.dir.name) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
        return str(path)

    def test_flags_and_loose_files_give_the_canonical_bytes(self):
        for kind, (flags, loose, shape) in KINDS.items():
            with self.subTest(kind):
                from_flags = run(kind, *shlex.split(flags))
                self.assertEqual(from_flags.returncode, 0, from_flags.stderr.decode())
                self.assertEqual(from_flags.stdout, document(shape))
                from_file = run("--from", self.write(kind + ".json", loose))
                self.assertEqual(from_file.returncode, 0, from_file.stderr.decode())
                self.assertEqual(from_file.stdout, document(shape))
                self.assertEqual(run("--check", self.write(kind, document(shape))).returncode, 0)

    @unittest.skipUnless(EXECUTABLE, "set PL_EXECUTABLE to the built PeltoCadPrep to prepare "
                                     "the definitions the tool writes")
    def test_the_program_prepares_what_the_tool_writes(self):
        for kind, (flags, _, _) in KINDS.items():
            with self.subTest(kind):
                folder = Path(self.dir.name) / "prepare" / kind
                source = folder / "shape-definition.json"
                folder.mkdir(parents=True)
                self.assertEqual(run(kind, *shlex.split(flags), "-o", str(source)).returncode, 0)
                request = self.write(f"prepare/{kind}/request.json", (
                    '{"schema":"pelto.geometry.prepare.request.v1",'
                    '"geometrySchema":"pelto.geometry.asset.v3",'
                    f'"requestId":"{kind}","inputPath":"{source}",'
                    f'"outputPath":"{folder / (kind + ".peltogeom")}",'
                    '"sourceFormat":"pelto.shape.definition.v1","sourceUnits":"source",'
                    '"componentRole":"mold_shell",'
                    '"sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],'
                    '"allowedOrientationsDeg":[0,30,60,90,120,150,180,210,240,270,300,330]}'))
                prepared = subprocess.run([EXECUTABLE, "prepare", request], capture_output=True,
                                          timeout=60)
                last = prepared.stdout.decode().strip().splitlines()[-1:]
                self.assertEqual(prepared.returncode, 0, last)

    def test_check_names_the_first_departing_byte(self):
        reordered = BOX.replace(b'"xSpanUm":20000,"zSpanUm":30000',
                                b'"zSpanUm":30000,"xSpanUm":20000')
        polygon = document(KINDS["polygonPrism"][2])
        rotated = polygon.replace(points(*FOOTPRINT).encode(),
                                  points(*FOOTPRINT[1:], FOOTPRINT[0]).encode())
        cases = [
            ("trailing line feed", BOX + b"\n", len(BOX),
             "is 0x0a (a line feed after the closing brace); the canonical form ends at byte "
             f"{len(BOX) - 1}"),
            ("space after a colon", BOX.replace(b":", b": ", 1), BOX.index(b":") + 1,
             "is 0x20 (a space after the colon)"),
            ("members reordered", reordered, BOX.index(b'"xSpanUm"') + 1,
             "is 0x7a ('z' after the quotation mark)"),
            ("polygon started elsewhere", rotated, polygon.index(b'"zUm":0}') + 6,
             "is 0x32 ('2' after the colon)"),
        ]
        for what, data, offset, detail in cases:
            with self.subTest(what):
                checked = run("--check", self.write("check.json", data))
                self.assertEqual(checked.returncode, 1)
                self.assertIn(f"byte {offset} {detail}", checked.stdout.decode())

    def test_invalid_definitions_are_refused_with_their_reason(self):
        for what, given, reason in INVALID:
            with self.subTest(what):
                refused = run(*(["--from", self.write("invalid.json", given)]
                                if given.startswith("{") else shlex.split(given)))
                self.assertEqual((refused.returncode, refused.stdout), (1, b""))
                self.assertIn(reason, refused.stderr.decode())
        checked = run("--check", self.write("zero.json", BOX.replace(b"10000", b"0", 1)))
        self.assertEqual(checked.returncode, 1)
        self.assertIn("box.heightUm must be between 1 and", checked.stderr.decode())

    def test_usage_errors_exit_2(self):
        for given in ("", "box --height 1mm --x-span 1mm", "cube --height 1mm",
                      "sphere --diameter 1mm --height 1mm", "--check a.json --from b.json"):
            with self.subTest(given):
                self.assertEqual(run(*shlex.split(given)).returncode, 2)


if __name__ == "__main__":
    unittest.main()
