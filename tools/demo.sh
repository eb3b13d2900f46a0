#!/usr/bin/env bash
# Prepares the bundled example into a fresh folder and shows what happened.
set -euo pipefail
binary=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
out_dir=$(mktemp -d "${TMPDIR:-/tmp}/peltocadprep-demo-XXXXXX")
input="$root/examples/mold_shell.obj"
output="$out_dir/mold_shell.peltogeom"
request="$out_dir/mold_shell.request.json"
sed -e "s|@INPUT@|$input|" -e "s|@OUTPUT@|$output|" "$root/examples/mold_shell.request.json" > "$request"

echo "== capabilities"
"$binary" capabilities
echo
echo "== request ($request)"
cat "$request"
echo
echo "== $binary prepare $request"
status=0
"$binary" prepare "$request" || status=$?
echo
if [[ $status -eq 0 ]]; then
  echo "package published at $output ($(stat -c %s "$output") bytes)"
elif [[ $status -eq 3 ]]; then
  echo "no package: this build does not carry the importer for the example's format yet (exit status 3)"
else
  echo "no package was published (exit status $status)"
  exit "$status"
fi
