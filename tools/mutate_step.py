#!/usr/bin/env python3
"""Deterministic structural and byte mutations of STEP (ISO 10303-21) text files.

Every mutation is a pure function of the input bytes and a seeded random
generator, so a mutant is reproduced from its base file, kind and seed alone.

  mutate_step.py corpus --out DIR [--seed S] [--per-kind N] BASE[:N] ...
      writes N mutants of every kind for each base as DIR/<stem>__<kind>__<nn>.step
      and lists them with their edits in DIR/MUTANTS.tsv
  mutate_step.py one --kind KIND [--seed S] BASE OUT
      writes one mutant of BASE to OUT and prints what was changed

Only the Python standard library is used; tools/step_mutation_run.py imports
this module for its structural mutations.
"""

import argparse
import collections
import random
import re
import sys
from pathlib import Path

KINDS = (
    "dangling_ref",       # a reference to an instance id that does not exist
    "retargeted_ref",     # a reference to an existing instance of another entity type
    "same_type_ref",      # a reference to another instance of the same type (valid, inconsistent)
    "deleted_entity",     # an instance that others refer to is removed
    "truncated_entity",   # one instance cut short inside its parameters
    "truncated_file",     # the file cut short at a byte, a line or an instance boundary
    "dropped_param",      # one parameter of a list removed
    "duplicated_param",   # one parameter of a list repeated
    "swapped_type",       # reference, number, string, enumeration or list replaced by another kind
    "changed_number",     # a number replaced by an extreme, zero or negative one
    "unbalanced_paren",   # a parenthesis added or removed
    "unbalanced_quote",   # a quote added or removed
    "byte_edit",          # 1 to 16 random bytes replaced, inserted or deleted anywhere
)

_NUMBER = re.compile(r"[+-]?(\d+\.?\d*([eE][+-]?\d+)?|\.\d+([eE][+-]?\d+)?)")
_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_INSTANCE = re.compile(r"\s*#(\d+)\s*=\s*")
_BYTE_ALPHABET = b"#0123456789(),;'.=$*-+E \n"


class StepSyntaxError(ValueError):
    pass


class Value:
    """One parameter value: its kind and its [start, end) span in the file text."""

    def __init__(self, kind, start, end):
        self.kind = kind
        self.start = start
        self.end = end


class Record:
    """One record ending with ';': a header entity or a data section instance."""

    def __init__(self, start, end, instance_id, type_name):
        self.start = start          # first non-blank character
        self.end = end              # one past the ';'
        self.instance_id = instance_id
        self.type_name = type_name
        self.values = []            # every parameter value, at any depth
        self.lists = []             # (open, close, [element values]) for every parameter list


class StepText:
    """The file as latin-1 text (one character per byte) split into records."""

    def __init__(self, data):
        self.text = data.decode("latin-1")
        self.records = []
        self._split()

    def _split(self):
        text = self.text
        header = text.find("HEADER;")
        if header < 0:
            raise StepSyntaxError("no HEADER section")
        pos = header + len("HEADER;")
        while True:
            record_start = _skip_blank(text, pos)
            if text.startswith("ENDSEC;", record_start):
                pos = record_start + len("ENDSEC;")
                record_start = _skip_blank(text, pos)
                if text.startswith("DATA;", record_start):
                    pos = record_start + len("DATA;")
                    continue
                if text.startswith("END-ISO-10303-21;", record_start):
                    return
                raise StepSyntaxError("unexpected text after ENDSEC at %d" % record_start)
            end = _record_end(text, record_start)
            self.records.append(self._parse_record(record_start, end))
            pos = end

    def _parse_record(self, start, end):
        text = self.text
        match = _INSTANCE.match(text, start)
        instance_id = int(match.group(1)) if match else None
        pos = match.end() if match else start
        record = Record(start, end, instance_id, "")
        if text[pos] == "(":
            # A complex instance: a parenthesised run of NAME(params) partial records.
            record.type_name = "(complex)"
            pos = _skip_blank(text, pos + 1)
            while text[pos] != ")":
                pos = self._parse_typed(record, pos)
                pos = _skip_blank(text, pos)
            pos += 1
        else:
            name = _IDENT.match(text, pos)
            if not name:
                raise StepSyntaxError("no entity name at %d" % pos)
            record.type_name = name.group(0)
            pos = self._parse_typed(record, pos)
        if text[_skip_blank(text, pos)] != ";":
            raise StepSyntaxError("record at %d does not end after its parameters" % start)
        return record

    def _parse_typed(self, record, pos):
        name = _IDENT.match(self.text, pos)
        if not name:
            raise StepSyntaxError("no entity name at %d" % pos)
        pos = _skip_blank(self.text, name.end())
        if self.text[pos] != "(":
            raise StepSyntaxError("no parameter list at %d" % pos)
        return self._parse_list(record, pos)

    def _parse_list(self, record, pos):
        text = self.text
        opening = pos
        elements = []
        pos = _skip_blank(text, pos + 1)
        if text[pos] == ")":
            record.lists.append((opening, pos, elements))
            return pos + 1
        while True:
            value, pos = self._parse_value(record, pos)
            elements.append(value)
            record.values.append(value)
            pos = _skip_blank(text, pos)
            if text[pos] == ",":
                pos = _skip_blank(text, pos + 1)
                continue
            if text[pos] == ")":
                record.lists.append((opening, pos, elements))
                return pos + 1
            raise StepSyntaxError("unexpected %r at %d" % (text[pos], pos))

    def _parse_value(self, record, pos):
        text = self.text
        c = text[pos]
        if c == "'":
            end = pos + 1
            while True:
                end = text.index("'", end)
                if text.startswith("''", end):
                    end += 2
                    continue
                return Value("string", pos, end + 1), end + 1
        if c == '"':
            end = text.index('"', pos + 1)
            return Value("binary", pos, end + 1), end + 1
        if c == "#":
            match = re.compile(r"#\d+").match(text, pos)
            return Value("ref", pos, match.end()), match.end()
        if c == ".":
            match = re.compile(r"\.[A-Za-z_][A-Za-z0-9_]*\.").match(text, pos)
            if match:
                return Value("enum", pos, match.end()), match.end()
        if c in "$*":
            return Value("omitted", pos, pos + 1), pos + 1
        if c == "(":
            end = self._parse_list(record, pos)
            return Value("list", pos, end), end
        match = _NUMBER.match(text, pos)
        if match:
            return Value("number", pos, match.end()), match.end()
        if _IDENT.match(text, pos):
            end = self._parse_typed(record, pos)
            return Value("typed", pos, end), end
        raise StepSyntaxError("unknown value at %d" % pos)

    def instances(self):
        return [r for r in self.records if r.instance_id is not None]

    def max_id(self):
        return max(r.instance_id for r in self.instances())


def _skip_blank(text, pos):
    """The first position at or after pos that is neither blank nor inside a comment."""
    while pos < len(text):
        if text[pos] in " \t\r\n":
            pos += 1
        elif text.startswith("/*", pos):
            end = text.find("*/", pos + 2)
            if end < 0:
                raise StepSyntaxError("unterminated comment")
            pos = end + 2
        else:
            break
    if pos >= len(text):
        raise StepSyntaxError("unexpected end of file")
    return pos


def _record_end(text, pos):
    """One past the ';' that ends the record starting at pos (quotes respected)."""
    in_string = False
    while pos < len(text):
        c = text[pos]
        if c == "'":
            in_string = not in_string  # '' inside a string toggles twice
        elif not in_string and text.startswith("/*", pos):
            end = text.find("*/", pos + 2)
            if end < 0:
                raise StepSyntaxError("unterminated comment")
            pos = end + 1
        elif c == ";" and not in_string:
            return pos + 1
        pos += 1
    raise StepSyntaxError("unterminated record")


def _splice(text, start, end, replacement):
    return text[:start] + replacement + text[end:]


def _pick(rng, items):
    if not items:
        return None
    return items[rng.randrange(len(items))]


def _values_of(step, kinds):
    return [(r, v) for r in step.instances() for v in r.values if v.kind in kinds]


# Each mutator returns (new text, description) or None when the base offers no
# place for it.

def _dangling_ref(step, rng):
    found = _pick(rng, _values_of(step, ("ref",)))
    if found is None:
        return None
    record, value = found
    target = rng.choice([step.max_id() + rng.randint(1, 50), 999999, 0, 2147483647,
                         2147483648, 99999999999999999999])
    old = step.text[value.start:value.end]
    return (_splice(step.text, value.start, value.end, "#%d" % target),
            "#%d %s: %s -> #%d" % (record.instance_id, record.type_name, old, target))


def _retargeted_ref(step, rng):
    found = _pick(rng, _values_of(step, ("ref",)))
    if found is None:
        return None
    record, value = found
    old_id = int(step.text[value.start + 1:value.end])
    by_id = {r.instance_id: r for r in step.instances()}
    old_type = by_id[old_id].type_name if old_id in by_id else None
    others = [r for r in step.instances() if r.type_name != old_type]
    target = _pick(rng, others)
    if target is None:
        return None
    return (_splice(step.text, value.start, value.end, "#%d" % target.instance_id),
            "#%d %s: #%d (%s) -> #%d (%s)" % (record.instance_id, record.type_name, old_id,
                                              old_type, target.instance_id, target.type_name))


def _same_type_ref(step, rng):
    by_id = {r.instance_id: r for r in step.instances()}
    by_type = collections.defaultdict(list)
    for r in step.instances():
        by_type[r.type_name].append(r.instance_id)
    refs = []
    for record, value in _values_of(step, ("ref",)):
        target = by_id.get(int(step.text[value.start + 1:value.end]))
        if target is not None and len(by_type[target.type_name]) > 1:
            refs.append((record, value, target))
    found = _pick(rng, refs)
    if found is None:
        return None
    record, value, target = found
    other = rng.choice([i for i in by_type[target.type_name] if i != target.instance_id])
    return (_splice(step.text, value.start, value.end, "#%d" % other),
            "#%d %s: #%d -> #%d (both %s)" % (record.instance_id, record.type_name,
                                              target.instance_id, other, target.type_name))


def _changed_number(step, rng):
    found = _pick(rng, _values_of(step, ("number",)))
    if found is None:
        return None
    record, value = found
    new = rng.choice(["0.", "-0.", "1.E+300", "-1.E+300", "1.E-300", "1.E+400", "1.E+15", "-5.",
                      "2147483648", "-1"])
    old = step.text[value.start:value.end]
    return (_splice(step.text, value.start, value.end, new),
            "#%d %s: %s -> %s" % (record.instance_id, record.type_name, old, new))


def _deleted_entity(step, rng):
    referenced = {int(step.text[v.start + 1:v.end]) for _, v in _values_of(step, ("ref",))}
    candidates = [r for r in step.instances() if r.instance_id in referenced]
    record = _pick(rng, candidates)
    if record is None:
        return None
    return (_splice(step.text, record.start, record.end, ""),
            "deleted #%d %s" % (record.instance_id, record.type_name))


def _truncated_entity(step, rng):
    record = _pick(rng, [r for r in step.instances() if r.lists])
    if record is None:
        return None
    opening = step.text.index("(", record.start)
    cut = rng.randint(opening + 1, record.end - 2)
    return (_splice(step.text, cut, record.end, ";"),
            "#%d %s cut after %d bytes" % (record.instance_id, record.type_name,
                                           cut - record.start))


def _truncated_file(step, rng):
    text = step.text
    how = rng.choice(["byte", "line", "record", "trailer"])
    if how == "byte":
        cut = rng.randrange(len(text))
    elif how == "line":
        cut = _pick(rng, [m.end() for m in re.finditer("\n", text)][:-1])
    elif how == "record":
        cut = _pick(rng, step.instances()).end
    else:
        cut = text.rindex("END-ISO-10303-21;")
    return text[:cut], "file cut at byte %d of %d (%s boundary)" % (cut, len(text), how)


def _list_element(step, rng):
    lists = [(r, lst) for r in step.records for lst in r.lists if lst[2]]
    found = _pick(rng, lists)
    if found is None:
        return None
    record, (_, _, elements) = found
    index = rng.randrange(len(elements))
    return record, elements, index


def _record_name(record):
    if record.instance_id is None:
        return record.type_name or "header entity"
    return "#%d %s" % (record.instance_id, record.type_name)


def _param_mutation(step, rng, edit, done):
    """Applies edit(text, elements, index) to one list element picked at random;
    `done` says what happened to it in the description."""
    found = _list_element(step, rng)
    if found is None:
        return None
    record, elements, index = found
    return (edit(step.text, elements, index),
            "%s: parameter %d of %d %s" % (_record_name(record), index + 1, len(elements), done))


def _drop_element(text, elements, index):
    # Remove the element with the comma that joins it to its neighbour.
    value = elements[index]
    if index + 1 < len(elements):
        start, end = value.start, elements[index + 1].start
    elif index > 0:
        start, end = elements[index - 1].end, value.end
    else:
        start, end = value.start, value.end
    return _splice(text, start, end, "")


def _repeat_element(text, elements, index):
    value = elements[index]
    return _splice(text, value.end, value.end, "," + text[value.start:value.end])


def _dropped_param(step, rng):
    return _param_mutation(step, rng, _drop_element, "removed")


def _duplicated_param(step, rng):
    return _param_mutation(step, rng, _repeat_element, "repeated")


def _swapped_type(step, rng):
    found = _pick(rng, [(r, v) for r in step.records for v in r.values])
    if found is None:
        return None
    record, value = found
    ids = [r.instance_id for r in step.instances()]
    replacements = {
        "ref": lambda: "#%d" % rng.choice(ids),
        "number": lambda: rng.choice(["0.", "1.5", "-1.E+300", "1.E+400", "7", "-0."]),
        "string": lambda: rng.choice(["''", "'x'", "'#1'"]),
        "enum": lambda: rng.choice([".T.", ".F.", ".U.", ".UNSPECIFIED.", ".NOT_AN_ENUM."]),
        "list": lambda: rng.choice(["()", "(#%d)" % rng.choice(ids), "(0.,0.,0.)", "(())"]),
        "omitted": lambda: rng.choice(["$", "*"]),
    }
    kind = rng.choice([k for k in replacements if k != value.kind])
    new = replacements[kind]()
    old = step.text[value.start:value.end]
    return (_splice(step.text, value.start, value.end, new),
            "%s: %s %s -> %s %s" % (_record_name(record), value.kind, _short(old), kind, new))


def _unbalanced_paren(step, rng):
    record = _pick(rng, step.instances())
    body = step.text[record.start:record.end]
    parens = [record.start + i for i, c in enumerate(body) if c in "()"]
    if rng.random() < 0.5 and parens:
        at = rng.choice(parens)
        return (_splice(step.text, at, at + 1, ""),
                "#%d %s: '%s' at byte %d removed" % (record.instance_id, record.type_name,
                                                     step.text[at], at - record.start))
    at = rng.randint(record.start, record.end - 1)
    paren = rng.choice("()")
    return (_splice(step.text, at, at, paren),
            "#%d %s: '%s' inserted at byte %d" % (record.instance_id, record.type_name, paren,
                                                  at - record.start))


def _unbalanced_quote(step, rng):
    record = _pick(rng, step.instances())
    body = step.text[record.start:record.end]
    quotes = [record.start + i for i, c in enumerate(body) if c == "'"]
    if rng.random() < 0.5 and quotes:
        at = rng.choice(quotes)
        return (_splice(step.text, at, at + 1, ""),
                "#%d %s: quote at byte %d removed" % (record.instance_id, record.type_name,
                                                      at - record.start))
    at = rng.randint(record.start, record.end - 1)
    return (_splice(step.text, at, at, "'"),
            "#%d %s: quote inserted at byte %d" % (record.instance_id, record.type_name,
                                                   at - record.start))


def byte_edit(data, rng):
    """1 to 16 single-byte replacements, insertions or deletions at random offsets."""
    out = bytearray(data)
    edits = []
    for _ in range(rng.randint(1, 16)):
        if not out:
            break
        at = rng.randrange(len(out))
        byte = rng.choice(_BYTE_ALPHABET) if rng.random() < 0.6 else rng.randrange(256)
        op = rng.random()
        if op < 0.7:
            out[at] = byte
            edits.append("%d=%02x" % (at, byte))
        elif op < 0.85:
            out.insert(at, byte)
            edits.append("%d+%02x" % (at, byte))
        else:
            del out[at]
            edits.append("%d-" % at)
    return bytes(out), "bytes " + " ".join(edits)


_MUTATORS = {
    "dangling_ref": _dangling_ref,
    "retargeted_ref": _retargeted_ref,
    "same_type_ref": _same_type_ref,
    "deleted_entity": _deleted_entity,
    "truncated_entity": _truncated_entity,
    "truncated_file": _truncated_file,
    "dropped_param": _dropped_param,
    "duplicated_param": _duplicated_param,
    "swapped_type": _swapped_type,
    "changed_number": _changed_number,
    "unbalanced_paren": _unbalanced_paren,
    "unbalanced_quote": _unbalanced_quote,
}


def _short(text):
    return text if len(text) <= 24 else text[:21] + "..."


def mutate(data, kind, rng):
    """Returns (mutant bytes, description); the mutant always differs from data.

    Raises StepSyntaxError when a structural kind is asked of a file that does
    not parse as STEP, and ValueError when the file offers no place for the kind.
    """
    for _ in range(100):
        if kind == "byte_edit":
            out, description = byte_edit(data, rng)
        else:
            result = _MUTATORS[kind](StepText(data), rng)
            if result is None:
                raise ValueError("%s finds no place to mutate" % kind)
            text, description = result
            out = text.encode("latin-1")
        if out != data:
            return out, description
    raise ValueError("%s left the file unchanged" % kind)


def _seeded(seed, *parts):
    # A string seed is hashed with SHA-512 by random.Random, so it is stable
    # across runs, platforms and Python versions.
    return random.Random(":".join([str(seed)] + [str(p) for p in parts]))


def _write_corpus(args):
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    rows = []
    for base_argument in args.bases:
        path, _, count = base_argument.partition(":")
        base = Path(path)
        per_kind = int(count) if count else args.per_kind
        data = base.read_bytes()
        StepText(data)  # the base must parse
        for kind in KINDS:
            for index in range(per_kind):
                mutant, description = mutate(data, kind, _seeded(args.seed, base.name, kind, index))
                name = "%s__%s__%02d.step" % (base.stem, kind, index)
                (out / name).write_bytes(mutant)
                rows.append("\t".join([name, base.name, kind, str(index), description]))
    (out / "MUTANTS.tsv").write_text("file\tbase\tkind\tindex\tedit\n" + "\n".join(rows) + "\n",
                                     encoding="latin-1")
    print("%d mutants written to %s" % (len(rows), out))


def _write_one(args):
    data = Path(args.base).read_bytes()
    mutant, description = mutate(data, args.kind, _seeded(args.seed, Path(args.base).name,
                                                          args.kind))
    Path(args.out).write_bytes(mutant)
    print(description)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    corpus = commands.add_parser("corpus", help="write mutants of every kind for each base")
    corpus.add_argument("--out", required=True)
    corpus.add_argument("--seed", default="1")
    corpus.add_argument("--per-kind", type=int, default=5)
    corpus.add_argument("bases", nargs="+", metavar="BASE[:N]")
    corpus.set_defaults(run=_write_corpus)
    one = commands.add_parser("one", help="write one mutant")
    one.add_argument("--kind", required=True, choices=KINDS)
    one.add_argument("--seed", default="1")
    one.add_argument("base")
    one.add_argument("out")
    one.set_defaults(run=_write_one)
    args = parser.parse_args(argv)
    args.run(args)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
