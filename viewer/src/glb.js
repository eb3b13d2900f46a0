// Reads binary glTF containers, the review models and the package previews
// alike: the header, the JSON chunk, the BIN chunk and the triangle meshes
// their accessors describe. Every fault is a ReadError whose message a person
// can act on; `what` names the file in it ("garbage.glb", "package member
// preview.glb").

export class ReadError extends Error {}

const kGlbMagic = 0x46546c67; // "glTF"
const kJsonChunk = 0x4e4f534a;
const kBinChunk = 0x004e4942;
const kComponentBytes = { 5121: 1, 5123: 2, 5125: 4, 5126: 4 };
const kComponentReaders = { 5121: 'getUint8', 5123: 'getUint16', 5125: 'getUint32', 5126: 'getFloat32' };
const kTypeWidths = { SCALAR: 1, VEC3: 3 };

function fail(message) {
  throw new ReadError(message);
}

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

// `bytes` is a Uint8Array (a view into a larger buffer is fine).
export function readGlb(bytes, what) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (bytes.length < 28 || view.getUint32(0, true) !== kGlbMagic || view.getUint32(16, true) !== kJsonChunk) {
    fail(`${what} is not a binary glTF model`);
  }
  if (view.getUint32(4, true) !== 2) fail(`${what} is a glTF model of version ${view.getUint32(4, true)}; only version 2 is read`);
  if (view.getUint32(8, true) !== bytes.length) fail(`${what} is truncated or padded: its header gives a different length`);
  const jsonLength = view.getUint32(12, true);
  const binAt = 20 + jsonLength;
  if (jsonLength % 4 !== 0 || binAt + 8 > bytes.length) fail(`${what} is truncated: its JSON chunk reaches past the end`);
  let json;
  try {
    json = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(bytes.subarray(20, binAt)));
  } catch (error) {
    fail(`the JSON chunk of ${what} is not valid JSON (${error.message})`);
  }
  const binLength = view.getUint32(binAt, true);
  if (view.getUint32(binAt + 4, true) !== kBinChunk || binAt + 8 + binLength > bytes.length) {
    fail(`${what} has a damaged binary chunk`);
  }
  if (!isObject(json)) fail(`${what} has a JSON chunk that is not a glTF document`);
  return { json, what, bin: new DataView(bytes.buffer, bytes.byteOffset + binAt + 8, binLength) };
}

// Returns a reader for `count` elements of an accessor after checking its
// type, its buffer view and that every element lies inside the binary chunk.
function accessorElements(glb, index, types, type) {
  const accessor = glb.json.accessors?.[index];
  const what = `${glb.what} accessor ${index}`;
  if (!isObject(accessor) || !types.includes(accessor.componentType) || accessor.type !== type) {
    fail(`${what} is missing or is not a ${type} of the expected component type`);
  }
  const width = kTypeWidths[type];
  const count = accessor.count;
  const size = kComponentBytes[accessor.componentType];
  const bufferView = glb.json.bufferViews?.[accessor.bufferView];
  if (!Number.isInteger(count) || count < 0 || !isObject(bufferView) || (bufferView.buffer ?? 0) !== 0) {
    fail(`${what} has no valid count or buffer view`);
  }
  const viewOffset = bufferView.byteOffset ?? 0;
  const viewLength = bufferView.byteLength;
  const offset = accessor.byteOffset ?? 0;
  const stride = bufferView.byteStride ?? size * width;
  if (![viewOffset, viewLength, offset, stride].every((v) => Number.isInteger(v) && v >= 0) ||
      viewOffset + viewLength > glb.bin.byteLength || stride < size * width) {
    fail(`${what} has a buffer view that reaches past the binary chunk`);
  }
  if ((viewOffset + offset) % size !== 0 || stride % size !== 0) fail(`${what} is not aligned to its component size`);
  if (count > 0 && offset + stride * (count - 1) + size * width > viewLength) {
    fail(`${what} holds more elements than its buffer view`);
  }
  const read = glb.bin[kComponentReaders[accessor.componentType]].bind(glb.bin);
  return { count, at: (n, c) => read(viewOffset + offset + n * stride + c * size, true) };
}

// The triangle mesh of a mesh primitive: positions, indices (each below the
// vertex count) and the per-axis bounds. `what` names the mesh in messages.
export function readTriangleMesh(glb, primitive, what = glb.what) {
  if (!isObject(primitive) || (primitive.mode ?? 4) !== 4) fail(`${what} has no triangle mesh`);
  const source = accessorElements(glb, primitive.attributes?.POSITION, [5126], 'VEC3');
  const positions = new Float32Array(source.count * 3);
  const min = [Infinity, Infinity, Infinity];
  const max = [-Infinity, -Infinity, -Infinity];
  for (let n = 0; n < source.count; ++n) {
    for (let c = 0; c < 3; ++c) {
      const value = source.at(n, c);
      if (!Number.isFinite(value)) fail(`${what} has a vertex position that is not a finite number`);
      positions[n * 3 + c] = value;
      if (value < min[c]) min[c] = value;
      if (value > max[c]) max[c] = value;
    }
  }
  const corners = accessorElements(glb, primitive.indices, [5121, 5123, 5125], 'SCALAR');
  if (corners.count === 0 || corners.count % 3 !== 0) fail(`${what} has no whole triangles`);
  const indices = new Uint32Array(corners.count);
  for (let n = 0; n < corners.count; ++n) {
    const index = corners.at(n, 0);
    if (index >= source.count) fail(`${what} has a triangle index past its ${source.count} vertices`);
    indices[n] = index;
  }
  return { positions, indices, min, max };
}
