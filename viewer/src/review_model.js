// Reads a review model (the .glb written by `PeltoCadPrep review`): the scene
// extras that name the source and the review policy, one selectable solid per
// node with its diagnostics and identities, and the optional free-shell overlay.
import { ReadError, readGlb, readTriangleMesh } from './glb.js';

export const kReviewSchema = 'pelto.geometry.step-component-review.v1';

function meshOf(glb, node) {
  const { positions, indices } = readTriangleMesh(glb, glb.json.meshes?.[node.mesh]?.primitives?.[0],
    `${glb.what}: node "${node.name}"`);
  return { positions, indices };
}

function requireCount(extras, name, what) {
  const value = extras[name];
  if (!Number.isInteger(value) || value < 0) throw new ReadError(`${what} lacks its ${name}`);
  return value;
}

export function readReviewModel(arrayBuffer, fileName) {
  const glb = readGlb(new Uint8Array(arrayBuffer), fileName);
  const scene = glb.json.scenes?.[glb.json.scene ?? 0];
  const extras = scene?.extras;
  if (!extras || extras.schema !== kReviewSchema) {
    throw new ReadError(`${fileName} is a glTF model but not a review model: its scene does not carry ` +
      `the "${kReviewSchema}" extras that PeltoCadPrep review writes`);
  }
  if (typeof extras.sourceSha256 !== 'string' || !Number.isFinite(extras.targetLinearDeflectionMm)) {
    throw new ReadError(`${fileName} is a review model without its source identity or deflection`);
  }
  const components = [];
  let overlay = null;
  for (const nodeIndex of scene.nodes ?? []) {
    const node = glb.json.nodes?.[nodeIndex];
    const kind = node?.extras?.reviewKind;
    if (kind === 'solid_component') {
      const ordinal = node.extras.selectedSolidOrdinal;
      if (ordinal !== components.length + 1) {
        throw new ReadError(`${fileName}: solid ordinals do not run 1, 2, 3, …; the model was altered`);
      }
      requireCount(node.extras, 'untriangulatedBoundaryFaceCount', node.name);
      requireCount(node.extras, 'retainedTriangleCount', node.name);
      components.push({ ordinal, name: node.name, extras: node.extras, ...meshOf(glb, node) });
    } else if (kind === 'free_shell_overlay' && overlay === null) {
      overlay = { name: node.name, extras: node.extras, ...meshOf(glb, node) };
    } else {
      throw new ReadError(`${fileName}: node ${nodeIndex} is neither a solid nor the free-shell overlay`);
    }
  }
  if (components.length === 0 || components.length !== extras.componentCount) {
    throw new ReadError(`${fileName} declares ${extras.componentCount} solids but holds ${components.length}`);
  }
  if ((overlay !== null) !== (extras.freeShellOccurrenceCount > 0)) {
    throw new ReadError(`${fileName}: the free-shell overlay does not match the source's free-shell count`);
  }
  return { fileName, extras, components, overlay };
}

// Solids that prepare will refuse: a boundary face the mesher could not
// triangulate leaves the source deviation unbounded.
export function solidsPrepareRefuses(review) {
  return review.components.filter((c) => c.extras.untriangulatedBoundaryFaceCount > 0).map((c) => c.ordinal);
}
