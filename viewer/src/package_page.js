// The package tab: what a published package holds (manifest summary, members)
// and what the runtime collides with: the preview mesh and, per orientation,
// the occupied voxel cells of the search and refine grids.
import * as THREE from 'three';
import { View3D } from './view3d.js';
import { boundaryCells, readPackage } from './package_reader.js';

const $ = (id) => document.getElementById(id);
const kCellLimit = 60000;
const kEdgeLimit = 20000;
const kLevelColours = { search: 0xe07b39, refine: 0x2a9d8f };

function row(cells, header = false) {
  const tr = document.createElement('tr');
  for (const [text, className] of cells) {
    const cell = document.createElement(header ? 'th' : 'td');
    cell.textContent = text;
    if (className) cell.className = className;
    tr.append(cell);
  }
  return tr;
}

function table(rows) {
  const node = document.createElement('table');
  node.append(...rows);
  return node;
}

function section(title, ...children) {
  const node = document.createElement('section');
  const heading = document.createElement('h2');
  heading.textContent = title;
  node.append(heading, ...children);
  return node;
}

function sizeText(bytes) {
  return bytes < 10240 ? `${bytes} B` : `${(bytes / 1024).toFixed(1)} KiB`;
}

// The occupied cells a person can see (those with an open face), drawn as
// translucent boxes with their edges while there are few enough of them.
function cellObject(grid, colour) {
  const { cells, count, total, truncated } = boundaryCells(grid, kCellLimit);
  const s = grid.cellSizeMm;
  const group = new THREE.Group();
  const boxes = new THREE.InstancedMesh(new THREE.BoxGeometry(s, s, s),
    new THREE.MeshStandardMaterial({ color: colour, transparent: true, opacity: 0.22, depthWrite: false }), count);
  const place = new THREE.Matrix4();
  for (let c = 0; c < count; c += 1) {
    place.makeTranslation((cells[3 * c] + 0.5) * s, (cells[3 * c + 1] + 0.5) * s, (cells[3 * c + 2] + 0.5) * s);
    boxes.setMatrixAt(c, place);
  }
  group.add(boxes);
  if (count <= kEdgeLimit) {
    const unit = new THREE.EdgesGeometry(new THREE.BoxGeometry(s, s, s)).getAttribute('position').array;
    const lines = new Float32Array(unit.length * count);
    for (let c = 0; c < count; c += 1) {
      for (let v = 0; v < unit.length; v += 3) {
        lines[c * unit.length + v] = unit[v] + (cells[3 * c] + 0.5) * s;
        lines[c * unit.length + v + 1] = unit[v + 1] + (cells[3 * c + 1] + 0.5) * s;
        lines[c * unit.length + v + 2] = unit[v + 2] + (cells[3 * c + 2] + 0.5) * s;
      }
    }
    const geometry = new THREE.BufferGeometry();
    geometry.setAttribute('position', new THREE.BufferAttribute(lines, 3));
    group.add(new THREE.LineSegments(geometry, new THREE.LineBasicMaterial({ color: colour })));
  }
  return { object: group, count, total, truncated };
}

export class PackagePage {
  constructor(report) {
    this.report = report;
    this.view = new View3D($('package-view'));
    this.pkg = null;
    for (const id of ['orientation-select', 'show-search', 'show-refine', 'show-preview']) {
      $(id).addEventListener('change', () => this.draw({ keepCamera: true }));
    }
  }

  openPackage(buffer, fileName) {
    const pkg = readPackage(buffer);
    this.pkg = pkg;
    this.fileName = fileName;
    const meshGeometry = new THREE.BufferGeometry();
    meshGeometry.setAttribute('position', new THREE.BufferAttribute(pkg.preview.positions, 3));
    meshGeometry.setIndex(new THREE.BufferAttribute(pkg.preview.indices, 1));
    this.meshGeometry = meshGeometry;
    this.summarise();
    const select = $('orientation-select');
    select.replaceChildren(...pkg.orientations.map((entry, index) => {
      const option = document.createElement('option');
      option.value = index;
      option.textContent = entry.angleDeg === entry.gridAngleDeg
        ? `${entry.angleDeg}°` : `${entry.angleDeg}° (grids of ${entry.gridAngleDeg}°, turned)`;
      return option;
    }));
    select.disabled = false;
    this.draw();
  }

  summarise() {
    const { manifest, members } = this.pkg;
    const source = manifest.sources[0];
    const validation = manifest.validation;
    const sourceRows = [['file', source.name], ['format', source.format], ['role', source.role],
      ['components', manifest.states.cycleSolid.components.join(', ')], ['source', source.sha256]];
    if (source.componentSelectionSha256) {
      sourceRows.push(['selection record', source.componentSelectionSha256],
        ['free shells', source.freeShellOverlayDecision],
        ['tessellation deviation', `${source.tessellationDeviationMm} mm`],
        ['source-healing deviation', `${source.sourceHealingDeviationMm} mm${source.sourceHealingDeviationBounded ? ' (bounded)' : ' (unbounded)'}`]);
    }
    const validationRows = [['authoritative', String(validation.authoritative)], ['watertight', String(validation.watertight)],
      ['triangles', String(validation.triangleCount)], ['closed components', String(validation.closedComponentCount)],
      ['open components', String(validation.openComponentCount)], ['max surface deviation', `${validation.maxSurfaceDeviationMm} mm`]];
    const total = members.reduce((sum, member) => sum + member.size, 0);
    const memberCount = document.createElement('p');
    memberCount.id = 'member-count';
    memberCount.textContent = `${members.length} members, ${sizeText(total)} in all`;
    $('package-summary').replaceChildren(
      section(this.fileName, table([row([['asset', ''], [manifest.assetId, 'mono']])])),
      section('Source', table(sourceRows.map(([k, v]) => row([[k], [v, k === 'source' || k === 'selection record' ? 'mono' : '']])))),
      section('Orientations', table(this.pkg.orientations.map((entry) => row([[`${entry.angleDeg}°`],
        [entry.angleDeg === entry.gridAngleDeg ? 'baked' : `uses ${entry.gridAngleDeg}°`]])))),
      section('Validation', table(validationRows.map(([k, v]) => row([[k], [v, 'num']])))),
      section('Members', memberCount, table(members.map((member) => row([[member.name, 'mono'], [sizeText(member.size), 'num']])))));
  }

  draw({ keepCamera = false } = {}) {
    if (!this.pkg) return;
    const entry = this.pkg.orientations[Number($('orientation-select').value) || 0];
    // Grids are baked for the mesh turned by the grid angle; a quarter-turn
    // alias turns mesh and grid together by the rest.
    const baked = new THREE.Group();
    baked.rotation.y = THREE.MathUtils.degToRad(entry.angleDeg - entry.gridAngleDeg);
    const mesh = new THREE.Mesh(this.meshGeometry, new THREE.MeshStandardMaterial({
      color: 0x94b3c2, roughness: 0.6, flatShading: true, side: THREE.DoubleSide }));
    mesh.rotation.y = THREE.MathUtils.degToRad(entry.gridAngleDeg);
    mesh.visible = $('show-preview').checked;
    baked.add(mesh);
    const notes = [];
    for (const level of ['search', 'refine']) {
      if (!$(`show-${level}`).checked) continue;
      const grid = entry[level];
      const { object, count, total, truncated } = cellObject(grid, kLevelColours[level]);
      baked.add(object);
      notes.push(`${level} grid (${grid.cellSizeMm} mm): ${grid.occupiedCount} occupied cells of ` +
        `${grid.dims.join(' × ')}, ${truncated ? `the first ${count} of ${total}` : `${count}`} with an open face drawn`);
    }
    this.view.show(baked, { up: 'y', plate: true, keepCamera });
    $('package-legend').textContent = `Mount frame · millimetres · Y up, the plate is y = 0\n` +
      `Orientation ${entry.angleDeg}°${entry.angleDeg === entry.gridAngleDeg ? '' : ` (grids baked at ${entry.gridAngleDeg}°)`}`;
    $('cell-note').textContent = notes.length > 0 ? notes.join('\n') : 'No grid shown: tick search or refine.';
  }
}
