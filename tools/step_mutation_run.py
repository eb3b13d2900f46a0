#!/usr/bin/env python3
"""Hostile mutation run of the STEP commands against a built executable.

  step_mutation_run.py --executable build-asan/PeltoCadPrep [--duration 600]
                       [--corpus /work/shared/corpus/step] [--findings DIR] [--seed S]

For the given number of seconds it picks a corpus STEP file, applies either 1
to 16 random byte edits or one structural mutation of tools/mutate_step.py, and
runs `review` and `prepare` on the mutant. `prepare` replays a selection record
that `select` made once for the unmutated file at the same path; the record's
source digest is only compared after the import, so the kernel reads the
mutated bytes. A mutant that review accepts also gets a record of its own from
`select`, and `prepare` runs again with it ("prepare*" in the summary), which
takes it past the digest comparison to publication. Every run is classified:

  error           a named error code (the run refused the file)
  success         the command completed and wrote its output
  internal_error  an error event with code internal_error
  crash           a signal, a sanitizer report or an unexpected exit status
  timeout         no exit within --run-timeout seconds
  pollution       a standard output line that is not an event line
  protocol        event lines that break the run's contract (no single final
                  error event, an error with exit status 0, files left behind)

Inputs of every class but error and success are saved with a description in
the findings folder. Inputs refused by name only after the program trapped a
fault signal of the kernel (its note on standard error), or at the requests'
elapsed-time limit (--elapsed-limit-ms), are kept in its trapped/ and elapsed/
subfolders without counting as findings. The summary goes to standard output;
the exit status is 1 when anything was found, 0 otherwise (also when the
corpus folder is absent).
"""

import argparse
import collections
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import mutate_step  # noqa: E402

EVENT_SCHEMA = "pelto.geometry.prepare.event.v1"
STRUCTURAL_KINDS = [k for k in mutate_step.KINDS if k != "byte_edit"]
FINDING_CLASSES = ("internal_error", "crash", "timeout", "pollution", "protocol")
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "UndefinedBehaviorSanitizer", "AddressSanitizer:DEADLYSIGNAL")
# What the program writes to standard error when it turned a fault signal of
# the kernel into an error event.
TRAPPED_FAULT_NOTE = "a fault signal inside kernel work was trapped"
IDENTITY = "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]"
# The limits of every request; main sets the elapsed-time limit from its option.
LIMITS = {"maxElapsedMs": 30000}
ORIENTATIONS = "[0,90,180,270]"


def side_request(command, source, output, extra=None):
    request = {"schema": "pelto.geometry.%s.request.v1" % command, "requestId": "hostile",
               "inputPath": str(source), "outputPath": str(output),
               "targetLinearDeflectionMm": 0.5, "limits": dict(LIMITS)}
    request.update(extra or {})
    return request


def select_extra(decision):
    return {"geometrySchema": "pelto.geometry.asset.v3", "freeShellDecision": decision,
            "excludedSolidOrdinals": [], "sourceToMount": json.loads(IDENTITY),
            "allowedOrientationsDeg": json.loads(ORIENTATIONS)}


def prepare_request(source, output, record):
    return {"schema": "pelto.geometry.prepare.request.v1",
            "geometrySchema": "pelto.geometry.asset.v3", "requestId": "hostile",
            "inputPath": str(source), "outputPath": str(output), "sourceFormat": "step",
            "sourceUnits": "source", "componentRole": "component",
            "componentSelectionPath": str(record), "sourceToMount": json.loads(IDENTITY),
            "allowedOrientationsDeg": json.loads(ORIENTATIONS), "limits": dict(LIMITS)}


class Run:
    def __init__(self, status, signal, stdout, stderr, timed_out, leftovers):
        self.status = status
        self.signal = signal
        self.stdout = stdout
        self.stderr = stderr
        self.timed_out = timed_out
        self.leftovers = leftovers


def run_command(executable, command, request, request_path, out_dir, timeout, env):
    """Runs one command with a fresh, empty output folder and collects what it left there."""
    shutil.rmtree(out_dir, ignore_errors=True)
    out_dir.mkdir(parents=True)
    request_path.write_text(json.dumps(request), encoding="utf-8")
    for attempt in range(10):
        try:
            done = subprocess.run([str(executable), command, str(request_path)],
                                  capture_output=True, timeout=timeout, env=env)
            break
        except subprocess.TimeoutExpired as expired:
            return Run(None, None, expired.stdout or b"", expired.stderr or b"", True, [])
        except PermissionError:
            # A build relinking the executable holds it for a moment.
            if attempt == 9:
                raise
            time.sleep(2)
    leftovers = sorted(p.name for p in out_dir.iterdir())
    signal = -done.returncode if done.returncode < 0 else None
    return Run(done.returncode if signal is None else None, signal, done.stdout, done.stderr,
               False, leftovers)


def event_lines(stdout):
    """(events, first line that is not an event line or None)."""
    events = []
    text = stdout.decode("utf-8", errors="replace")
    if text and not text.endswith("\n"):
        return events, text.rsplit("\n", 1)[-1] + " <no line feed>"
    for line in text.splitlines():
        try:
            event = json.loads(line)
        except ValueError:
            return events, line
        if not isinstance(event, dict) or event.get("schema") != EVENT_SCHEMA or \
                event.get("requestId") != "hostile" or "event" not in event or \
                not line.startswith('{"schema":"%s",' % EVENT_SCHEMA):
            return events, line
        events.append(event)
    return events, None


def classify(run, output_name):
    """(class, detail) of one run."""
    stderr = run.stderr.decode("utf-8", errors="replace")
    if run.timed_out:
        return "timeout", "no exit"
    if run.signal is not None:
        return "crash", "signal %d" % run.signal
    if any(marker in stderr for marker in SANITIZER_MARKERS):
        return "crash", "sanitizer report, exit status %d" % run.status
    if run.status not in (0, 2, 5):
        return "crash", "exit status %d" % run.status
    events, stray = event_lines(run.stdout)
    if stray is not None:
        return "pollution", stray[:200]
    errors = [e for e in events if e["event"] == "error"]
    if not events or events[0]["event"] != "accepted":
        return "protocol", "no accepted event first"
    if run.status == 0:
        if errors or events[-1]["event"] != "complete":
            return "protocol", "exit status 0 without a final complete event"
        if run.leftovers != [output_name]:
            return "protocol", "output folder holds %s" % run.leftovers
        return "success", ""
    if len(errors) != 1 or events[-1] is not errors[0]:
        return "protocol", "%d error events, last event %s" % (len(errors), events[-1]["event"])
    if run.leftovers:
        return "protocol", "failed run left %s" % run.leftovers
    code = errors[0].get("code", "")
    if code == "internal_error":
        return "internal_error", "%s: %s" % (errors[0].get("stage"), errors[0].get("message"))
    return "error", code


def sanitizer_excerpt(stderr):
    lines = stderr.decode("utf-8", errors="replace").splitlines()
    for i, line in enumerate(lines):
        if any(marker in line for marker in SANITIZER_MARKERS):
            return "\n".join(lines[i:i + 40])
    return "\n".join(lines[-40:])


def select_record(executable, source, folder, timeout, env):
    """Runs select with free shells "none", then "residue"; (run, class, detail, record or None)."""
    for decision in ("none", "residue"):
        out = folder / "record"
        run = run_command(executable, "select",
                          side_request("select", source, out / "record.json",
                                       select_extra(decision)),
                          folder / "select.json", out, timeout, env)
        cls, detail = classify(run, "record.json")
        if cls == "success":
            record = folder / ("record-%s.json" % source.stem)
            shutil.move(str(out / "record.json"), str(record))
            return run, cls, detail, record
        if detail != "invalid_free_shell_decision":
            break
    return run, cls, detail, None


class Base:
    """A corpus file copied into the work folder, with its record if select accepted it."""

    def __init__(self, path, work, executable, timeout, env):
        self.name = path.name
        self.original = path.read_bytes()
        self.folder = work / ("base-%s" % path.stem)
        self.folder.mkdir(parents=True)
        self.source = self.folder / path.name
        self.source.write_bytes(self.original)
        _, cls, detail, self.record = select_record(executable, self.source, self.folder, timeout,
                                                    env)
        self.select_outcome = "%s %s" % (cls, detail)
        if self.record is not None:
            self.record = self.record.rename(self.folder / "base-record.json")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--executable", required=True)
    parser.add_argument("--duration", type=float, default=600.0, help="seconds of mutation runs")
    parser.add_argument("--corpus", default="/work/shared/corpus/step")
    parser.add_argument("--findings", default="step-mutation-findings")
    parser.add_argument("--seed", default=str(int(time.time())))
    parser.add_argument("--max-bytes", type=int, default=160000,
                        help="skip corpus files larger than this")
    parser.add_argument("--elapsed-limit-ms", type=int, default=30000,
                        help="maxElapsedMs of every request")
    parser.add_argument("--run-timeout", type=float, default=180.0,
                        help="seconds after which a run counts as stuck and is killed")
    args = parser.parse_args(argv)
    LIMITS["maxElapsedMs"] = args.elapsed_limit_ms

    corpus = Path(args.corpus)
    if not corpus.is_dir():
        print("corpus folder %s is absent: no mutation run" % corpus)
        return 0
    files = sorted(p for p in corpus.iterdir()
                   if p.suffix.lower() in (".step", ".stp") and p.stat().st_size <= args.max_bytes)
    if not files:
        print("corpus folder %s holds no STEP file of at most %d bytes: no mutation run"
              % (corpus, args.max_bytes))
        return 0
    executable = Path(args.executable).resolve()
    findings = Path(args.findings)
    env = dict(os.environ)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
    rng = random.Random(args.seed)
    counts = collections.Counter()
    by_kind = collections.defaultdict(collections.Counter)
    codes = collections.Counter()
    found = 0
    kept_counts = collections.Counter()

    with tempfile.TemporaryDirectory(prefix="step-mutation-run-") as work_text:
        work = Path(work_text)
        print("seed %s, executable %s" % (args.seed, executable))
        bases = []
        for path in files:
            base = Base(path, work, executable, args.run_timeout, env)
            print("base %s (%d bytes): select %s" % (base.name, len(base.original),
                                                     base.select_outcome))
            bases.append(base)
        deadline = time.monotonic() + args.duration
        mutants = 0
        while time.monotonic() < deadline:
            base = rng.choice(bases)
            kind = "byte_edit" if rng.random() < 0.5 else rng.choice(STRUCTURAL_KINDS)
            try:
                mutant, edit = mutate_step.mutate(base.original, kind, rng)
            except ValueError:  # includes StepSyntaxError: no place for this kind
                continue
            mutants += 1
            base.source.write_bytes(mutant)
            report = []
            kept = collections.defaultdict(list)

            def account(label, run, cls, detail):
                counts[(label, cls)] += 1
                by_kind[kind][cls] += 1
                if cls == "error":
                    codes[(label, detail)] += 1
                    if TRAPPED_FAULT_NOTE in run.stderr.decode("utf-8", errors="replace"):
                        kept["trapped"].append("%s: %s" % (label, detail))
                    if detail == "elapsed_limit_exceeded":
                        kept["elapsed"].append(label)
                if cls in FINDING_CLASSES:
                    report.append("command: %s\nclass: %s (%s)\nstdout:\n%s\nstderr excerpt:\n%s\n"
                                  % (label, cls, detail,
                                     run.stdout.decode("utf-8", errors="replace"),
                                     sanitizer_excerpt(run.stderr)))
                    print("FOUND %s: %s %s on %s (%s: %s)" % (cls, label, detail[:100],
                                                              base.name, kind, edit[:100]))

            def prepare(label, record):
                out = base.folder / "out"
                run = run_command(executable, "prepare",
                                  prepare_request(base.source, out / "asset.peltogeom", record),
                                  base.folder / "request.json", out, args.run_timeout, env)
                account(label, run, *classify(run, "asset.peltogeom"))

            out = base.folder / "out"
            run = run_command(executable, "review",
                              side_request("review", base.source, out / "model.glb"),
                              base.folder / "request.json", out, args.run_timeout, env)
            reviewed = classify(run, "model.glb")
            account("review", run, *reviewed)
            if base.record is not None:
                # The base's record: the import reads the mutant before the
                # record's source digest is compared.
                prepare("prepare", base.record)
            if reviewed[0] == "success":
                # The mutant's own record carries prepare past that comparison.
                run, cls, detail, record = select_record(executable, base.source, base.folder,
                                                         args.run_timeout, env)
                account("select", run, cls, detail)
                if record is not None:
                    prepare("prepare*", record)
            for folder_name, labels in sorted(kept.items()):
                # Refused by name, but only after a trapped kernel fault or at
                # the elapsed-time limit: kept for whoever hardens the input
                # checks, not a finding.
                kept_counts[folder_name] += 1
                folder = findings / folder_name
                folder.mkdir(parents=True, exist_ok=True)
                stem = "%04d-%s__%s" % (kept_counts[folder_name], Path(base.name).stem, kind)
                (folder / (stem + ".step")).write_bytes(mutant)
                (folder / (stem + ".txt")).write_text(
                    "base: %s\nmutation: %s: %s\n%s in: %s\n"
                    % (base.name, kind, edit, folder_name, ", ".join(labels)), encoding="utf-8")
                print("KEPT %s: %s on %s (%s: %s)" % (folder_name, ", ".join(labels), base.name,
                                                     kind, edit[:100]))
            if report:
                found += 1
                findings.mkdir(parents=True, exist_ok=True)
                stem = "%04d-%s__%s" % (found, Path(base.name).stem, kind)
                (findings / (stem + ".step")).write_bytes(mutant)
                (findings / (stem + ".txt")).write_text(
                    "base: %s\nmutation: %s: %s\n\n%s" % (base.name, kind, edit,
                                                           "\n".join(report)),
                    encoding="utf-8")
            base.source.write_bytes(base.original)

    print("\n%d mutants in %.0f s" % (mutants, args.duration))
    for command in ("review", "prepare", "select", "prepare*"):
        row = ", ".join("%s %d" % (cls, counts[(command, cls)])
                        for cls in ("error", "success") + FINDING_CLASSES)
        print("%-8s %s" % (command, row))
    print("prepare: with the unmutated file's record; select and prepare*: the mutants that review"
          " accepted, with their own record")
    print("by mutation kind:")
    for kind in mutate_step.KINDS:
        print("  %-17s %s" % (kind, ", ".join("%s %d" % item
                                              for item in sorted(by_kind[kind].items()))))
    print("error codes:")
    for (command, code), n in sorted(codes.items()):
        print("  %-8s %-40s %d" % (command, code, n))
    for folder_name, n in sorted(kept_counts.items()):
        print("%d mutants kept in %s" % (n, findings / folder_name))
    if found:
        print("%d mutants with findings saved in %s" % (found, findings))
        return 1
    print("no findings")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
