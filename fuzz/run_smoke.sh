#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# CI smoke run of the fuzz targets: builds them with the fuzz preset and runs
# each for a few seconds (FUZZ_SECONDS, 8 unless set) on a scratch copy of
# its seed corpus, so the repository stays as it is. Fails when any target
# fails; the input that made it fail is kept in build/fuzz/artifacts/.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-8}
targets=(decoder codec clients identity)
bin=build/fuzz/fuzz
artifacts=build/fuzz/artifacts

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}" || exit 1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts"

failed=()
for target in "${targets[@]}"; do
  cp -r "fuzz/corpus/$target" "$scratch/$target"
  log="$scratch/$target.log"
  if "$bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/$target-" "$scratch/$target" >"$log" 2>&1; then
    echo "fuzz_$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)"
  else
    failed+=("$target")
    echo "fuzz_$target FAILED:"
    tail -n 40 "$log"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]} (inputs in $artifacts/)"
  exit 1
fi
echo "all fuzz targets passed"
