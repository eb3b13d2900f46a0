// Reads a seat record (the .json written by `PeltoCadPrep seat`): the 24 ways
// of seating the source's solids on the plate, each a source-to-mount
// transform and the bounds the mold then occupies.
import { ReadError } from './glb.js';

export const kSeatSchema = 'pelto.geometry.seat.v2';
const kBoundNames = ['minXMm', 'minYMm', 'minZMm', 'maxXMm', 'maxYMm', 'maxZMm'];

function readBounds(value, what) {
  if (!value || kBoundNames.some((name) => !Number.isFinite(value[name]))) {
    throw new ReadError(`${what} has no finite seated bounds`);
  }
  return kBoundNames.map((name) => value[name]);
}

export function readSeatRecord(text, fileName) {
  let record;
  try {
    record = JSON.parse(text);
  } catch {
    throw new ReadError(`${fileName} is not a seat record: it is not JSON`);
  }
  if (record === null || typeof record !== 'object' || record.schema !== kSeatSchema) {
    throw new ReadError(`${fileName} is not a seat record: its schema is not "${kSeatSchema}"`);
  }
  if (!Array.isArray(record.mounts) || record.mounts.length !== 24) {
    throw new ReadError(`${fileName} is a damaged seat record: it must hold 24 mounts`);
  }
  const mounts = record.mounts.map((mount, index) => {
    const what = `${fileName}: mount ${index + 1}`;
    const matrix = mount.sourceToMount;
    if (!Array.isArray(matrix) || matrix.length !== 16 || !matrix.every(Number.isFinite)) {
      throw new ReadError(`${what} has no transform of 16 finite numbers`);
    }
    if (typeof mount.plateFace !== 'string' || !Number.isInteger(mount.quarterTurns)) {
      throw new ReadError(`${what} has no plate face or quarter turns`);
    }
    return { index, plateFace: mount.plateFace, quarterTurns: mount.quarterTurns, sourceToMount: matrix,
      seatedBounds: readBounds(mount.seatedBoundsMm, what) };
  });
  return { fileName, sourceSha256: record.sourceSha256, defaultMountIndex: record.defaultMountIndex ?? 0, mounts };
}

// A seat record belongs with a review model when both were measured from the
// same source bytes.
export function checkSeatMatchesReview(seat, review) {
  if (seat.sourceSha256 !== review.extras.sourceSha256) {
    throw new ReadError(`${seat.fileName} was measured from another source than ${review.fileName}: ` +
      `its source is ${seat.sourceSha256}, the review model's is ${review.extras.sourceSha256}`);
  }
}

// The height the mold stands above the plate on a mount; the lowest one lies flattest.
export function seatedHeight(mount) {
  return mount.seatedBounds[4] - mount.seatedBounds[1];
}
