// The review tab: a review model's solids in the source frame, the person's
// decisions (exclusions, free shells, mount, base angles) and the two
// requests that record and publish them.
import * as THREE from 'three';
import { View3D } from './view3d.js';
import { MountPictures } from './mount_pictures.js';
import { readReviewModel, solidsPrepareRefuses } from './review_model.js';
import { checkSeatMatchesReview, readSeatRecord, seatedHeight } from './seat_record.js';
import { addBaseAngle, decisionProblems, orientationsOf, pathProblems, prepareRequest, proposeNames,
  requestText, selectRequest } from './requests.js';

const $ = (id) => document.getElementById(id);

// Distinct hues by the golden angle, so neighbouring ordinals never look alike.
export function solidColour(index) {
  return new THREE.Color().setHSL(((index * 137.508 + 210) % 360) / 360, 0.62, 0.52);
}

function geometryOf(part) {
  const geometry = new THREE.BufferGeometry();
  geometry.setAttribute('position', new THREE.BufferAttribute(part.positions, 3));
  geometry.setIndex(new THREE.BufferAttribute(part.indices, 1));
  geometry.computeBoundingBox();
  return geometry;
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function plural(count, noun) {
  return `${count} ${noun}${count === 1 ? '' : 's'}`;
}

function millimetres(value) {
  return `${value.toFixed(1)} mm`;
}

export class ReviewPage {
  constructor(report) {
    this.report = report;
    this.view = new View3D($('review-view'));
    this.view.onHover = (mesh) => this.hover(mesh ? mesh.userData.ordinal : null);
    this.view.onPick = (mesh) => this.toggle(mesh.userData.ordinal);
    this.pictures = null;
    this.review = null;
    this.seat = null;
    this.reset();
    this.wireControls();
  }

  reset() {
    this.excluded = new Set();
    this.selected = null;
    this.hovered = null;
    this.forgetMount();
    this.freeShellDecision = null;
    this.baseAngles = [0];
  }

  wireControls() {
    $('show-overlay').addEventListener('change', () => this.updateMeshes());
    $('show-seated').addEventListener('change', () => this.showModel());
    document.querySelectorAll('input[name=free-shell]').forEach((radio) => radio.addEventListener('change', () => {
      this.freeShellDecision = radio.value;
      this.refreshDecisions();
    }));
    $('add-base-angle').addEventListener('click', () => {
      try {
        this.baseAngles = addBaseAngle(this.baseAngles, $('base-angle').value);
        $('base-angle').value = '';
        this.report.clear();
        this.refreshDecisions();
      } catch (error) {
        this.report.error(error.message);
      }
    });
    $('input-path').addEventListener('input', () => this.proposePaths());
    for (const id of ['record-path', 'package-path', 'request-id']) {
      $(id).addEventListener('input', () => { $(id).dataset.edited = 'yes'; this.refreshDecisions(); });
    }
    $('make-requests').addEventListener('click', () => this.writeRequests());
    document.querySelectorAll('[data-copy]').forEach((button) => button.addEventListener('click', () => {
      navigator.clipboard.writeText($(button.dataset.copy).value).then(
        () => { button.textContent = 'Copied'; },
        () => this.report.error('The browser refused to copy: select the text and copy it by hand.'));
    }));
    document.querySelectorAll('[data-download]').forEach((button) => button.addEventListener('click', () => {
      const kind = button.dataset.download.replace('-request', '');
      const link = document.createElement('a');
      link.href = URL.createObjectURL(new Blob([$(button.dataset.download).value], { type: 'application/json' }));
      link.download = `${$('request-id').value}.${kind}.request.json`;
      link.click();
      setTimeout(() => URL.revokeObjectURL(link.href), 1000);
    }));
  }

  openReviewModel(buffer, fileName) {
    const review = readReviewModel(buffer, fileName);
    for (const mesh of [...(this.meshes ?? []), this.overlayMesh].filter(Boolean)) {
      mesh.geometry.dispose();
      mesh.material.dispose();
    }
    this.review = review;
    this.reset();
    this.meshes = review.components.map((component, index) => {
      const mesh = new THREE.Mesh(geometryOf(component), new THREE.MeshStandardMaterial({
        color: solidColour(index), roughness: 0.65, flatShading: true, side: THREE.DoubleSide }));
      mesh.userData.ordinal = component.ordinal;
      return mesh;
    });
    this.overlayMesh = review.overlay && new THREE.Mesh(geometryOf(review.overlay), new THREE.MeshStandardMaterial({
      color: 0xe87500, transparent: true, opacity: 0.45, depthWrite: false, side: THREE.DoubleSide }));
    if (this.seat && this.seat.sourceSha256 !== review.extras.sourceSha256) {
      this.seat = null;
      $('mount-grid').replaceChildren();
      $('mount-hint').textContent = 'Open the seat record of this source to see its 24 mounts.';
      this.report.error(`The seat record that was open was measured from another source than ${fileName}; ` +
        'it was closed. Open the seat record of this source.');
    }
    this.describeSource();
    this.buildSolidList();
    this.buildFreeShellChoice();
    this.showModel();
    if (this.seat) this.drawMounts();
    if (!$('request-id').value) $('request-id').value = proposeNames(`/${fileName.replace(/\.review\.glb$|\.glb$/i, '')}.step`).requestId;
    this.refreshDecisions();
  }

  openSeatRecord(text, fileName) {
    const seat = readSeatRecord(text, fileName);
    if (this.review) checkSeatMatchesReview(seat, this.review);
    this.seat = seat;
    this.forgetMount();
    if (this.review) {
      this.showModel();
      this.drawMounts();
    }
    else $('mount-hint').textContent = `${fileName} is open; open the review model of the same source to see its mounts.`;
    this.refreshDecisions();
  }

  describeSource() {
    const { extras, components, overlay } = this.review;
    $('review-source').textContent = `${this.review.fileName}: ${plural(components.length, 'solid')}` +
      `${overlay ? `, ${plural(extras.freeShellOccurrenceCount, 'free shell')}` : ', no free shell'}; ` +
      `tessellated at ${extras.targetLinearDeflectionMm} mm linear and ${extras.angularDeflectionRadians} rad ` +
      `angular deflection. Source ${extras.sourceSha256}`;
  }

  buildSolidList() {
    const list = $('solid-list');
    list.replaceChildren();
    this.review.components.forEach((component, index) => {
      const x = component.extras;
      const row = element('li');
      row.dataset.ordinal = component.ordinal;
      const swatch = element('span', 'swatch');
      swatch.style.background = `#${solidColour(index).getHexString()}`;
      row.append(swatch, element('span', 'name', component.name), element('span', 'state', 'kept'));
      row.append(element('span', 'facts', `${x.watertight ? 'closed' : 'open'} · ${x.retainedTriangleCount} triangles · ` +
        `${x.triangulatedBoundaryFaceCount}/${x.boundaryFaceCount} faces triangulated` +
        `${x.untriangulatedBoundaryFaceCount > 0 ? ` · ${x.untriangulatedBoundaryFaceCount} untriangulated` : ''}` +
        `${x.discardedDegenerateTriangleCount > 0 ? ` · ${x.discardedDegenerateTriangleCount} degenerate dropped` : ''}`));
      row.addEventListener('click', () => this.toggle(component.ordinal));
      row.addEventListener('mouseenter', () => this.hover(component.ordinal));
      row.addEventListener('mouseleave', () => this.hover(null));
      list.append(row);
    });
  }

  buildFreeShellChoice() {
    const { overlay, extras } = this.review;
    $('free-shell-choice').hidden = overlay === null;
    document.querySelectorAll('input[name=free-shell]').forEach((radio) => { radio.checked = false; });
    $('free-shell-summary').textContent = overlay === null
      ? 'The source has no free shell: the decision is none.'
      : `${plural(extras.freeShellOccurrenceCount, 'free shell')} outside any solid (${extras.edgeParityClosedFreeShellOccurrenceCount} closed, ` +
        `${overlay.extras.retainedTriangleCount} triangles${overlay.extras.untriangulatedBoundaryFaceCount > 0
          ? `, ${overlay.extras.untriangulatedBoundaryFaceCount} faces untriangulated` : ''}), drawn in translucent orange.`;
  }

  showModel() {
    const seated = $('show-seated').checked && this.chosenMount() !== null;
    const group = new THREE.Group();
    group.add(...this.meshes);
    if (this.overlayMesh) group.add(this.overlayMesh);
    let object = group;
    if (seated) {
      object = new THREE.Group();
      object.matrixAutoUpdate = false;
      object.matrix.set(...this.chosenMount().sourceToMount);
      object.add(group);
    }
    this.view.show(object, { up: seated ? 'y' : 'z', plate: seated, pickables: this.meshes });
    const box = new THREE.Box3().setFromObject(group);
    const size = box.getSize(new THREE.Vector3());
    const mount = this.chosenMount();
    $('review-legend').textContent = seated
      ? `Mount frame · millimetres · Y up, the plate is y = 0\nMount ${mount.index + 1}: ${mount.plateFace} face down, ${mount.quarterTurns} quarter turns`
      : `Source frame of the STEP file · millimetres · Z up as drawn\n` +
        `Extent X ${millimetres(size.x)} × Y ${millimetres(size.y)} × Z ${millimetres(size.z)}; axes at the source origin`;
    this.updateMeshes();
  }

  updateMeshes() {
    for (const mesh of this.meshes ?? []) {
      const ordinal = mesh.userData.ordinal;
      const excluded = this.excluded.has(ordinal);
      mesh.material.color.copy(excluded ? new THREE.Color(0xb8bec8) : solidColour(ordinal - 1));
      mesh.material.transparent = excluded;
      mesh.material.opacity = excluded ? 0.25 : 1;
      mesh.material.depthWrite = !excluded;
      mesh.material.emissive.setHex(ordinal === this.hovered ? 0x505050 : ordinal === this.selected ? 0x1d3d73 : 0);
      mesh.material.needsUpdate = true;
    }
    if (this.overlayMesh) this.overlayMesh.visible = $('show-overlay').checked;
    for (const row of $('solid-list').children) {
      const ordinal = Number(row.dataset.ordinal);
      const excluded = this.excluded.has(ordinal);
      row.classList.toggle('excluded', excluded);
      row.classList.toggle('hovered', ordinal === this.hovered);
      row.classList.toggle('selected', ordinal === this.selected);
      row.classList.toggle('refused', this.review.components[ordinal - 1].extras.untriangulatedBoundaryFaceCount > 0);
      row.querySelector('.state').textContent = excluded ? 'excluded' : 'kept';
    }
    this.view.requestRender();
  }

  hover(ordinal) {
    this.hovered = ordinal;
    this.describeSolid(ordinal ?? this.selected);
    this.updateMeshes();
  }

  toggle(ordinal) {
    if (this.excluded.has(ordinal)) this.excluded.delete(ordinal);
    else this.excluded.add(ordinal);
    this.selected = ordinal;
    this.describeSolid(ordinal);
    this.updateMeshes();
    this.refreshDecisions();
    this.scheduleMountPictures();
  }

  describeSolid(ordinal) {
    const detail = $('solid-detail');
    if (!ordinal) {
      detail.textContent = 'Point at a solid to read its diagnostics.';
      return;
    }
    const x = this.review.components[ordinal - 1].extras;
    detail.textContent = `Solid ${ordinal} (${this.excluded.has(ordinal) ? 'excluded' : 'kept'}): ` +
      `${x.watertight ? 'closed' : 'open'}, ${x.retainedTriangleCount} triangles, ` +
      `${x.triangulatedBoundaryFaceCount} of ${x.boundaryFaceCount} boundary faces triangulated, ` +
      `${x.untriangulatedBoundaryFaceCount} untriangulated, ${x.discardedDegenerateTriangleCount} degenerate triangles dropped.\n` +
      `same-policy occurrence ${x.samePolicyOccurrenceSha256}\nplaced mesh ${x.placedMeshStreamSha256}\n` +
      `review mesh ${x.reviewMeshStreamSha256}`;
  }

  // No mount is chosen until the person picks one from the current seat record.
  forgetMount() {
    this.mountIndex = null;
    $('show-seated').checked = false;
    $('show-seated').disabled = true;
  }

  chosenMount() {
    return this.seat && this.mountIndex !== null ? this.seat.mounts[this.mountIndex] : null;
  }

  drawMounts() {
    checkSeatMatchesReview(this.seat, this.review);
    this.pictures ??= new MountPictures();
    const heights = this.seat.mounts.map(seatedHeight);
    const lowest = Math.min(...heights);
    const flat = (index) => heights[index] - lowest < 1e-6;
    const cells = [];
    for (const mount of this.seat.mounts) {
      if (mount.quarterTurns === 0) cells.push(element('div', 'face', `${mount.plateFace} face down`));
      const button = element('button', flat(mount.index) ? 'mount flattest' : 'mount');
      button.dataset.index = mount.index;
      button.title = `Mount ${mount.index + 1}: ${mount.plateFace} face down, ${mount.quarterTurns} quarter turns, ` +
        `${millimetres(heights[mount.index])} high\nsourceToMount ${mount.sourceToMount.join(' ')}`;
      button.append(element('img'), element('div', '', `${mount.quarterTurns * 90}° · ${millimetres(heights[mount.index])}`));
      if (flat(mount.index)) button.append(element('div', 'flattest', 'lies flattest'));
      button.addEventListener('click', () => this.chooseMount(mount.index));
      cells.push(button);
    }
    $('mount-grid').replaceChildren(...cells);
    $('mount-hint').textContent = `${this.seat.fileName}: the kept solids seated on the plate, by plate face and quarter turn. ` +
      'Pick one; the flattest are marked.';
    this.drawMountPictures();
  }

  scheduleMountPictures() {
    clearTimeout(this.pictureTimer);
    if (this.seat) this.pictureTimer = setTimeout(() => this.drawMountPictures(), 150);
  }

  drawMountPictures() {
    const parts = this.meshes.filter((mesh) => !this.excluded.has(mesh.userData.ordinal))
      .map((mesh) => ({ geometry: mesh.geometry, color: solidColour(mesh.userData.ordinal - 1) }));
    for (const button of $('mount-grid').querySelectorAll('.mount')) {
      button.querySelector('img').src = this.pictures.draw(parts, this.seat.mounts[Number(button.dataset.index)]);
    }
  }

  chooseMount(index) {
    this.mountIndex = index;
    for (const button of $('mount-grid').querySelectorAll('.mount')) button.classList.toggle('chosen', Number(button.dataset.index) === index);
    $('show-seated').disabled = false;
    if ($('show-seated').checked) this.showModel();
    this.refreshDecisions();
  }

  proposePaths() {
    const names = proposeNames($('input-path').value.trim());
    if ($('record-path').dataset.edited !== 'yes') $('record-path').value = names.recordPath;
    if ($('package-path').dataset.edited !== 'yes') $('package-path').value = names.packagePath;
    if ($('request-id').dataset.edited !== 'yes') $('request-id').value = names.requestId;
    this.refreshDecisions();
  }

  decisions() {
    return { excluded: this.excluded, freeShellDecision: this.freeShellDecision, mount: this.chosenMount(),
      baseAngles: this.baseAngles };
  }

  paths() {
    return { inputPath: $('input-path').value.trim(), recordPath: $('record-path').value.trim(),
      packagePath: $('package-path').value.trim(), requestId: $('request-id').value.trim() };
  }

  refreshDecisions() {
    if (!this.review) return;
    const refused = solidsPrepareRefuses(this.review);
    const stillKept = refused.filter((ordinal) => !this.excluded.has(ordinal));
    const warning = $('refused-warning');
    warning.hidden = refused.length === 0;
    warning.replaceChildren(element('span', '', `${refused.length === 1 ? 'Solid' : 'Solids'} ${refused.join(', ')}: ` +
      'boundary faces the mesher could not triangulate. prepare refuses such a solid with ' +
      'step_source_deviation_unbounded after review and select have succeeded, so ' +
      `${stillKept.length === 0 ? 'they are excluded, as they must be.' : 'they must be excluded. '}`));
    if (stillKept.length > 0) {
      const button = element('button', '', 'Exclude them');
      button.id = 'exclude-refused';
      button.addEventListener('click', () => {
        stillKept.forEach((ordinal) => this.excluded.add(ordinal));
        this.updateMeshes();
        this.refreshDecisions();
        this.scheduleMountPictures();
      });
      warning.append(button);
    }
    $('solid-tally').textContent = `${this.review.components.length - this.excluded.size} kept, ${this.excluded.size} excluded`;
    $('base-angles').replaceChildren(...this.baseAngles.map((angle) => {
      const chip = element('span', 'angle', `${angle}°`);
      if (angle !== 0) {
        const remove = element('button', '', '×');
        remove.title = `remove base angle ${angle}`;
        remove.addEventListener('click', () => {
          this.baseAngles = this.baseAngles.filter((a) => a !== angle);
          this.report.clear();
          this.refreshDecisions();
        });
        chip.append(remove);
      }
      return chip;
    }));
    $('orientation-list').textContent = `Orientations: ${orientationsOf(this.baseAngles).join(', ')}`;
    const problems = [...decisionProblems(this.review, this.decisions()), ...pathProblems(this.paths())];
    $('decision-problems').replaceChildren(...problems.map((problem) => element('li', '', problem)));
    $('request-output').hidden = true;
    return problems;
  }

  writeRequests() {
    if (!this.review) {
      this.report.error('Open a review model first.');
      return;
    }
    if (this.refreshDecisions().length > 0) return;
    const paths = this.paths();
    $('select-request').value = requestText(selectRequest(this.review, this.decisions(), paths));
    $('prepare-request').value = requestText(prepareRequest(this.review, this.decisions(), paths));
    $('run-hint').textContent = `Save them, then run PeltoCadPrep select on the select request: it writes ` +
      `${paths.recordPath}. Then PeltoCadPrep prepare on the prepare request publishes ${paths.packagePath}.`;
    $('request-output').hidden = false;
  }

  // For tests and scripts: where a solid can be clicked on the canvas.
  pointOfSolid(ordinal) {
    return this.view.visiblePointOf(this.meshes[ordinal - 1]);
  }
}
