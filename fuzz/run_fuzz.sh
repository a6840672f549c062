#!/usr/bin/env bash
# run_fuzz.sh BINARY SEED_DIR WORK_DIR SECONDS: fuzzes a copy of the seeds for
# SECONDS; fails on a crash, a sanitizer report, a failed property or a hang.
set -euo pipefail
binary="$1" seeds="$2" work="$3" seconds="$4"

rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp -R "$seeds/." "$work/corpus/"

dict=()
if [ -f "$seeds.dict" ]; then dict=(-dict="$seeds.dict"); fi

# -timeout: a single input taking 10 s is a hang, not slowness.
exec "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "${dict[@]}" "$work/corpus"
