// The page's request rules, without a browser: the decisions that prepare
// would refuse, the paths the program would refuse, and the two requests.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { addBaseAngle, decisionProblems, orientationsOf, pathProblems, prepareRequest, requestText,
  selectRequest } from '../../viewer/src/requests.js';

const solid = (ordinal, untriangulated = 0) => ({ ordinal, extras: { untriangulatedBoundaryFaceCount: untriangulated } });
const review = (components, overlayUntriangulated = null) => ({
  components, extras: { targetLinearDeflectionMm: 0.5 },
  overlay: overlayUntriangulated === null ? null : { extras: { untriangulatedBoundaryFaceCount: overlayUntriangulated } },
});
const mount = { sourceToMount: [1, 0, 0, -110, 0, 0, -1, 0.6000000000000001, 0, 1, 0, -28, 0, 0, 0, 1] };
const paths = { inputPath: '/d/a.STEP', recordPath: '/d/a.selection.json', packagePath: '/d/a.peltogeom', requestId: 'a-1' };

test('decisions prepare would refuse are named', () => {
  const cases = [
    [review([solid(1), solid(2)]), { excluded: new Set([2]), freeShellDecision: null, mount }, []],
    [review([solid(1), solid(2)]), { excluded: new Set([1, 2]), freeShellDecision: null, mount }, [/Every solid is excluded/]],
    [review([solid(1), solid(2, 3)]), { excluded: new Set(), freeShellDecision: null, mount }, [/^Solid 2 has untriangulated/]],
    [review([solid(1), solid(2, 3)]), { excluded: new Set([2]), freeShellDecision: null, mount }, []],
    [review([solid(1)], 0), { excluded: new Set(), freeShellDecision: null, mount }, [/Decide the free shells/]],
    [review([solid(1)], 2), { excluded: new Set(), freeShellDecision: 'physical', mount }, [/decide residue/]],
    [review([solid(1)], 2), { excluded: new Set(), freeShellDecision: 'residue', mount }, []],
    [review([solid(1)]), { excluded: new Set(), freeShellDecision: null, mount: null }, [/pick a mount/]],
  ];
  for (const [model, decisions, expected] of cases) {
    const problems = decisionProblems(model, decisions);
    assert.equal(problems.length, expected.length, problems.join(' | '));
    expected.forEach((pattern, at) => assert.match(problems[at], pattern));
  }
});

test('paths the program would refuse are named', () => {
  const cases = [
    [{}, []],
    [{ inputPath: '/d/A.Stp' }, []],
    [{ inputPath: 'd/a.step' }, [/STEP source path/]],
    [{ inputPath: '/d/a.stpx' }, [/STEP source path/]],
    [{ recordPath: '/d/a.selection.txt' }, [/selection record path/]],
    [{ packagePath: '/d/.peltogeom' }, [/package path/]],
    [{ packagePath: '/d/a.selection.json', recordPath: '/d/a.selection.json' }, [/package path/, /three different paths/]],
    [{ requestId: 'a b' }, [/request identifier/]],
    [{ requestId: 'x'.repeat(65) }, [/request identifier/]],
  ];
  for (const [change, expected] of cases) {
    const problems = pathProblems({ ...paths, ...change });
    assert.equal(problems.length, expected.length, problems.join(' | '));
    expected.forEach((pattern, at) => assert.match(problems[at], pattern));
  }
});

test('base angles bring their quarter turns and stop at six', () => {
  let bases = [0];
  for (const angle of [45, '30', 5, 89, 60]) bases = addBaseAngle(bases, angle);
  assert.deepEqual(bases, [0, 5, 30, 45, 60, 89]);
  assert.equal(orientationsOf(bases).length, 24);
  for (const wrong of [70, 0, 90, 2.5, 'x', 30]) assert.throws(() => addBaseAngle(bases, wrong));
  assert.throws(() => addBaseAngle([0, 10], 10), /already chosen/);
  assert.throws(() => addBaseAngle([0], 90), /from 1 to 89/);
  assert.deepEqual(orientationsOf([0, 30]), [0, 30, 90, 120, 180, 210, 270, 300]);
});

test('both requests carry the same transform, deflection and orientations, read back exactly', () => {
  const model = review([solid(1), solid(2)], 0);
  const decisions = { excluded: new Set([2]), freeShellDecision: 'physical', mount, baseAngles: [0, 30] };
  const select = JSON.parse(requestText(selectRequest(model, decisions, paths)));
  const prepare = JSON.parse(requestText(prepareRequest(model, decisions, paths)));
  assert.deepEqual(select.sourceToMount, mount.sourceToMount);
  assert.deepEqual(prepare.sourceToMount, select.sourceToMount);
  assert.deepEqual(prepare.allowedOrientationsDeg, select.allowedOrientationsDeg);
  assert.equal(select.targetLinearDeflectionMm, 0.5);
  assert.deepEqual(select.excludedSolidOrdinals, [2]);
  assert.equal(select.freeShellDecision, 'physical');
  assert.equal(select.outputPath, prepare.componentSelectionPath);
  assert.equal(prepare.outputPath, paths.packagePath);
  const noShells = selectRequest(review([solid(1)]), { ...decisions, freeShellDecision: null }, paths);
  assert.equal(noShells.freeShellDecision, 'none');
});
