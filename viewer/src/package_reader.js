// Opens a published .peltogeom package held in memory: the stored ZIP, the
// manifest, the glTF preview and the voxel grids of every baked mounting angle.
// A package comes from elsewhere and may be damaged, so every fault ends in a
// PackageError whose message tells a person what is wrong, and every size is
// checked against the bytes at hand before anything is allocated for it.
import { ReadError, readGlb, readTriangleMesh } from './glb.js';

export class PackageError extends Error {
  constructor(message) {
    super(message);
    this.name = 'PackageError';
  }
}

const kSchema = 'pelto.geometry.asset.v3';
const kManifest = 'manifest.json';
const kMaxCells = 64_000_000;
const kLevelCellMm = { search: 50, refine: 30 };
const kVoxelName = /^(search|refine)_(\d+)mm_[0-9a-f]{64}\.pvox$/;
const kVoxelMagic = 'PLGVOX1\0';
const kVoxelHeader = 60;

const utf8 = new TextDecoder('utf-8', { fatal: true });

function fail(message) {
  throw new PackageError(message);
}

function decodeUtf8(bytes, what) {
  try {
    return utf8.decode(bytes);
  } catch {
    return fail(`${what} is not valid UTF-8 text`);
  }
}

function parseJson(bytes, what) {
  const text = decodeUtf8(bytes, what);
  try {
    return { text, value: JSON.parse(text) };
  } catch (error) {
    return fail(`${what} is not valid JSON (${error.message})`);
  }
}

// ---- CRC-32 (the ZIP polynomial 0xEDB88320) ----

const kCrcTable = Uint32Array.from({ length: 256 }, (_, c) => {
  for (let bit = 0; bit < 8; ++bit) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});

function crc32(bytes) {
  let crc = 0xffffffff;
  for (let i = 0; i < bytes.length; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xff] ^ (crc >>> 8);
  return (crc ^ 0xffffffff) >>> 0;
}

// ---- ZIP: end record, central directory, local headers ----

const kEndSignature = 0x06054b50;
const kCentralSignature = 0x02014b50;
const kLocalSignature = 0x04034b50;
const kZip64Locator = 0x07064b50;
const kNoZip64 = 'not a package: the ZIP archive uses ZIP64 extensions, which packages never need';

function findEndRecord(view) {
  const last = view.byteLength - 22;
  const first = Math.max(0, view.byteLength - 65557);
  for (let at = last; at >= first; --at) {
    // The comment length must reach exactly to the end, so stray signature
    // bytes inside member data or the comment are not taken for the record.
    if (view.getUint32(at, true) === kEndSignature && at + 22 + view.getUint16(at + 20, true) === view.byteLength) {
      return at;
    }
  }
  return fail('not a package: the file is not a ZIP archive');
}

function readEndRecord(view) {
  const at = findEndRecord(view);
  if (view.getUint16(at + 4, true) !== 0 || view.getUint16(at + 6, true) !== 0 ||
      view.getUint16(at + 8, true) !== view.getUint16(at + 10, true)) {
    fail('not a package: the ZIP archive spans several disks');
  }
  const count = view.getUint16(at + 10, true);
  const size = view.getUint32(at + 12, true);
  const offset = view.getUint32(at + 16, true);
  if (count === 0xffff || size === 0xffffffff || offset === 0xffffffff ||
      (at >= 20 && view.getUint32(at - 20, true) === kZip64Locator)) {
    fail(kNoZip64);
  }
  if (offset + size > at) fail('not a package: the ZIP central directory lies outside the file');
  return { count, offset, end: offset + size };
}

function checkMemberName(name, seen) {
  if (name === '' || name.includes('/') || name.includes('\\') || name.includes('..')) {
    fail(`package member name "${name}" is not allowed; packages hold no folders and no ".." in names`);
  }
  if (seen.has(name)) fail(`package member ${name} appears twice`);
  seen.add(name);
}

function readCentralEntry(view, bytes, at, end, seen) {
  if (at + 46 > end || view.getUint32(at, true) !== kCentralSignature) {
    fail('not a package: the ZIP central directory is damaged');
  }
  const nameLength = view.getUint16(at + 28, true);
  const next = at + 46 + nameLength + view.getUint16(at + 30, true) + view.getUint16(at + 32, true);
  if (next > end) fail('not a package: the ZIP central directory is damaged');
  const name = decodeUtf8(bytes.subarray(at + 46, at + 46 + nameLength), 'a package member name');
  checkMemberName(name, seen);
  const [crc, compressedSize, size] = [16, 20, 24].map((offset) => view.getUint32(at + offset, true));
  const localOffset = view.getUint32(at + 42, true);
  if (compressedSize === 0xffffffff || size === 0xffffffff || localOffset === 0xffffffff) fail(kNoZip64);
  if (view.getUint16(at + 34, true) !== 0) fail('not a package: the ZIP archive spans several disks');
  checkStored(name, view.getUint16(at + 8, true), view.getUint16(at + 10, true));
  if (compressedSize !== size) fail(`package member ${name} is compressed; packages store members uncompressed`);
  const nameBytes = bytes.subarray(at + 46, at + 46 + nameLength);
  return { entry: { name, crc, size, localOffset, nameBytes }, next };
}

function checkStored(name, flags, method) {
  if (flags & 0x41) fail(`package member ${name} is encrypted; packages are never encrypted`);
  if (method !== 0) fail(`package member ${name} is compressed; packages store members uncompressed`);
}

// Finds where a member's data starts from its local header; the sizes there
// may be zero (a data descriptor follows the data), so the central ones count.
function locateData(view, entry, directoryStart) {
  const at = entry.localOffset;
  if (at + 30 > directoryStart || view.getUint32(at, true) !== kLocalSignature) {
    fail(`package member ${entry.name} lies outside the archive or has a damaged local header`);
  }
  checkStored(entry.name, view.getUint16(at + 6, true), view.getUint16(at + 8, true));
  const nameLength = view.getUint16(at + 26, true);
  const start = at + 30 + nameLength + view.getUint16(at + 28, true);
  const localName = new Uint8Array(view.buffer, view.byteOffset + at + 30, Math.min(nameLength, directoryStart - at - 30));
  if (nameLength !== entry.nameBytes.length || !localName.every((b, i) => b === entry.nameBytes[i])) {
    fail(`package member ${entry.name} has a local header that names a different member`);
  }
  if (start + entry.size > directoryStart) fail(`package member ${entry.name} lies outside the archive`);
  return start;
}

function readZip(bytes) {
  if (bytes.byteLength < 22) fail('not a package: the file is not a ZIP archive');
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const directory = readEndRecord(view);
  const entries = [];
  const seen = new Set();
  let at = directory.offset;
  for (let n = 0; n < directory.count; ++n) {
    const { entry, next } = readCentralEntry(view, bytes, at, directory.end, seen);
    entries.push(entry);
    at = next;
  }
  if (at !== directory.end) fail('not a package: the ZIP central directory holds more than its end record counts');
  for (const entry of entries) entry.start = locateData(view, entry, directory.offset);
  // Members must not overlap: each one's data ends before the next header.
  const byOffset = [...entries].sort((a, b) => a.localOffset - b.localOffset);
  for (let n = 0; n + 1 < byOffset.length; ++n) {
    if (byOffset[n].start + byOffset[n].size > byOffset[n + 1].localOffset) {
      fail(`package members ${byOffset[n].name} and ${byOffset[n + 1].name} overlap`);
    }
  }
  return entries.map((entry) => {
    const data = bytes.subarray(entry.start, entry.start + entry.size);
    if (crc32(data) !== entry.crc) fail(`package member ${entry.name} is damaged: its CRC-32 checksum does not match`);
    return { name: entry.name, size: entry.size, bytes: data };
  });
}

// ---- manifest ----

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

function parseManifest(member) {
  const { text, value: manifest } = parseJson(member.bytes, 'package member manifest.json');
  if (!isObject(manifest)) fail('package member manifest.json is not a JSON object');
  if (manifest.schema !== kSchema) {
    fail(`the package manifest has schema ${JSON.stringify(manifest.schema)}; this viewer reads ${kSchema}`);
  }
  if (manifest.units !== 'mm') fail('the package manifest does not give its units as millimetres ("mm")');
  if (!isObject(manifest.states?.cycleSolid)) fail('the package manifest lacks states.cycleSolid');
  const orientations = manifest.mountFrame?.orientations;
  if (!Array.isArray(orientations) || orientations.length === 0) {
    fail('the package manifest lists no mounting orientations (mountFrame.orientations)');
  }
  return { manifest, text };
}

function checkOrientation(entry, index, gridsOfAngle) {
  const what = `mounting orientation ${index + 1} of the package manifest`;
  if (!isObject(entry)) fail(`${what} is not an object`);
  const { angleMilliDeg: angle, gridAngleMilliDeg: gridAngle } = entry;
  if (!Number.isInteger(angle) || angle < 0 || angle >= 360000) fail(`${what} has no angle between 0 and 360 degrees`);
  if (gridAngle !== angle % 90000) fail(`${what} (${angle / 1000}°) does not use the grids of ${(angle % 90000) / 1000}°`);
  for (const level of ['search', 'refine']) {
    const name = entry[level];
    const match = typeof name === 'string' ? kVoxelName.exec(name) : null;
    if (!match || match[1] !== level) fail(`${what} does not name a ${level} voxel grid`);
  }
  const key = `${entry.search}\n${entry.refine}`;
  if ((gridsOfAngle.get(gridAngle) ?? key) !== key) {
    fail(`the package manifest names different voxel grids for orientations sharing the grid angle ${gridAngle / 1000}°`);
  }
  gridsOfAngle.set(gridAngle, key);
}

// Every member has a role: the manifest, the state's mesh, preview and
// analytic members, and the voxel grids the orientations name.
function checkMembers(members, manifest) {
  const present = new Set(members.map((m) => m.name));
  const state = manifest.states.cycleSolid;
  const fixed = [kManifest];
  for (const key of ['preview', 'mesh', 'analytic']) {
    if (key === 'analytic' && state.analytic === undefined) continue;
    if (typeof state[key] !== 'string' || !present.has(state[key])) {
      fail(`the package manifest names ${JSON.stringify(state[key])} as its ${key}, but the package has no such member`);
    }
    fixed.push(state[key]);
  }
  const gridsOfAngle = new Map();
  manifest.mountFrame.orientations.forEach((entry, n) => checkOrientation(entry, n, gridsOfAngle));
  const voxels = new Set();
  for (const entry of manifest.mountFrame.orientations) {
    for (const name of [entry.search, entry.refine]) {
      if (!present.has(name)) fail(`the package manifest names voxel grid ${name}, but the package has no such member`);
      voxels.add(name);
    }
  }
  const expected = [...fixed, ...[...voxels].sort()];
  const known = new Set(expected);
  const stranger = members.find((member) => !known.has(member.name));
  if (stranger) fail(`package member ${stranger.name} is not named by the manifest`);
  members.forEach((member, n) => {
    if (member.name !== expected[n]) fail(`package member ${member.name} is out of order; ${expected[n]} belongs in its place`);
  });
}

// ---- preview: binary glTF ----

function readPreview(member) {
  try {
    const what = `package member ${member.name}`;
    const glb = readGlb(member.bytes, what);
    return readTriangleMesh(glb, glb.json.meshes?.[0]?.primitives?.[0], what);
  } catch (error) {
    if (error instanceof ReadError) fail(error.message);
    throw error;
  }
}

// ---- voxel grids ----

// Besides what the viewer reads, a grid carries its occupancy as `bits`, a
// Uint32Array of the words' little-endian halves, which boundaryCells scans.
function readGrid(member) {
  const name = member.name;
  const what = `voxel member ${name}`;
  const match = kVoxelName.exec(name);
  if (!match) fail(`package member ${name} is not named like a voxel grid`);
  const level = match[1];
  const bytes = member.bytes;
  if (bytes.length < kVoxelHeader) fail(`${what} is truncated`);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (String.fromCharCode(...bytes.subarray(0, 8)) !== kVoxelMagic) fail(`${what} is not a voxel grid`);
  if (view.getUint32(8, true) !== 1) fail(`${what} has format version ${view.getUint32(8, true)}; this viewer reads version 1`);
  const cellSizeMm = view.getUint32(12, true);
  if (Number(match[2]) !== kLevelCellMm[level] || cellSizeMm !== kLevelCellMm[level]) {
    fail(`${what} declares a cell size of ${cellSizeMm} mm, but ${level} grids named ${match[2]} mm use ${kLevelCellMm[level]} mm`);
  }
  const originCell = [16, 20, 24].map((at) => view.getInt32(at, true));
  const dims = [28, 32, 36].map((at) => view.getUint32(at, true));
  const cells = dims[0] * dims[1] * dims[2];
  if (dims.includes(0) || cells > kMaxCells) fail(`${what} has dimensions ${dims.join('×')}; 1 to ${kMaxCells} cells are allowed`);
  const mode = view.getUint32(40, true);
  if (mode > 1) fail(`${what} has an unknown mode ${mode}`);
  const distanceErrorMm = view.getFloat64(44, true);
  if (!(distanceErrorMm >= 0 && Number.isFinite(distanceErrorMm))) fail(`${what} has an invalid distance error`);
  const wordCount = Math.ceil(cells / 64);
  if (view.getUint32(56, true) !== 0 || view.getUint32(52, true) !== wordCount) {
    fail(`${what} declares a word count that does not fit its ${dims.join('×')} cells`);
  }
  const expected = kVoxelHeader + 8 * wordCount;
  if (bytes.length < expected) fail(`${what} is truncated`);
  if (bytes.length > expected) fail(`${what} has ${bytes.length - expected} bytes past its occupancy words`);
  // Little-endian halves in order: bit b of the grid is bit (b & 31) of bits[b >>> 5].
  const bits = new Uint32Array(wordCount * 2);
  for (let n = 0; n < bits.length; ++n) bits[n] = view.getUint32(kVoxelHeader + 4 * n, true);
  checkPadding(bits, cells, what);
  const [nx, ny, nz] = dims;
  return {
    name, level, cellSizeMm, originCell, dims, bits, solid: mode === 1, distanceErrorMm, occupiedCount: countBits(bits),
    isOccupied(i, j, k) {
      if (!(i >= 0 && i < nx && j >= 0 && j < ny && k >= 0 && k < nz)) return false;
      const b = (j * nz + k) * nx + i;
      return ((bits[b >>> 5] >>> (b & 31)) & 1) === 1;
    },
  };
}

function checkPadding(bits, cells, what) {
  for (let b = cells; b < bits.length * 32; ++b) {
    if ((bits[b >>> 5] >>> (b & 31)) & 1) fail(`${what} has padding bits set past its last cell`);
  }
}

function countBits(bits) {
  let total = 0;
  for (let n = 0; n < bits.length; ++n) {
    let v = bits[n] - ((bits[n] >>> 1) & 0x55555555);
    v = (v & 0x33333333) + ((v >>> 2) & 0x33333333);
    total += (((v + (v >>> 4)) & 0x0f0f0f0f) * 0x01010101) >>> 24;
  }
  return total;
}

// 32 cells of the grid starting at bit b (b ≥ -31); bits outside the words read as empty.
function window32(bits, b) {
  if (b < 0) return window32(bits, 0) << -b;
  const w = b >>> 5;
  const shift = b & 31;
  const low = w < bits.length ? bits[w] : 0;
  if (shift === 0) return low;
  return (low >>> shift) | ((w + 1 < bits.length ? bits[w + 1] : 0) << (32 - shift));
}

// The occupied cells a person sees: those with a face toward an empty cell or
// the outside of the grid. Rows along x are taken 32 cells at a time and
// compared with their six neighbouring windows as whole words, so solid
// interiors and empty space cost a few word operations per 32 cells and
// nothing is allocated per cell.
export function boundaryCells(grid, limit = Infinity) {
  const cap = Number.isFinite(limit) ? Math.max(0, Math.floor(limit)) : Number.MAX_SAFE_INTEGER;
  const [nx, ny, nz] = grid.dims;
  const [ox, oy, oz] = grid.originCell;
  const bits = grid.bits;
  const layer = nx * nz;
  let cells = new Int32Array(3 * Math.min(cap, grid.occupiedCount, 4096));
  let count = 0;
  let total = 0;
  for (let j = 0; j < ny; ++j) {
    for (let k = 0; k < nz; ++k) {
      const row = (j * nz + k) * nx;
      for (let p = 0; p < nx; p += 32) {
        const length = Math.min(32, nx - p);
        const inside = length === 32 ? -1 : (1 << length) - 1;
        const occupied = window32(bits, row + p) & inside;
        if (occupied === 0) continue;
        let covered = window32(bits, row + p - 1) & window32(bits, row + p + 1);
        if (p === 0) covered &= ~1;
        if (p + length === nx) covered &= ~(1 << (length - 1));
        covered &= k > 0 ? window32(bits, row + p - nx) : 0;
        covered &= k < nz - 1 ? window32(bits, row + p + nx) : 0;
        covered &= j > 0 ? window32(bits, row + p - layer) : 0;
        covered &= j < ny - 1 ? window32(bits, row + p + layer) : 0;
        for (let seen = occupied & ~covered; seen !== 0; seen &= seen - 1) {
          ++total;
          if (count >= cap) continue;
          if (3 * count === cells.length) {
            const grown = new Int32Array(Math.min(cells.length * 2, 3 * Math.min(cap, grid.occupiedCount)));
            grown.set(cells);
            cells = grown;
          }
          cells[3 * count] = ox + p + 31 - Math.clz32(seen & -seen);
          cells[3 * count + 1] = oy + j;
          cells[3 * count + 2] = oz + k;
          ++count;
        }
      }
    }
  }
  return { cells: cells.subarray(0, 3 * count), count, total, truncated: total > count };
}

// ---- the package ----

function asBytes(input) {
  if (input instanceof ArrayBuffer) return new Uint8Array(input);
  if (ArrayBuffer.isView(input)) return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  return fail('not a package: no file contents were given');
}

function readChecked(input) {
  const members = readZip(asBytes(input));
  const byName = new Map(members.map((m) => [m.name, m]));
  if (!byName.has(kManifest)) fail(`package member ${kManifest} is missing`);
  const { manifest, text } = parseManifest(byName.get(kManifest));
  checkMembers(members, manifest);
  const preview = readPreview(byName.get(manifest.states.cycleSolid.preview));
  const grids = new Map();
  const orientations = manifest.mountFrame.orientations.map((entry) => {
    for (const name of [entry.search, entry.refine]) {
      if (!grids.has(name)) grids.set(name, readGrid(byName.get(name)));
    }
    const [angleDeg, gridAngleDeg] = [entry.angleMilliDeg / 1000, entry.gridAngleMilliDeg / 1000];
    return { angleDeg, gridAngleDeg, search: grids.get(entry.search), refine: grids.get(entry.refine) };
  });
  return { members, manifest, manifestText: text, preview, grids, orientations };
}

// Opens a package from its bytes (an ArrayBuffer or a view of one). The
// members' bytes are views into the given buffer, not copies.
export function readPackage(arrayBuffer) {
  try {
    return readChecked(arrayBuffer);
  } catch (error) {
    if (error instanceof PackageError) throw error;
    // A check this reader lacks: still a damaged package to the person, not a crash.
    throw new PackageError(`the package could not be read: ${error.message}`);
  }
}
