// One 3D view: a canvas with orbit controls, lights, labelled axes, an optional
// mounting plate, and picking of the meshes it is given. It renders only when
// something changed, so an idle page costs nothing.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

function axisLabel(text, color) {
  const canvas = document.createElement('canvas');
  canvas.width = 64;
  canvas.height = 64;
  const context = canvas.getContext('2d');
  context.font = 'bold 44px sans-serif';
  context.fillStyle = color;
  context.textAlign = 'center';
  context.textBaseline = 'middle';
  context.fillText(text, 32, 34);
  const sprite = new THREE.Sprite(new THREE.SpriteMaterial({ map: new THREE.CanvasTexture(canvas), depthTest: false }));
  sprite.renderOrder = 10;
  return sprite;
}

// Axes from the origin with X, Y and Z labels at their tips.
function labelledAxes(size) {
  const group = new THREE.Group();
  group.add(new THREE.AxesHelper(size));
  [['X', '#d33', [1, 0, 0]], ['Y', '#2a2', [0, 1, 0]], ['Z', '#36d', [0, 0, 1]]].forEach(([text, color, dir]) => {
    const label = axisLabel(text, color);
    label.position.set(dir[0], dir[1], dir[2]).multiplyScalar(size * 1.08);
    label.scale.setScalar(size * 0.12);
    group.add(label);
  });
  return group;
}

export class View3D {
  constructor(container) {
    this.container = container;
    this.renderer = new THREE.WebGLRenderer({ antialias: true });
    this.renderer.setPixelRatio(window.devicePixelRatio);
    this.renderer.setClearColor(0xf4f5f7);
    container.appendChild(this.renderer.domElement);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(40, 1, 0.1, 1e6);
    this.controls = new OrbitControls(this.camera, this.renderer.domElement);
    this.controls.addEventListener('change', () => this.requestRender());
    this.scene.add(new THREE.HemisphereLight(0xffffff, 0x667080, 2.2));
    this.light = new THREE.DirectionalLight(0xffffff, 1.6);
    this.scene.add(this.light);
    this.content = new THREE.Group();
    this.decor = new THREE.Group();
    this.scene.add(this.content, this.decor);
    this.pickables = [];
    this.hovered = null;
    this.onHover = () => {};
    this.onPick = () => {};
    this.listenForPicks();
    new ResizeObserver(() => this.resize()).observe(container);
    this.resize();
  }

  resize() {
    const width = Math.max(1, this.container.clientWidth);
    const height = Math.max(1, this.container.clientHeight);
    this.renderer.setSize(width, height, false);
    this.camera.aspect = width / height;
    this.camera.updateProjectionMatrix();
    this.requestRender();
  }

  requestRender() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      this.light.position.copy(this.camera.position);
      this.renderer.render(this.scene, this.camera);
    });
  }

  // Replaces what is shown. `up` is 'z' for a source frame as CAD tools draw
  // it, 'y' for the mount frame, whose plate is the plane y = 0.
  // `keepCamera` leaves the person's view as it is (a toggle, not a new model).
  show(object, { up, plate = false, pickables = [], keepCamera = false }) {
    this.content.clear();
    this.decor.clear();
    this.content.add(object);
    this.pickables = pickables;
    this.hovered = null;
    const box = new THREE.Box3().setFromObject(object);
    const size = box.getSize(new THREE.Vector3());
    const reach = Math.max(size.x, size.y, size.z, 1);
    this.decor.add(labelledAxes(reach * 0.35));
    if (plate) {
      // 50 mm squares on the lattice of the search cells: an even count keeps a line on the origin.
      const squares = 2 * Math.ceil((reach * 0.8) / 50);
      this.decor.add(new THREE.GridHelper(squares * 50, squares, 0x8a96a8, 0xc6ccd6));
    }
    if (keepCamera) {
      this.requestRender();
      return;
    }
    this.camera.up.set(0, up === 'z' ? 0 : 1, up === 'z' ? 1 : 0);
    const centre = box.getCenter(new THREE.Vector3());
    const away = up === 'z' ? new THREE.Vector3(1.1, -1.6, 1.0) : new THREE.Vector3(1.1, 1.0, 1.6);
    // Far enough that the bounding sphere fits the narrower of the two fields of view.
    const halfField = THREE.MathUtils.degToRad(this.camera.fov) / 2;
    const narrower = Math.min(halfField, Math.atan(Math.tan(halfField) * this.camera.aspect));
    const distance = Math.max(size.length() / 2, 1) / Math.sin(narrower);
    this.camera.position.copy(centre).addScaledVector(away.normalize(), distance);
    this.camera.near = distance / 1000;
    this.camera.far = distance * 100;
    this.camera.updateProjectionMatrix();
    this.controls.target.copy(centre);
    this.controls.update();
    this.requestRender();
  }

  clear() {
    this.content.clear();
    this.decor.clear();
    this.pickables = [];
    this.requestRender();
  }

  pickAt(clientX, clientY) {
    const rect = this.renderer.domElement.getBoundingClientRect();
    const pointer = new THREE.Vector2(((clientX - rect.left) / rect.width) * 2 - 1,
      -((clientY - rect.top) / rect.height) * 2 + 1);
    const raycaster = new THREE.Raycaster();
    raycaster.setFromCamera(pointer, this.camera);
    const hit = raycaster.intersectObjects(this.pickables, false)[0];
    return hit ? hit.object : null;
  }

  listenForPicks() {
    const canvas = this.renderer.domElement;
    let down = null;
    // One pick per frame at most: a large model makes each pick cost.
    let lastMove = null;
    canvas.addEventListener('pointermove', (event) => {
      if (lastMove === null) {
        requestAnimationFrame(() => {
          const object = this.pickAt(lastMove.clientX, lastMove.clientY);
          lastMove = null;
          if (object !== this.hovered) {
            this.hovered = object;
            this.onHover(object);
            canvas.style.cursor = object ? 'pointer' : 'grab';
          }
        });
      }
      lastMove = event;
    });
    canvas.addEventListener('pointerleave', () => {
      if (this.hovered) {
        this.hovered = null;
        this.onHover(null);
      }
    });
    canvas.addEventListener('pointerdown', (event) => { down = [event.clientX, event.clientY]; });
    // A click, not the end of an orbit drag.
    canvas.addEventListener('pointerup', (event) => {
      if (down && Math.hypot(event.clientX - down[0], event.clientY - down[1]) < 5) {
        const object = this.pickAt(event.clientX, event.clientY);
        if (object) this.onPick(object);
      }
      down = null;
    });
  }

  // A point in page coordinates where `object` is the first thing the pointer
  // meets, or null when it is hidden everywhere tried.
  visiblePointOf(object) {
    const positions = object.geometry.getAttribute('position');
    const index = object.geometry.getIndex();
    const rect = this.renderer.domElement.getBoundingClientRect();
    const a = new THREE.Vector3();
    const b = new THREE.Vector3();
    const c = new THREE.Vector3();
    for (let t = 0; t < index.count; t += 3) {
      a.fromBufferAttribute(positions, index.getX(t));
      b.fromBufferAttribute(positions, index.getX(t + 1));
      c.fromBufferAttribute(positions, index.getX(t + 2));
      const centroid = a.add(b).add(c).divideScalar(3).applyMatrix4(object.matrixWorld).project(this.camera);
      const x = rect.left + (centroid.x + 1) / 2 * rect.width;
      const y = rect.top + (1 - centroid.y) / 2 * rect.height;
      if (Math.abs(centroid.x) < 0.98 && Math.abs(centroid.y) < 0.98 && this.pickAt(x, y) === object) {
        return { x, y };
      }
    }
    return null;
  }
}
