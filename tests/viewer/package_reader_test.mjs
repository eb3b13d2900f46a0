// Reads a package the program has just prepared from the bundled example and
// compares what the viewer's reader makes of it with an independent reading
// (Python's zipfile for the archive, the glTF JSON for the preview, the
// preview's vertices for the voxel grids); then damages the package in the
// ways a file in the wild gets damaged and expects a readable refusal.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { PackageError, boundaryCells, readPackage } from '../../viewer/src/package_reader.js';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const executable = process.env.PL_EXECUTABLE;
const skip = executable ? false : 'skipped: PL_EXECUTABLE not set';

let prepared;
function preparedPackage() {
  if (prepared) return prepared;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'package-reader-'));
  const output = path.join(dir, 'mold_shell.peltogeom');
  const template = fs.readFileSync(path.join(root, 'examples/mold_shell.request.json'), 'utf8');
  const request = template.replace('@INPUT@', path.join(root, 'examples/mold_shell.obj')).replace('@OUTPUT@', output);
  fs.writeFileSync(path.join(dir, 'request.json'), request);
  execFileSync(executable, ['prepare', path.join(dir, 'request.json')], { stdio: 'ignore' });
  prepared = { dir, file: output, bytes: fs.readFileSync(output), request: JSON.parse(request) };
  return prepared;
}
after(() => prepared && fs.rmSync(prepared.dir, { recursive: true, force: true }));

// ---- a small stored-ZIP writer, so damaged variants carry valid checksums ----

const crcTable = Array.from({ length: 256 }, (_, n) => {
  for (let k = 0; k < 8; ++k) n = n & 1 ? 0xedb88320 ^ (n >>> 1) : n >>> 1;
  return n >>> 0;
});
const crc32 = (data) => (data.reduce((c, b) => crcTable[(c ^ b) & 0xff] ^ (c >>> 8), ~0) ^ ~0) >>> 0;

// entries: [{name, data, method?, crc?, descriptor?}]
function writeZip(entries) {
  const locals = [];
  const centrals = [];
  let offset = 0;
  for (const { name, data, method = 0, crc = crc32(data), descriptor = false } of entries) {
    const nameBytes = Buffer.from(name);
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0);
    local.writeUInt16LE(20, 4);
    local.writeUInt16LE(descriptor ? 8 : 0, 6);
    local.writeUInt16LE(method, 8);
    if (!descriptor) [crc, data.length, data.length].forEach((v, n) => local.writeUInt32LE(v, 14 + 4 * n));
    local.writeUInt16LE(nameBytes.length, 26);
    const trailer = Buffer.alloc(descriptor ? 16 : 0);
    if (descriptor) [0x08074b50, crc, data.length, data.length].forEach((v, n) => trailer.writeUInt32LE(v, 4 * n));
    const central = Buffer.alloc(46);
    central.writeUInt32LE(0x02014b50, 0);
    central.writeUInt16LE(20, 6);
    central.writeUInt16LE(descriptor ? 8 : 0, 8);
    central.writeUInt16LE(method, 10);
    [crc, data.length, data.length].forEach((v, n) => central.writeUInt32LE(v, 16 + 4 * n));
    central.writeUInt16LE(nameBytes.length, 28);
    central.writeUInt32LE(offset, 42);
    locals.push(local, nameBytes, data, trailer);
    centrals.push(central, nameBytes);
    offset += 30 + nameBytes.length + data.length + trailer.length;
  }
  const directory = Buffer.concat(centrals);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(entries.length, 8);
  end.writeUInt16LE(entries.length, 10);
  end.writeUInt32LE(directory.length, 12);
  end.writeUInt32LE(offset, 16);
  return Buffer.concat([...locals, directory, end]);
}

function membersOf(bytes) {
  return readPackage(bytes).members.map((m) => ({ name: m.name, data: Buffer.from(m.bytes) }));
}

// Rebuilds the package with the member named by `prefix` passed through `edit`.
function withMember(prefix, edit) {
  return (members) => writeZip(members.map((m) => (m.name.startsWith(prefix) ? { ...m, data: edit(Buffer.from(m.data)) } : m)));
}

// A voxel member of the given dimensions whose cell b is occupied when filled(b).
function voxelMember(dims, filled) {
  const cells = dims[0] * dims[1] * dims[2];
  const words = Math.ceil(cells / 64);
  const data = Buffer.alloc(60 + 8 * words);
  data.write('PLGVOX1\0', 0, 'latin1');
  [1, 30, 0, 0, 0, ...dims, 1].forEach((v, n) => data.writeUInt32LE(v, 8 + 4 * n));
  data.writeBigUInt64LE(BigInt(words), 52);
  for (let b = 0; b < cells; ++b) if (filled(b)) data[60 + (b >> 3)] |= 1 << (b & 7);
  return data;
}

function glbJson(data) {
  return JSON.parse(data.subarray(20, 20 + data.readUInt32LE(12)).toString());
}

// ---- the prepared package read back ----

test('the reader agrees with an independent reading of a prepared package', { skip }, () => {
  const { file, bytes, request } = preparedPackage();
  const pkg = readPackage(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length));
  const listing = JSON.parse(execFileSync('python3', ['-c',
    'import json,sys,zipfile; print(json.dumps([[i.filename,i.file_size,i.compress_type] for i in zipfile.ZipFile(sys.argv[1]).infolist()]))',
    file]));
  assert.deepEqual(pkg.members.map((m) => [m.name, m.size, 0]), listing);
  assert.equal(pkg.manifest.schema, 'pelto.geometry.asset.v3');
  assert.equal(pkg.manifestText, Buffer.from(pkg.members[0].bytes).toString());

  const preview = glbJson(Buffer.from(pkg.members.find((m) => m.name === 'preview.glb').bytes));
  const position = preview.accessors[preview.meshes[0].primitives[0].attributes.POSITION];
  assert.equal(pkg.preview.positions.length, 3 * position.count);
  assert.equal(pkg.preview.indices.length, 3 * pkg.manifest.validation.triangleCount);
  assert.deepEqual([pkg.preview.min, pkg.preview.max], [position.min, position.max]);

  assert.deepEqual(pkg.orientations.map((o) => o.angleDeg), request.allowedOrientationsDeg);
  for (const o of pkg.orientations) {
    assert.equal(o.gridAngleDeg, o.angleDeg % 90);
    assert.deepEqual([o.search.level, o.search.cellSizeMm, o.refine.level, o.refine.cellSizeMm], ['search', 50, 'refine', 30]);
  }
  for (const member of pkg.members.filter((m) => m.name.endsWith('.pvox'))) {
    const raw = Buffer.from(member.bytes);
    const dims = [28, 32, 36].map((at) => raw.readUInt32LE(at));
    assert.deepEqual(pkg.grids.get(member.name).dims, dims);
    assert.equal(raw.length, 60 + 8 * Math.ceil(dims[0] * dims[1] * dims[2] / 64));
  }
});

// The grids are conservative: rotated by the grid angle about +Y, every
// preview vertex lies in an occupied cell, and every occupied cell touches
// the rotated bounding box. A wrong axis order or origin breaks both.
test('voxel grids cover the preview rotated by their grid angle', { skip }, () => {
  const pkg = readPackage(preparedPackage().bytes);
  const p = pkg.preview.positions;
  for (const { gridAngleDeg, search, refine } of pkg.orientations) {
    const c = Math.cos(gridAngleDeg * Math.PI / 180);
    const s = Math.sin(gridAngleDeg * Math.PI / 180);
    const rotated = [];
    for (let n = 0; n < p.length; n += 3) rotated.push([p[n] * c + p[n + 2] * s, p[n + 1], -p[n] * s + p[n + 2] * c]);
    const lo = [0, 1, 2].map((a) => Math.min(...rotated.map((v) => v[a])));
    const hi = [0, 1, 2].map((a) => Math.max(...rotated.map((v) => v[a])));
    for (const grid of [search, refine]) {
      const size = grid.cellSizeMm;
      const tolerance = 1e-3 + grid.distanceErrorMm;
      const lattice = (v, a, d) => Math.floor((v[a] + d) / size) - grid.originCell[a];
      for (const v of rotated) {
        const candidates = [-tolerance, tolerance].flatMap((dx) => [-tolerance, tolerance].flatMap((dy) =>
          [-tolerance, tolerance].map((dz) => [lattice(v, 0, dx), lattice(v, 1, dy), lattice(v, 2, dz)])));
        assert.ok(candidates.some(([i, j, k]) => grid.isOccupied(i, j, k)), `${grid.name}: vertex ${v} is in no occupied cell`);
      }
      const [nx, ny, nz] = grid.dims;
      for (let j = 0; j < ny; ++j) for (let k = 0; k < nz; ++k) for (let i = 0; i < nx; ++i) {
        if (!grid.isOccupied(i, j, k)) continue;
        const cell = [i, j, k].map((l, a) => (grid.originCell[a] + l) * size);
        assert.ok(cell.every((low, a) => low <= hi[a] + tolerance && low + size >= lo[a] - tolerance),
          `${grid.name}: occupied cell ${[i, j, k]} lies away from the model`);
      }
    }
  }
});

// Also on a random grid wider than one 32-cell word, which the prepared grids are not.
test('boundary cells are the occupied cells with an exposed face', { skip }, () => {
  const bytes = preparedPackage().bytes;
  const random = withMember('refine_', () => voxelMember([70, 4, 5], (b) => (b * 2654435761) % 7 < 5))(membersOf(bytes));
  for (const grid of [...readPackage(bytes).grids.values(), ...readPackage(random).grids.values()]) {
    const [nx, ny, nz] = grid.dims;
    const [ox, oy, oz] = grid.originCell;
    const exposed = (i, j, k) => grid.isOccupied(i, j, k) &&
      [[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]].some(([a, b, c]) => !grid.isOccupied(i + a, j + b, k + c));
    let expected = 0;
    for (let j = 0; j < ny; ++j) for (let k = 0; k < nz; ++k) for (let i = 0; i < nx; ++i) expected += exposed(i, j, k);
    const all = boundaryCells(grid, 1e9);
    assert.deepEqual([all.count, all.total, all.truncated], [expected, expected, false]);
    for (let n = 0; n < all.count; ++n) {
      const [x, y, z] = all.cells.subarray(3 * n, 3 * n + 3);
      assert.ok(exposed(x - ox, y - oy, z - oz), `${grid.name}: cell ${[x, y, z]} is not on the boundary`);
    }
    const few = boundaryCells(grid, 5);
    assert.deepEqual([few.count, few.total, few.truncated], [5, expected, true]);
    assert.deepEqual(few.cells, all.cells.subarray(0, 15));
  }
});

test('members behind data descriptors are read from the central sizes', { skip }, () => {
  const members = membersOf(preparedPackage().bytes);
  const pkg = readPackage(writeZip(members.map((m) => ({ ...m, descriptor: true }))));
  assert.deepEqual(pkg.members.map((m) => m.size), members.map((m) => m.data.length));
});

test('a full 400×400×400 grid shows only its shell', { skip }, () => {
  const full = voxelMember([400, 400, 400], () => false).fill(0xff, 60);
  const bytes = withMember('refine_', () => full)(membersOf(preparedPackage().bytes));
  const grid = [...readPackage(bytes).grids.values()].find((g) => g.dims[0] === 400);
  assert.equal(grid.occupiedCount, 64_000_000);
  const shell = boundaryCells(grid, 1000);
  assert.deepEqual([shell.count, shell.total, shell.truncated], [1000, 400 ** 3 - 398 ** 3, true]);
});

// ---- damaged packages ----

const eocd = (bytes) => bytes.length - 22;
const damages = [
  ['garbage', () => Buffer.from(Array.from({ length: 4096 }, (_, n) => (n * 131 + 7) & 0xff)), 'not a ZIP archive'],
  ['truncated', (m, b) => b.subarray(0, b.length >> 1), 'not a ZIP archive'],
  ['end record signature flipped', (m, b) => { const c = Buffer.from(b); c[eocd(c)] ^= 0xff; return c; }, 'not a ZIP archive'],
  ['ZIP64 offset', (m, b) => { const c = Buffer.from(b); c.writeUInt32LE(0xffffffff, eocd(c) + 16); return c; }, 'ZIP64'],
  ['compressed member', (m) => writeZip(m.map((e) => (e.name === 'preview.glb' ? { ...e, method: 8 } : e))),
    'preview.glb is compressed; packages store members uncompressed'],
  ['bad CRC', (m) => writeZip(m.map((e) => (e.name === 'collision.pmesh' ? { ...e, crc: 1 } : e))), 'collision.pmesh is damaged'],
  ['missing manifest', (m) => writeZip(m.slice(1)), 'package member manifest.json is missing'],
  ['grid the manifest names is absent', (m) => writeZip(m.filter((e) => !e.name.startsWith('search_'))), 'no such member'],
  ['member no one names', (m) => writeZip([...m, { name: 'notes.txt', data: Buffer.from('x') }]), 'notes.txt is not named by the manifest'],
  ['duplicate member', (m) => writeZip([...m, m[1]]), 'preview.glb appears twice'],
  ['folder in name', (m) => writeZip([{ name: '../evil', data: Buffer.alloc(1) }, ...m]), 'is not allowed'],
  ['wrong schema', withMember('manifest.json', (d) => Buffer.from(d.toString().replace('asset.v3', 'asset.v2'))), 'this viewer reads'],
  ['preview magic', withMember('preview.glb', (d) => { d[0] ^= 1; return d; }), 'preview.glb is not a binary glTF model'],
  ['preview index past vertices', withMember('preview.glb', (d) => {
    const json = glbJson(d);
    const indices = json.accessors[json.meshes[0].primitives[0].indices];
    const at = 28 + d.readUInt32LE(12) + json.bufferViews[indices.bufferView].byteOffset;
    d.writeUInt32LE(json.accessors[json.meshes[0].primitives[0].attributes.POSITION].count, at);
    return d;
  }), 'triangle index past'],
  ['voxel padding bit', withMember('refine_', (d) => { d[d.length - 1] |= 0x80; return d; }), 'padding bits set'],
  ['voxel cell size against name', withMember('search_', (d) => { d.writeUInt32LE(30, 12); return d; }), 'declares a cell size of 30 mm'],
  ['voxel truncated', withMember('search_', (d) => d.subarray(0, d.length - 8)), 'is truncated'],
  ['voxel magic', withMember('search_', (d) => { d[0] = 0x58; return d; }), 'is not a voxel grid'],
];

for (const [what, damage, phrase] of damages) {
  test(`damaged package: ${what}`, { skip }, () => {
    const bytes = preparedPackage().bytes;
    assert.throws(() => readPackage(damage(membersOf(bytes), bytes)),
      (error) => error instanceof PackageError && error.message.includes(phrase), `expected a refusal mentioning "${phrase}"`);
  });
}

// Random damage anywhere, with checksums repaired so it reaches every parser:
// the reader either succeeds or refuses, and never fails in another way.
test('random damage ends in a package or a PackageError', { skip }, () => {
  const bytes = preparedPackage().bytes;
  const members = membersOf(bytes);
  let seed = 12345;
  const random = (n) => ((seed = (seed * 1103515245 + 12345) % 2147483648) % n);
  for (let round = 0; round < 600; ++round) {
    const target = members[random(members.length)];
    const data = Buffer.from(target.data);
    const header = Math.min(data.length, round % 2 ? 64 : data.length);
    for (let flips = 1 + random(4); flips > 0; --flips) data[random(header)] ^= 1 << random(8);
    const variants = [writeZip(members.map((m) => (m === target ? { ...m, data } : m))), bytes.subarray(0, random(bytes.length))];
    for (const variant of variants) {
      try {
        readPackage(variant);
      } catch (error) {
        // The reader's last-resort wrapping of an unexpected error counts as a fault here.
        assert.ok(error instanceof PackageError && !error.message.startsWith('the package could not be read'),
          `${target.name}: ${error.stack}`);
      }
    }
  }
});
