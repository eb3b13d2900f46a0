#!/usr/bin/env bash
# Starts the review workstation on 127.0.0.1 and prints its address.
#   tools/review.sh [--port N]     (default 8765; 0 picks a free port)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ! -d "$root/viewer/node_modules/three" ]]; then
  bash "$root/tools/bootstrap.sh"
fi
exec node "$root/viewer/server.mjs" "$@"
