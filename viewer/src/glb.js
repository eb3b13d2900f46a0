// Reads binary glTF containers: the header, the JSON chunk and the BIN chunk,
// and the float VEC3 / uint32 SCALAR accessors the program writes. Every fault
// is a ReadError whose message a person can act on.

export class ReadError extends Error {}

const kMagic = 0x46546c67; // "glTF"
const kJsonChunk = 0x4e4f534a;
const kBinChunk = 0x004e4942;

// `what` names the file in messages ("this file", "package member preview.glb").
export function readGlb(arrayBuffer, what) {
  const view = new DataView(arrayBuffer);
  if (arrayBuffer.byteLength < 20 || view.getUint32(0, true) !== kMagic) {
    throw new ReadError(`${what} is not a binary glTF model: it does not begin with the glTF header`);
  }
  if (view.getUint32(4, true) !== 2) {
    throw new ReadError(`${what} is a glTF model of version ${view.getUint32(4, true)}; only version 2 is read`);
  }
  const total = view.getUint32(8, true);
  if (total !== arrayBuffer.byteLength) {
    throw new ReadError(`${what} is truncated or padded: its header declares ${total} bytes, the file has ${arrayBuffer.byteLength}`);
  }
  const jsonLength = view.getUint32(12, true);
  if (view.getUint32(16, true) !== kJsonChunk || 20 + jsonLength > total) {
    throw new ReadError(`${what} has no readable JSON chunk`);
  }
  let json;
  try {
    json = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(new Uint8Array(arrayBuffer, 20, jsonLength)));
  } catch {
    throw new ReadError(`${what} has a JSON chunk that is not valid JSON`);
  }
  if (json === null || typeof json !== 'object' || Array.isArray(json)) {
    throw new ReadError(`${what} has a JSON chunk that is not a glTF document`);
  }
  let bin = new Uint8Array(0);
  const binAt = 20 + jsonLength;
  if (binAt + 8 <= total) {
    const binLength = view.getUint32(binAt, true);
    if (view.getUint32(binAt + 4, true) !== kBinChunk || binAt + 8 + binLength > total) {
      throw new ReadError(`${what} has a damaged binary chunk`);
    }
    bin = new Uint8Array(arrayBuffer, binAt + 8, binLength);
  }
  return { json, bin, what };
}

function bufferViewBytes(glb, accessor, elementBytes) {
  const view = glb.json.bufferViews?.[accessor.bufferView];
  const count = accessor.count;
  if (!view || !Number.isInteger(count) || count < 0) {
    throw new ReadError(`${glb.what} names a buffer view that does not exist`);
  }
  const offset = (view.byteOffset ?? 0) + (accessor.byteOffset ?? 0);
  const length = count * elementBytes;
  if (!Number.isInteger(offset) || offset < 0 || offset + length > glb.bin.byteLength ||
      length > (view.byteLength ?? 0)) {
    throw new ReadError(`${glb.what} has an accessor that reaches past its binary chunk`);
  }
  // A copy, so the typed array is aligned whatever the offset.
  return glb.bin.slice(offset, offset + length).buffer;
}

export function readPositions(glb, index) {
  const accessor = glb.json.accessors?.[index];
  if (!accessor || accessor.componentType !== 5126 || accessor.type !== 'VEC3') {
    throw new ReadError(`${glb.what} has no float position accessor ${index}`);
  }
  const positions = new Float32Array(bufferViewBytes(glb, accessor, 12));
  for (const value of positions) {
    if (!Number.isFinite(value)) throw new ReadError(`${glb.what} has a position that is not a finite number`);
  }
  return positions;
}

export function readIndices(glb, index, vertexCount) {
  const accessor = glb.json.accessors?.[index];
  if (!accessor || accessor.componentType !== 5125 || accessor.type !== 'SCALAR' || accessor.count % 3 !== 0) {
    throw new ReadError(`${glb.what} has no triangle index accessor ${index}`);
  }
  const indices = new Uint32Array(bufferViewBytes(glb, accessor, 4));
  for (const value of indices) {
    if (value >= vertexCount) throw new ReadError(`${glb.what} has a triangle index past its vertices`);
  }
  return indices;
}
