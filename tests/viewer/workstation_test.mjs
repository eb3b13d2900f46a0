// Drives the review workstation in Debian's Chromium, served on 127.0.0.1, the
// way a person would: open a review model and seat record the executable
// wrote, click a solid away, decide the free shells, pick a mount and base
// angles, take the two requests, run select and prepare with them, and open
// the published package. Screenshots go to PL_VIEWER_OUT.
//
// Environment: PL_EXECUTABLE, PL_FIXTURE_WRITER, PL_VIEWER_OUT, PL_CHROMIUM.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const viewerDir = join(dirname(fileURLToPath(import.meta.url)), '..', '..', 'viewer');
const { PL_EXECUTABLE: executable, PL_FIXTURE_WRITER: fixtureWriter, PL_VIEWER_OUT: shots } = process.env;
const chromium = process.env.PL_CHROMIUM ?? '/usr/bin/chromium';
const missing = !executable || !fixtureWriter || !shots;

let puppeteer;
let work;
let server;
let address;
let browser;

function run(args) {
  const result = spawnSync(args[0], args.slice(1), { encoding: 'utf8' });
  return { status: result.status, out: result.stdout, err: result.stderr };
}

function sideRequest(command, input, output) {
  const path = join(work, `${command}-${output.split('/').pop()}.request.json`);
  writeFileSync(path, JSON.stringify({ schema: `pelto.geometry.${command}.request.v1`, requestId: 'viewer-test',
    inputPath: input, outputPath: output, targetLinearDeflectionMm: 0.5 }));
  const result = run([executable, command, path]);
  assert.equal(result.status, 0, `${command} failed: ${result.out}`);
  return output;
}

before(async () => {
  if (missing) return;
  puppeteer = createRequire(join(viewerDir, 'package.json'))('puppeteer-core');
  work = mkdtempSync(join(tmpdir(), 'peltocadprep-viewer-'));
  mkdirSync(shots, { recursive: true });
  assert.equal(run([fixtureWriter, join(work, 'assembly.step')]).status, 0);
  sideRequest('seat', join(work, 'assembly.step'), join(work, 'assembly.seat.json'));
  sideRequest('review', join(work, 'assembly.step'), join(work, 'assembly.review.glb'));
  // A package of another source, for the broken-file test to damage.
  const example = readFileSync(join(viewerDir, '..', 'examples', 'mold_shell.request.json'), 'utf8')
    .replace('@INPUT@', join(viewerDir, '..', 'examples', 'mold_shell.obj'))
    .replace('@OUTPUT@', join(work, 'example.peltogeom'));
  writeFileSync(join(work, 'example.request.json'), example);
  assert.equal(run([executable, 'prepare', join(work, 'example.request.json')]).status, 0);
  server = spawn(process.execPath, [join(viewerDir, 'server.mjs'), '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  address = await new Promise((resolve, reject) => {
    server.stdout.once('data', (chunk) => resolve(String(chunk).match(/http:\/\/127\.0\.0\.1:\d+\//)[0]));
    server.once('exit', () => reject(new Error('the workstation server ended before it listened')));
  });
  browser = await puppeteer.launch({ executablePath: chromium, headless: true,
    args: ['--no-sandbox', '--enable-unsafe-swiftshader', '--use-angle=swiftshader'] });
});

after(async () => {
  await browser?.close();
  server?.kill();
  if (work) rmSync(work, { recursive: true, force: true });
});

// A fresh page whose console errors and uncaught faults are collected.
async function openPage() {
  const page = await browser.newPage();
  await page.setViewport({ width: 1600, height: 1000 });
  const faults = [];
  page.on('console', (message) => { if (message.type() === 'error') faults.push(message.text()); });
  page.on('pageerror', (error) => faults.push(error.message));
  await page.goto(address);
  await page.waitForFunction(() => window.workstation?.ready === true);
  return { page, faults };
}

async function upload(page, inputId, path) {
  const input = await page.$(`#${inputId}`);
  await input.uploadFile(path);
}

const text = (page, selector) => page.$eval(selector, (node) => node.textContent);
const bannerText = (page) => page.$eval('#errors', (node) => (node.hidden ? '' : node.textContent));

async function typeInto(page, selector, value) {
  await page.click(selector, { clickCount: 3 });
  await page.type(selector, value);
}

async function addBaseAngle(page, angle) {
  await typeInto(page, '#base-angle', String(angle));
  await page.click('#add-base-angle');
}

test('a person reviews, selects and publishes an assembly in the page', { skip: missing && 'PL_EXECUTABLE, PL_FIXTURE_WRITER or PL_VIEWER_OUT not set' }, async () => {
  const { page, faults } = await openPage();
  await upload(page, 'review-file', join(work, 'assembly.review.glb'));
  await page.waitForSelector('#solid-list li');
  await upload(page, 'seat-file', join(work, 'assembly.seat.json'));
  await page.waitForSelector('.mount img[src^="data:image/png"]');
  assert.equal(await bannerText(page), '');
  assert.deepEqual(await page.$$eval('#solid-list li', (rows) => rows.map((row) => row.dataset.ordinal)), ['1', '2', '3']);

  // Solid 3, the loose block, is clicked away in the 3D view.
  const point = await page.evaluate(() => window.workstation.review.pointOfSolid(3));
  assert.ok(point, 'solid 3 is visible somewhere on the canvas');
  await page.mouse.click(point.x, point.y);
  assert.deepEqual(await page.$$eval('#solid-list li.excluded', (rows) => rows.map((row) => row.dataset.ordinal)), ['3']);

  await page.click('input[name=free-shell][value=physical]');

  // The default mount stands the flat plate on its edge; the flattest one lays it down.
  assert.equal((await page.$$('.mount')).length, 24);
  const flattest = await page.$eval('.mount:has(.flattest)', (button) => Number(button.dataset.index));
  assert.notEqual(flattest, 0);
  await page.click(`.mount[data-index="${flattest}"]`);
  await page.click('#show-seated');

  // Six base angles at most: the seventh is refused in words.
  for (const angle of [30, 45, 10, 20, 60]) await addBaseAngle(page, angle);
  assert.equal(await bannerText(page), '');
  await addBaseAngle(page, 70);
  assert.match(await bannerText(page), /seventh base angle is refused/);
  for (const angle of [10, 20, 60]) await page.click(`button[title="remove base angle ${angle}"]`);
  assert.equal(await text(page, '#orientation-list'),
    'Orientations: 0, 30, 45, 90, 120, 135, 180, 210, 225, 270, 300, 315');

  await typeInto(page, '#input-path', join(work, 'assembly.step'));
  assert.equal(await page.$eval('#record-path', (node) => node.value), join(work, 'assembly.selection.json'));
  await page.click('#make-requests');
  assert.equal(await text(page, '#decision-problems'), '');
  const selectPath = join(work, 'select.json');
  const preparePath = join(work, 'prepare.json');
  writeFileSync(selectPath, await page.$eval('#select-request', (node) => node.value));
  writeFileSync(preparePath, await page.$eval('#prepare-request', (node) => node.value));
  await page.screenshot({ path: join(shots, 'review.png') });

  const selected = run([executable, 'select', selectPath]);
  assert.equal(selected.status, 0, selected.out);
  const record = JSON.parse(readFileSync(join(work, 'assembly.selection.json'), 'utf8'));
  assert.deepEqual(record.components.map((c) => c.role), ['component', 'component', 'exclude']);
  assert.equal(record.freeShellOverlay.decision, 'physical');
  const prepared = run([executable, 'prepare', preparePath]);
  assert.equal(prepared.status, 0, prepared.out);

  // The package opens in the page with as many members as its ZIP directory lists.
  const packagePath = join(work, 'assembly.peltogeom');
  const zip = readFileSync(packagePath);
  const directoryEntries = zip.readUInt16LE(zip.lastIndexOf(Buffer.from([0x50, 0x4b, 0x05, 0x06])) + 10);
  await page.click('#tab-package');
  await upload(page, 'package-file', packagePath);
  await page.waitForSelector('#member-count');
  assert.match(await text(page, '#member-count'), new RegExp(`^${directoryEntries} members`));
  assert.equal(await page.$$eval('#orientation-select option', (options) => options.length), 12);
  await page.select('#orientation-select', '1');
  assert.match(await text(page, '#cell-note'), /^search grid \(50 mm\): [1-9]\d* occupied cells/);
  await page.screenshot({ path: join(shots, 'package.png') });
  await page.click('#show-refine');
  assert.match(await text(page, '#cell-note'), /\nrefine grid \(30 mm\): [1-9]\d* occupied cells/);
  assert.deepEqual(faults, []);
  await page.close();
});

// Rewrites the JSON chunk of a GLB, padding it again to four bytes.
function withGlbJson(glb, change) {
  const jsonLength = glb.readUInt32LE(12);
  const json = JSON.parse(glb.subarray(20, 20 + jsonLength).toString('utf8'));
  change(json);
  let body = Buffer.from(JSON.stringify(json));
  body = Buffer.concat([body, Buffer.alloc((4 - (body.length % 4)) % 4, 0x20)]);
  const bin = glb.subarray(20 + jsonLength);
  const header = Buffer.alloc(20);
  header.writeUInt32LE(0x46546c67, 0);
  header.writeUInt32LE(2, 4);
  header.writeUInt32LE(20 + body.length + bin.length, 8);
  header.writeUInt32LE(body.length, 12);
  header.writeUInt32LE(0x4e4f534a, 16);
  return Buffer.concat([header, body, bin]);
}

// Drops files on the page as a person drags them from a file manager.
async function drop(page, files) {
  const payload = files.map(([name, bytes]) => [name, bytes.toString('base64')]);
  await page.evaluate((items) => {
    const transfer = new DataTransfer();
    for (const [name, base64] of items) {
      transfer.items.add(new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], name));
    }
    window.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, payload);
}

test('solids prepare would refuse are marked and can be excluded at once', { skip: missing && 'environment not set' }, async () => {
  const refused = withGlbJson(readFileSync(join(work, 'assembly.review.glb')), (json) => {
    json.nodes[1].extras.untriangulatedBoundaryFaceCount = 2;
  });
  const { page, faults } = await openPage();
  // The seat record comes first in the drop; it is still matched against the model.
  await drop(page, [['assembly.seat.json', readFileSync(join(work, 'assembly.seat.json'))], ['refused.glb', refused]]);
  await page.waitForSelector('.mount img[src^="data:image/png"]');
  assert.equal(await bannerText(page), '');
  await page.waitForSelector('#solid-list li.refused');
  assert.deepEqual(await page.$$eval('#solid-list li.refused', (rows) => rows.map((row) => row.dataset.ordinal)), ['2']);
  assert.match(await text(page, '#refused-warning'), /Solid 2: .*step_source_deviation_unbounded.*must be excluded/);
  await page.click('#make-requests');
  assert.match(await text(page, '#decision-problems'), /Solid 2 has untriangulated boundary faces/);
  await page.click('#exclude-refused');
  assert.deepEqual(await page.$$eval('#solid-list li.excluded', (rows) => rows.map((row) => row.dataset.ordinal)), ['2']);
  assert.doesNotMatch(await text(page, '#decision-problems'), /untriangulated/);
  assert.deepEqual(faults, []);
  await page.close();
});

test('broken and mismatched files are refused in words', { skip: missing && 'environment not set' }, async () => {
  const other = join(work, 'other.step');
  writeFileSync(other, readFileSync(join(work, 'assembly.step'), 'utf8').replace('160.', '161.'));
  sideRequest('seat', other, join(work, 'other.seat.json'));
  const plainGltf = join(work, 'plain.glb');
  writeFileSync(plainGltf, withGlbJson(readFileSync(join(work, 'assembly.review.glb')), (json) => {
    delete json.scenes[0].extras;
  }));
  const garbage = join(work, 'garbage.glb');
  writeFileSync(garbage, 'this is not a model at all');
  const truncated = join(work, 'truncated.peltogeom');
  const packageBytes = readFileSync(join(work, 'example.peltogeom'));
  writeFileSync(truncated, packageBytes.subarray(0, packageBytes.length >> 1));

  const { page, faults } = await openPage();
  const cases = [
    ['review-file', garbage, /garbage\.glb could not be opened: .*not a binary glTF model/],
    ['review-file', plainGltf, /plain\.glb is a glTF model but not a review model/],
    ['review-file', join(work, 'assembly.review.glb'), null],
    ['seat-file', join(work, 'other.seat.json'), /was measured from another source than assembly\.review\.glb/],
    ['seat-file', join(work, 'assembly.review.glb'), /not a seat record/],
    ['package-file', truncated, /truncated\.peltogeom could not be opened/],
  ];
  for (const [input, file, expected] of cases) {
    if (input === 'package-file') await page.click('#tab-package');
    await upload(page, input, file);
    if (expected === null) {
      await page.waitForSelector('#solid-list li');
      assert.equal(await bannerText(page), '');
      continue;
    }
    await page.waitForFunction((wanted) => new RegExp(wanted).test(
      document.getElementById('errors').hidden ? '' : document.getElementById('errors').textContent), {}, expected.source);
  }
  await page.screenshot({ path: join(shots, 'broken-package.png') });
  assert.equal(await page.$$eval('.mount', (mounts) => mounts.length), 0, 'the mismatched seat record shows no mount');
  assert.deepEqual(faults, []);
  await page.close();

  // A seat record opened first is dropped, in words, when its review model turns out to be another source's.
  const second = await openPage();
  await upload(second.page, 'seat-file', join(work, 'other.seat.json'));
  await upload(second.page, 'review-file', join(work, 'assembly.review.glb'));
  await second.page.waitForSelector('#solid-list li');
  assert.match(await bannerText(second.page), /seat record that was open was measured from another source/);
  assert.equal(await second.page.$$eval('.mount', (mounts) => mounts.length), 0);
  assert.deepEqual(second.faults, []);
  await second.page.close();
});
