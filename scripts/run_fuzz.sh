#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz (make build-fuzz) with its seed corpus and prints, per
# target, the executions of this run, the executions of all runs recorded in this build folder,
# and every finding.
#
#   scripts/run_fuzz.sh [SECONDS]          each target for SECONDS (default 60); inputs that reach
#                                          new code are kept in build/fuzz/work/<target>, findings
#                                          in build/fuzz/findings/<target>
#   scripts/run_fuzz.sh --smoke [SECONDS]  the seed corpora, then SECONDS (default 2) each; nothing
#                                          is kept
# FUZZ_TARGETS="line_parser wav_reader" limits the run to those targets. Exits non-zero when any
# target found something.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/fuzz
manifest=$build/fuzz_targets.txt
record=$build/executions.tsv

smoke=0
if [ "${1:-}" = --smoke ]; then
  smoke=1
  shift
fi
seconds=${1:-$([ $smoke = 1 ] && echo 2 || echo 60)}
if [ ! -s "$manifest" ]; then
  echo "run_fuzz: no fuzz targets in $build (make build-fuzz)" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
found=0
while IFS=$'\t' read -r label program corpus options; do
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $label "* ]]; then continue; fi
  if [ $smoke = 1 ]; then
    work=$scratch/work-$label findings=$scratch/findings-$label
  else
    work=$build/work/$label findings=$build/findings/$label
  fi
  mkdir -p "$work" "$findings"
  flags=()
  if [ -n "$options" ]; then read -ra flags < "$options"; fi
  log=$scratch/$label.log
  before=$(ls "$findings" | sort)
  nice -n 10 "$program" "$work" "$corpus" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${flags[@]}" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  runs=${runs:-0}
  new=$(comm -13 <(echo "$before") <(ls "$findings" | sort) | grep -v '^$')
  printf '%s\t%s\t%s\t%s\t%s\n' "$(date +%F_%T)" "$label" "$runs" "$seconds" "$status" >> "$record"
  total=$(awk -F'\t' -v t="$label" '$2 == t { s += $3 } END { printf "%d", s }' "$record")
  printf '%-16s %12d executions in %s s   (all recorded runs: %d)   ' "$label" "$runs" "$seconds" "$total"
  if [ "$status" = 0 ] && [ -z "$new" ]; then
    echo "no findings"
    continue
  fi
  found=1
  echo "FINDING (exit code $status)"
  grep -m 3 -E '^(property failed|SUMMARY|==[0-9]+==ERROR)|runtime error' "$log" | sed 's/^/    /'
  for f in $new; do echo "    input: $findings/$f"; done
  if [ $smoke = 1 ]; then tail -n 40 "$log" | sed 's/^/    | /'; fi
done < "$manifest"
exit $found
