// Small pictures of the kept solids seated on the plate, one per mount of the
// seat record, drawn with one off-screen renderer from the same corner each
// time so the pictures compare at a glance.
import * as THREE from 'three';

export class MountPictures {
  constructor(width = 176, height = 100) {
    this.renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
    this.renderer.setSize(width, height, false);
    this.renderer.setClearColor(0xffffff);
    this.camera = new THREE.PerspectiveCamera(35, width / height, 0.1, 1e6);
    this.scene = new THREE.Scene();
    this.scene.add(new THREE.HemisphereLight(0xffffff, 0x667080, 2.2));
    this.light = new THREE.DirectionalLight(0xffffff, 1.4);
    this.scene.add(this.light);
  }

  // `parts` are [{geometry, color}], in source millimetres.
  draw(parts, mount) {
    const seated = new THREE.Group();
    seated.matrixAutoUpdate = false;
    seated.matrix.set(...mount.sourceToMount);
    for (const part of parts) {
      seated.add(new THREE.Mesh(part.geometry, new THREE.MeshStandardMaterial({
        color: part.color, roughness: 0.7, side: THREE.DoubleSide })));
    }
    const [minX, minY, minZ, maxX, maxY, maxZ] = mount.seatedBounds;
    const reach = Math.max(maxX - minX, maxY - minY, maxZ - minZ, 1);
    const plateSize = Math.max(maxX - minX, maxZ - minZ) * 1.3 + reach * 0.1;
    const plate = new THREE.Mesh(new THREE.PlaneGeometry(plateSize, plateSize),
      new THREE.MeshStandardMaterial({ color: 0x9aa6b6, roughness: 0.9, side: THREE.DoubleSide }));
    plate.rotation.x = -Math.PI / 2;
    plate.position.set((minX + maxX) / 2, 0, (minZ + maxZ) / 2);
    this.scene.add(seated, plate);

    const centre = new THREE.Vector3((minX + maxX) / 2, (minY + maxY) / 3, (minZ + maxZ) / 2);
    this.camera.position.copy(centre).addScaledVector(new THREE.Vector3(1.3, 1.0, 1.7).normalize(), reach * 2.3);
    this.camera.near = reach / 1000;
    this.camera.far = reach * 100;
    this.camera.updateProjectionMatrix();
    this.camera.lookAt(centre);
    this.light.position.copy(this.camera.position);
    this.renderer.render(this.scene, this.camera);
    const picture = this.renderer.domElement.toDataURL('image/png');

    this.scene.remove(seated, plate);
    plate.geometry.dispose();
    plate.material.dispose();
    seated.children.forEach((mesh) => mesh.material.dispose());
    return picture;
  }
}
