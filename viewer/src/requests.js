// The decisions a person takes in the review view, turned into the select
// request and the matching prepare request. Pure functions: no page, no
// rendering, so the rules read the same as the program's request checks.

export class DecisionError extends Error {}

export const kMaxBaseAngles = 6;

// Adds a base angle (whole degrees, 1-89) to a list that always starts with 0.
export function addBaseAngle(baseAngles, text) {
  const angle = Number(text);
  if (!Number.isInteger(angle) || angle < 1 || angle > 89) {
    throw new DecisionError('A base angle is a whole number of degrees from 1 to 89 ' +
      '(its quarter turns 90, 180 and 270 degrees further are added with it).');
  }
  if (baseAngles.includes(angle)) throw new DecisionError(`Base angle ${angle} is already chosen.`);
  if (baseAngles.length >= kMaxBaseAngles) {
    throw new DecisionError(`A seventh base angle is refused: a package bakes at most ${kMaxBaseAngles} ` +
      'base angles, the protected 0 degrees and five more.');
  }
  return [...baseAngles, angle].sort((a, b) => a - b);
}

// Every base angle with its three quarter-turn aliases, ascending.
export function orientationsOf(baseAngles) {
  return baseAngles.flatMap((b) => [b, b + 90, b + 180, b + 270]).sort((a, b) => a - b);
}

function splitPath(path) {
  const slash = path.lastIndexOf('/');
  const name = path.slice(slash + 1);
  const dot = name.lastIndexOf('.');
  return { folder: path.slice(0, slash + 1), stem: dot > 0 ? name.slice(0, dot) : name };
}

// Proposals for the two output paths and the request identifier, beside the source.
export function proposeNames(stepPath) {
  const { folder, stem } = splitPath(stepPath);
  const requestId = (stem.replace(/[^A-Za-z0-9_-]+/g, '-').replace(/^-+|-+$/g, '') || 'review').slice(0, 64);
  return { recordPath: `${folder}${stem}.selection.json`, packagePath: `${folder}${stem}.peltogeom`, requestId };
}

// A file name with something before its extension: ".json" alone has none.
function endsWithOneOf(path, extensions) {
  const name = path.slice(path.lastIndexOf('/') + 1).toLowerCase();
  return extensions.some((extension) => name.endsWith(extension) && name.length > extension.length);
}

// Problems with the paths and identifier, as sentences; empty when all hold.
export function pathProblems({ inputPath, recordPath, packagePath, requestId }) {
  const problems = [];
  const absolute = (path) => path.startsWith('/');
  if (!absolute(inputPath) || !endsWithOneOf(inputPath, ['.step', '.stp'])) {
    problems.push('The STEP source path must be absolute and end in .step or .stp.');
  }
  if (!absolute(recordPath) || !endsWithOneOf(recordPath, ['.json'])) {
    problems.push('The selection record path must be absolute and end in .json.');
  }
  if (!absolute(packagePath) || !endsWithOneOf(packagePath, ['.peltogeom'])) {
    problems.push('The package path must be absolute and end in .peltogeom.');
  }
  if (new Set([inputPath, recordPath, packagePath]).size !== 3) {
    problems.push('The source, the selection record and the package need three different paths.');
  }
  if (!/^[A-Za-z0-9_-]{1,64}$/.test(requestId)) {
    problems.push('The request identifier needs 1 to 64 letters, digits, underscores or hyphens.');
  }
  return problems;
}

// Problems with the review decisions, as sentences; empty when prepare can accept them.
export function decisionProblems(review, { excluded, freeShellDecision, mount }) {
  const problems = [];
  const kept = review.components.filter((c) => !excluded.has(c.ordinal));
  if (kept.length === 0) problems.push('Every solid is excluded: keep at least one, or there is no mold to publish.');
  const refused = kept.filter((c) => c.extras.untriangulatedBoundaryFaceCount > 0).map((c) => c.ordinal);
  if (refused.length > 0) {
    problems.push(`${refused.length === 1 ? 'Solid' : 'Solids'} ${refused.join(', ')} ` +
      `${refused.length === 1 ? 'has' : 'have'} untriangulated boundary faces: prepare would refuse ` +
      'the selection with step_source_deviation_unbounded. Exclude them.');
  }
  if (review.overlay !== null) {
    if (freeShellDecision !== 'physical' && freeShellDecision !== 'residue') {
      problems.push('Decide the free shells: physical (published with the solids) or residue (left out).');
    } else if (freeShellDecision === 'physical' && review.overlay.extras.untriangulatedBoundaryFaceCount > 0) {
      problems.push('The free shells have untriangulated faces, so prepare would refuse them as physical ' +
        '(step_physical_free_shell_requires_healing): decide residue.');
    }
  }
  if (mount === null) problems.push('Open the seat record of this source and pick a mount.');
  return problems;
}

export function selectRequest(review, decisions, paths) {
  return {
    schema: 'pelto.geometry.select.request.v1',
    requestId: paths.requestId,
    inputPath: paths.inputPath,
    outputPath: paths.recordPath,
    targetLinearDeflectionMm: review.extras.targetLinearDeflectionMm,
    freeShellDecision: review.overlay === null ? 'none' : decisions.freeShellDecision,
    excludedSolidOrdinals: [...decisions.excluded].sort((a, b) => a - b),
    sourceToMount: decisions.mount.sourceToMount,
    allowedOrientationsDeg: orientationsOf(decisions.baseAngles),
    geometrySchema: 'pelto.geometry.asset.v3',
  };
}

export function prepareRequest(review, decisions, paths) {
  return {
    schema: 'pelto.geometry.prepare.request.v1',
    geometrySchema: 'pelto.geometry.asset.v3',
    requestId: paths.requestId,
    inputPath: paths.inputPath,
    outputPath: paths.packagePath,
    sourceFormat: 'step',
    sourceUnits: 'source',
    componentRole: 'component',
    componentSelectionPath: paths.recordPath,
    sourceToMount: decisions.mount.sourceToMount,
    allowedOrientationsDeg: orientationsOf(decisions.baseAngles),
  };
}

// One member per line, the transform in four rows; numbers in the shortest
// form that reads back to the same double, so both requests carry the seat
// record's transform bit for bit.
export function requestText(request) {
  const lines = Object.entries(request).map(([name, value]) => {
    let text = JSON.stringify(value);
    if (name === 'sourceToMount') {
      const rows = [0, 4, 8, 12].map((at) => value.slice(at, at + 4).map((v) => JSON.stringify(v)).join(', '));
      text = `[${rows.join(',\n                    ')}]`;
    } else if (Array.isArray(value)) {
      text = `[${value.map((v) => JSON.stringify(v)).join(', ')}]`;
    }
    return `  ${JSON.stringify(name)}: ${text}`;
  });
  return `{\n${lines.join(',\n')}\n}\n`;
}
