// The page: two tabs, one error banner, and the routing of opened or dropped
// files to the tab that reads them. Every failure ends in the banner, in
// words; the views keep what they showed before.
import { ReviewPage } from './review_page.js';
import { PackagePage } from './package_page.js';

const $ = (id) => document.getElementById(id);

const report = {
  error(message) {
    const banner = $('errors');
    banner.textContent = message;
    banner.hidden = false;
  },
  clear() {
    $('errors').hidden = true;
    $('errors').textContent = '';
  },
};

function showTab(name) {
  for (const tab of document.querySelectorAll('.tab')) tab.classList.toggle('active', tab.dataset.tab === name);
  $('review').hidden = name !== 'review';
  $('package').hidden = name !== 'package';
  (name === 'review' ? reviewPage : packagePage).view.resize();
}

const reviewPage = new ReviewPage(report);
const packagePage = new PackagePage(report);

// The kind of a file, from its name first and its first bytes second.
function kindOf(file, head) {
  const name = file.name.toLowerCase();
  if (name.endsWith('.peltogeom')) return 'package';
  if (name.endsWith('.glb')) return 'review';
  if (name.endsWith('.json')) return 'seat';
  if (head[0] === 0x50 && head[1] === 0x4b) return 'package';
  if (head[0] === 0x67 && head[1] === 0x6c && head[2] === 0x54 && head[3] === 0x46) return 'review';
  if (head[0] === 0x7b) return 'seat';
  return null;
}

async function openFile(file, expected) {
  let kind = expected;
  try {
    const buffer = await file.arrayBuffer();
    kind ??= kindOf(file, new Uint8Array(buffer, 0, Math.min(4, buffer.byteLength)));
    // Cleared first: opening one file may still report on another (a seat record it closes).
    report.clear();
    if (kind === 'review') {
      showTab('review');
      reviewPage.openReviewModel(buffer, file.name);
    } else if (kind === 'seat') {
      showTab('review');
      reviewPage.openSeatRecord(new TextDecoder().decode(buffer), file.name);
    } else if (kind === 'package') {
      showTab('package');
      packagePage.openPackage(buffer, file.name);
    } else {
      throw new Error(`${file.name} is none of the files this page reads: a review model (.glb), ` +
        'a seat record (.json) or a package (.peltogeom)');
    }
  } catch (error) {
    const message = `${file.name} could not be opened: ${error.message}`;
    report.error(message);
    // An empty view says why it is empty.
    if (kind === 'package' && !packagePage.pkg) $('package-legend').textContent = message;
    if (kind === 'review' && !reviewPage.review) $('review-legend').textContent = message;
  }
}

for (const [id, kind] of [['review-file', 'review'], ['seat-file', 'seat'], ['package-file', 'package']]) {
  $(id).addEventListener('change', async (event) => {
    for (const file of event.target.files) await openFile(file, kind);
    event.target.value = '';
  });
}
for (const tab of document.querySelectorAll('.tab')) tab.addEventListener('click', () => showTab(tab.dataset.tab));

window.addEventListener('dragover', (event) => event.preventDefault());
window.addEventListener('drop', async (event) => {
  event.preventDefault();
  // In any order: a seat record opened before its model is matched when the model comes.
  for (const file of event.dataTransfer.files) await openFile(file);
});
window.addEventListener('error', (event) => report.error(`The page met a fault: ${event.message}`));
window.addEventListener('unhandledrejection', (event) => report.error(`The page met a fault: ${event.reason?.message ?? event.reason}`));

// Scripts and the browser tests reach the two tabs here.
window.workstation = { review: reviewPage, package: packagePage, ready: true };
