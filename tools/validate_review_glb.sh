#!/usr/bin/env bash
# Checks a review model (.glb written by the review command) with the Khronos
# glTF validator. Run it by hand: it fetches the validator from the npm
# registry into a temporary folder, so it is not part of the test suite.
#
#   tools/validate_review_glb.sh path/to/review.glb
#
# Needs node and npm. Prints the validator version, the numbers of errors,
# warnings, infos and hints, and every message. Exit status: 0 when the model
# has no error, 1 when it has errors, 2 when it could not be validated.
set -euo pipefail

# Pinned so that two runs on the same file give the same report.
readonly validator_version="2.0.0-dev.3.10"

if [[ $# -ne 1 || ! -f "$1" ]]; then
  echo "usage: $0 <model.glb>" >&2
  exit 2
fi
model=$(realpath "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/peltocadprep-gltf-validator-XXXXXX")
trap 'rm -rf "$work"' EXIT

npm install --prefix "$work" --no-save --no-audit --no-fund --ignore-scripts --silent \
  "gltf-validator@$validator_version" || exit 2

cat > "$work/validate.js" <<'EOF'
const fs = require('fs');
const path = require('path');
const validator = require('gltf-validator');

const severities = ['error', 'warning', 'info', 'hint'];
const file = process.argv[2];
// maxIssues 0 reports every message, not only the first hundred.
validator.validateBytes(new Uint8Array(fs.readFileSync(file)),
                        {uri: path.basename(file), maxIssues: 0})
    .then((report) => {
      const issues = report.issues;
      console.log(`validator ${report.validatorVersion}`);
      console.log(`numErrors=${issues.numErrors} numWarnings=${issues.numWarnings} ` +
                  `numInfos=${issues.numInfos} numHints=${issues.numHints}`);
      for (const m of issues.messages) {
        console.log(`${severities[m.severity] ?? m.severity} ${m.code} ` +
                    `${m.pointer ?? m.offset ?? ''}: ${m.message}`);
      }
      process.exitCode = issues.numErrors > 0 ? 1 : 0;
    })
    .catch((error) => {
      console.error(`validation did not run: ${error}`);
      process.exitCode = 2;
    });
EOF

node "$work/validate.js" "$model"
