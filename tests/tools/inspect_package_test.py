"""tools/inspect_package on packages that PeltoCadPrep prepares and on damaged copies.

Needs PL_EXECUTABLE, the path of a built PeltoCadPrep, to prepare the packages.
"""

import hashlib
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "inspect_package"
EXECUTABLE = os.environ.get("PL_EXECUTABLE")
BOX_DEFINITION = (b'{"generatorProfile":"pelto.shape.generator.v1","schema":"pelto.shape.definition.v1",'
                  b'"shape":{"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000},'
                  b'"units":"um"}')
CUBE_CORNERS = [(x, y, z) for x in (0, 10) for y in (0, 10) for z in (0, 10)]
# Twelve outward-facing triangles of the 10 mm cube, as corner indices (x*4 + y*2 + z).
CUBE_TRIANGLES = [(0, 1, 3), (0, 3, 2), (4, 6, 7), (4, 7, 5), (0, 4, 5), (0, 5, 1),
                  (2, 3, 7), (2, 7, 6), (0, 2, 6), (0, 6, 4), (1, 5, 7), (1, 7, 3)]


def inspect(path, *extra):
    return subprocess.run([sys.executable, str(TOOL), str(path), *extra],
                          capture_output=True, text=True, check=False)


def write_zip(members):
    """A package image of (name, bytes[, method]) members, laid out as the writer lays them."""
    local, central = bytearray(), bytearray()
    for name, data, *method in members:
        method = method[0] if method else 0
        stored = deflated(data) if method == 8 else data
        raw = name.encode()
        fields = (0, method, 0, 0, zlib.crc32(data), len(stored), len(data), len(raw))
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, *fields,
                               0, 0, 0, 0, 0, len(local)) + raw
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, *fields, 0) + raw + stored
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members),
                      len(central), len(local), 0)
    return bytes(local + central + end)


def deflated(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


@unittest.skipUnless(EXECUTABLE, "set PL_EXECUTABLE to a built PeltoCadPrep to prepare packages")
class InspectPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.dir = Path(cls.temp.name)
        template = (ROOT / "examples" / "mold_shell.request.json").read_text()
        cls.obj = cls.prepare("obj", template.replace("@INPUT@", str(ROOT / "examples" / "mold_shell.obj")))
        generated = cls.dir / "generated"
        generated.mkdir()
        (generated / "shape-definition.json").write_bytes(BOX_DEFINITION)
        cls.generated = cls.prepare("generated", cls.request(
            generated / "shape-definition.json", "pelto.shape.definition.v1", "source"))
        facets = "".join("facet normal 0 0 0\nouter loop\n" + "".join(
            "vertex %d %d %d\n" % CUBE_CORNERS[i] for i in t) + "endloop\nendfacet\n"
            for t in CUBE_TRIANGLES)
        (cls.dir / "cube.stl").write_text("solid cube\n" + facets + "endsolid cube\n")
        cls.stl = cls.prepare("stl", cls.request(cls.dir / "cube.stl", "stl", "mm"))

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    @classmethod
    def request(cls, source, source_format, units):
        return json.dumps({
            "schema": "pelto.geometry.prepare.request.v1", "geometrySchema": "pelto.geometry.asset.v3",
            "requestId": "inspect", "inputPath": str(source), "outputPath": "@OUTPUT@",
            "sourceFormat": source_format, "sourceUnits": units, "componentRole": "mold_shell",
            "sourceToMount": [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1],
            "allowedOrientationsDeg": list(range(0, 360, 30))})

    @classmethod
    def prepare(cls, name, request):
        package = cls.dir / f"{name}.peltogeom"
        request_path = cls.dir / f"{name}.request.json"
        request_path.write_text(request.replace("@OUTPUT@", str(package)))
        run = subprocess.run([EXECUTABLE, "prepare", str(request_path)], capture_output=True,
                             text=True, check=False)
        assert run.returncode == 0, f"prepare {name} failed: {run.stdout[-500:]}"
        return package

    def report(self, package):
        run = inspect(package, "--json")
        self.assertEqual(run.returncode, 0, run.stderr)
        return json.loads(run.stdout)

    def check_against_zip(self, package, report, triangles):
        with zipfile.ZipFile(package) as archive:
            self.assertEqual([m["name"] for m in report["members"]], archive.namelist())
            manifest = json.loads(archive.read("manifest.json"))
            sizes = {info.filename: info.file_size for info in archive.infolist()}
        self.assertEqual(report["assetId"], manifest["assetId"])
        self.assertEqual(report["manifest"]["validation"]["triangleCount"], triangles)
        self.assertEqual(report["collisionMesh"]["triangleCount"], triangles)
        self.assertEqual(report["preview"]["triangleCount"], triangles)
        for grid in report["voxels"]:
            nx, ny, nz = grid["dims"]
            self.assertEqual(sizes[grid["name"]], 60 + 8 * -(-nx * ny * nz // 64))
            self.assertEqual(grid["name"][:12], {50: "search_50mm_", 30: "refine_30mm_"}[grid["cellSizeMm"]])

    def test_obj_package_matches_its_source(self):
        lines = (ROOT / "examples" / "mold_shell.obj").read_text().splitlines()
        faces = sum(1 for line in lines if line.startswith("f "))
        corners = [tuple(map(float, line.split()[1:4])) for line in lines if line.startswith("v ")]
        report = self.report(self.obj)
        self.check_against_zip(self.obj, report, faces)
        self.assertEqual(report["collisionMesh"]["bounds"],
                         {"min": [min(c[a] for c in corners) for a in range(3)],
                          "max": [max(c[a] for c in corners) for a in range(3)]})
        self.assertIsNone(report["analytic"])
        self.assertEqual(report["manifest"]["source"]["name"], "mold_shell.obj")
        human = inspect(self.obj)
        self.assertEqual(human.returncode, 0, human.stderr)
        self.assertIn(report["assetId"], human.stdout)

    def test_generated_package_carries_its_definition(self):
        report = self.report(self.generated)
        self.check_against_zip(self.generated, report, 12)
        self.assertEqual(report["members"][3]["name"], "analytic.pshape")
        self.assertEqual(report["analytic"]["kind"], "box")
        self.assertEqual(report["analytic"]["definitionSha256"],
                         "sha256:" + hashlib.sha256(BOX_DEFINITION).hexdigest())
        self.assertEqual(report["analytic"]["shapeBoundsHalfUm"], [-20000, 0, -30000, 20000, 20000, 30000])

    def test_stl_cube_is_welded_and_bounded(self):
        report = self.report(self.stl)
        self.check_against_zip(self.stl, report, 12)
        self.assertEqual(report["collisionMesh"]["vertexCount"], 8)
        self.assertEqual(report["collisionMesh"]["bounds"], {"min": [0, 0, 0], "max": [10, 10, 10]})

    def test_damaged_packages_are_named_for_what_is_wrong(self):
        image = self.stl.read_bytes()
        with zipfile.ZipFile(self.stl) as archive:
            members = [(name, archive.read(name)) for name in archive.namelist()]
            mesh_at = archive.getinfo("collision.pmesh").header_offset + 30 + len("collision.pmesh")
        manifest, last_voxel = members[0][1], members[-1][0]
        other_id = b'{"assetId":"sha256:' + b"0" * 64
        cases = [
            ("flipped byte", image[:mesh_at + 90] + bytes([image[mesh_at + 90] ^ 1]) + image[mesh_at + 91:],
             "member collision.pmesh fails its CRC-32 check"),
            ("compressed", write_zip([members[0], ("preview.glb", members[1][1], 8)] + members[2:]),
             "member preview.glb is compressed"),
            ("reordered", write_zip([members[0], members[2], members[1]] + members[3:]),
             "members are out of order: place 2 holds collision.pmesh"),
            ("truncated", image[:len(image) // 2], "the ZIP end record is missing"),
            ("trailing bytes", image + b"\0" * 7, "bytes follow the ZIP end record"),
            ("voxel hash", write_zip(members[:-1] + [(last_voxel[:12] + "f" * 64 + ".pvox", members[-1][1])]),
             "is not named by the SHA-256 of its bytes"),
            ("asset id", write_zip([("manifest.json", other_id + manifest[len(other_id):])] + members[1:]),
             "differs from the manifest's assetId sha256:" + "0" * 64),
            ("extra member", write_zip(members + [("notes.txt", b"left behind")]), "unexpected member notes.txt"),
            ("duplicate", write_zip(members + members[-1:]), f"member {last_voxel} occurs twice"),
            ("triangle count", write_zip([("manifest.json", manifest.replace(
                b'"triangleCount":12', b'"triangleCount":13'))] + members[1:]),
             "manifest.json triangle count 13 differs from the 12 triangles of collision.pmesh"),
        ]
        self.assertEqual(self.report_of(write_zip(members))["assetId"], json.loads(manifest)["assetId"])
        for label, damaged, phrase in cases:
            with self.subTest(label):
                run = self.inspect_bytes(damaged)
                self.assertEqual(run.returncode, 1, run.stdout[:200])
                self.assertIn(phrase, run.stderr)
                self.assertEqual(run.stderr.count("\n"), 1)

    def test_random_damage_never_escapes_as_a_traceback(self):
        image, rng = self.stl.read_bytes(), random.Random(7)
        for trial in range(40):
            damaged = bytearray(image)
            if trial % 4 == 0:
                del damaged[rng.randrange(len(damaged)):]
            else:
                damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
            run = self.inspect_bytes(bytes(damaged))
            self.assertIn(run.returncode, (0, 1), run.stderr)
            self.assertNotIn("Traceback", run.stderr)

    def test_usage_and_missing_files_exit_two(self):
        self.assertEqual(inspect(self.dir / "absent.peltogeom").returncode, 2)
        self.assertEqual(subprocess.run([sys.executable, str(TOOL)], capture_output=True,
                                        check=False).returncode, 2)

    def inspect_bytes(self, image):
        path = self.dir / "damaged.peltogeom"
        path.write_bytes(image)
        return inspect(path)

    def report_of(self, image):
        path = self.dir / "rewritten.peltogeom"
        path.write_bytes(image)
        return self.report(path)


if __name__ == "__main__":
    unittest.main()
