#!/usr/bin/env python3
"""Runs tools/prepare_many against PeltoCadPrep (PL_EXECUTABLE) on a folder of generated
meshes: good ones must publish, each bad one must fail with the code the executable names for
it, STEP sources must wait for review, and a rerun must skip what was published."""
import csv
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "prepare_many")
INSPECTOR = os.path.join(os.path.dirname(TOOL), "inspect_package")
EXECUTABLE = os.environ.get("PL_EXECUTABLE")

# A 100 mm cube and a tetrahedron with 100 mm legs, both closed and outward facing.
CUBE_V = [(0, 0, 0), (100, 0, 0), (100, 100, 0), (0, 100, 0),
          (0, 0, 100), (100, 0, 100), (100, 100, 100), (0, 100, 100)]
CUBE_F = [(0, 2, 1), (0, 3, 2), (4, 5, 6), (4, 6, 7), (0, 1, 5), (0, 5, 4),
          (1, 2, 6), (1, 6, 5), (2, 3, 7), (2, 7, 6), (3, 0, 4), (3, 4, 7)]
TET_V = [(0, 0, 0), (100, 0, 0), (0, 100, 0), (0, 0, 100)]
TET_F = [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)]


def binary_stl(verts, faces):
    data = b"\0" * 80 + struct.pack("<I", len(faces))
    for face in faces:
        data += struct.pack("<12fH", 0, 0, 0, *[c for i in face for c in verts[i]], 0)
    return data


def ascii_stl(verts, faces):
    lines = ["solid part"]
    for face in faces:
        lines += ["facet normal 0 0 0", "outer loop"]
        lines += ["vertex %g %g %g" % verts[i] for i in face]
        lines += ["endloop", "endfacet"]
    return ("\n".join(lines + ["endsolid part"]) + "\n").encode()


def obj(verts, faces):
    text = "".join("v %g %g %g\n" % v for v in verts)
    return (text + "".join("f %d %d %d\n" % tuple(i + 1 for i in f) for f in faces)).encode()


# name -> (bytes, expected status, expected error code, expected triangle count)
SOURCES = {
    "cube.stl": (binary_stl(CUBE_V, CUBE_F), "published", "", 12),
    "tetra.stl": (ascii_stl(TET_V, TET_F), "published", "", 4),
    "cube.obj": (obj(CUBE_V, CUBE_F), "published", "", 12),  # shares its stem with cube.stl
    "nested/tetra.obj": (obj(TET_V, TET_F), "published", "", 4),
    "empty.stl": (b"", "failed", "input_empty", None),
    "truncated.STL": (binary_stl(CUBE_V, CUBE_F)[:-30], "failed", "invalid_stl", None),
    "bad_index.obj": (obj(CUBE_V, CUBE_F) + b"f 1 2 99\n", "failed", "invalid_obj_index", None),
    "garbage.stl": (b"this is not a mesh\nat all\n", "failed", "invalid_stl", None),
    "nested/assembly.step": (b"ISO-10303-21;\nEND-ISO-10303-21;\n", "needs_review", "", None),
    "notes.txt": (b"not a source", None, None, None),  # ignored by the folder search
}


def gnu_parallel_missing():
    if not shutil.which("parallel"):
        return True
    run = subprocess.run(["parallel", "--version"], capture_output=True, text=True)
    return not run.stdout.startswith("GNU parallel")


@unittest.skipUnless(EXECUTABLE, "set PL_EXECUTABLE to a built PeltoCadPrep to run these tests")
@unittest.skipIf(gnu_parallel_missing(), "GNU parallel is not installed (Debian package 'parallel')")
class PrepareManyTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="prepare_many_test.")
        self.addCleanup(shutil.rmtree, self.tmp)
        self.src = os.path.join(self.tmp, "src")
        for name, (data, *_) in SOURCES.items():
            path = os.path.join(self.src, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        self.out = os.path.join(self.tmp, "work")

    def run_tool(self, *args, units=("--units", "mm")):
        return subprocess.run([sys.executable, TOOL, "--executable", EXECUTABLE,
                               "--out", self.out, *units, *args], capture_output=True, text=True)

    def summary(self):
        with open(os.path.join(self.out, "summary.csv"), newline="") as f:
            rows = list(csv.DictReader(f))
        with open(os.path.join(self.out, "summary.jsonl")) as f:
            self.assertEqual([json.loads(line)["source"] for line in f], [r["source"] for r in rows])
        return {os.path.relpath(r["source"], self.src): r for r in rows}

    def test_publishes_good_sources_fails_bad_ones_and_skips_them_on_rerun(self):
        run = self.run_tool(self.src, "-j", "3")
        self.assertEqual(run.returncode, 1, run.stderr)
        rows = self.summary()
        expected = {n: v for n, v in SOURCES.items() if v[1] is not None}
        self.assertEqual(sorted(rows), sorted(expected))
        self.assertEqual(list(rows), sorted(rows, key=lambda n: os.path.join(self.src, n)))
        for name, (_, status, code, triangles) in expected.items():
            with self.subTest(name):
                row = rows[name]
                self.assertEqual((row["status"], row["error_code"]), (status, code), row)
                if status == "failed":
                    self.assertNotEqual(row["exit_status"], "0")
                    self.assertTrue(row["error_message"])
                    self.assertIn(f"{code}:", run.stderr)
                if status == "published":
                    self.assertEqual(int(row["triangle_count"]), triangles)
                    self.assert_package(row, triangles)
        self.assertEqual(rows["nested/assembly.step"]["kind"], "step")
        ids = {r["request_id"] for r in rows.values()}
        self.assertEqual(len(ids), len(rows), "request ids must be unique")
        self.assert_review_requests(rows["nested/assembly.step"])
        self.assertIn("8/8 done, 4 failed", run.stderr)

        rerun = self.run_tool(self.src)
        self.assertEqual(rerun.returncode, 1, rerun.stderr)
        again = self.summary()
        for name, (_, status, code, _) in expected.items():
            with self.subTest(rerun=name):
                self.assertEqual(again[name]["status"], "skipped" if status == "published" else status)
                self.assertEqual(again[name]["request_id"], rows[name]["request_id"])
        self.assertEqual(rerun.stderr.count("skipping "), 4)
        # Named alone, cube.obj no longer shares its stem but must still find its package.
        alone = self.run_tool(os.path.join(self.src, "cube.obj"))
        self.assertEqual(alone.returncode, 0, alone.stderr)
        self.assertEqual(self.summary()["cube.obj"]["status"], "skipped")

    def assert_package(self, row, triangles):
        package = os.path.join(self.out, "packages", row["request_id"] + ".peltogeom")
        self.assertEqual(os.path.getsize(package), int(row["package_bytes"]))
        # The package inspector verifies the whole package, not only its manifest.
        inspected = subprocess.run([sys.executable, INSPECTOR, "--json", package],
                                   capture_output=True, text=True)
        self.assertEqual(inspected.returncode, 0, inspected.stderr)
        report = json.loads(inspected.stdout)
        self.assertEqual(report["manifest"]["validation"]["triangleCount"], triangles)
        self.assertEqual(report["manifest"]["source"]["name"], os.path.basename(row["source"]))

    def assert_review_requests(self, row):
        review = os.path.join(self.out, "review")
        for command, suffix in (("seat", ".json"), ("review", ".glb")):
            with open(os.path.join(review, f"{row['request_id']}.{command}.request.json")) as f:
                request = json.load(f)
            self.assertEqual(request["schema"], f"pelto.geometry.{command}.request.v1")
            self.assertEqual(request["inputPath"], row["source"])
            self.assertTrue(request["outputPath"].endswith(suffix))
        self.assertFalse(os.path.exists(os.path.join(self.out, "requests", row["request_id"] + ".json")))

    def test_runs_through_an_ssh_login(self):
        # ":" is GNU parallel's name for the local machine, taking the ssh-login code path.
        run = self.run_tool(os.path.join(self.src, "*.obj"), os.path.join(self.src, "tetra.stl"),
                            "--sshlogin", ":", "-j", "2")
        self.assertEqual(run.returncode, 1, run.stderr)
        statuses = {n: r["status"] for n, r in self.summary().items()}
        self.assertEqual(statuses, {"bad_index.obj": "failed", "cube.obj": "published",
                                    "tetra.stl": "published"})

    def test_flags_override_the_defaults_file(self):
        defaults = os.path.join(self.tmp, "defaults.json")
        with open(defaults, "w") as f:
            json.dump({"sourceUnits": "mm", "limits": {"maxTriangles": 5}}, f)
        cube = os.path.join(self.src, "cube.obj")
        limited = self.run_tool(cube, "--defaults", defaults)
        self.assertEqual(self.summary()["cube.obj"]["error_code"], "triangle_limit_exceeded")
        self.assertEqual(limited.returncode, 1)
        lifted = self.run_tool(cube, "--defaults", defaults, "--max-triangles", "100")
        self.assertEqual(lifted.returncode, 0, lifted.stderr)
        self.assertEqual(self.summary()["cube.obj"]["status"], "published")

    def test_usage_errors_exit_2_with_a_message(self):
        bad_defaults = os.path.join(self.tmp, "bad.json")
        with open(bad_defaults, "w") as f:
            f.write('{"sourceUnits": "mm", "colour": "red"}')
        os.makedirs(os.path.join(self.tmp, "nothing"))
        cases = {
            "no sources": ([os.path.join(self.tmp, "nothing")], "no .stl, .obj"),
            "missing source": ([os.path.join(self.tmp, "absent.stl")], "names no file"),
            "bad defaults": ([self.src, "--defaults", bad_defaults], "unknown fields colour"),
            "bad mount": ([self.src, "--mount", "1,0,0"], "16 numbers"),
        }
        for name, (args, message) in cases.items():
            with self.subTest(name):
                run = self.run_tool(*args)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(message, run.stderr)
        run = self.run_tool(self.src, units=())
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertIn("carry no length unit", run.stderr)
        run = subprocess.run([sys.executable, TOOL, "--executable", os.path.join(self.tmp, "none"),
                              "--out", self.out, self.src], capture_output=True, text=True)
        self.assertEqual(run.returncode, 2)
        self.assertIn("no executable PeltoCadPrep", run.stderr)


if __name__ == "__main__":
    unittest.main()
