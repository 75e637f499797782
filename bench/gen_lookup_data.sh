#!/usr/bin/env bash
# Generates the data of the history and lookup benchmarks under bench/data/, once: a later call
# finds it complete and does nothing.
#
#   bench/data/history/sessions/proj/2024-01-01T00-00-00-000Z_<HISTORY_ID>.jsonl   1 GiB of JSON lines
#   bench/data/lookup/state/.vantle/vantle-env-v1/e000.json .. e099.json         100 endpoint snapshots,
#       all with HOME=bench/data/lookup/home, so they share one sessions directory:
#   bench/data/lookup/home/.omp/agent/sessions/p000 .. p199/                      100 session files each
#
# usage: bench/gen_lookup_data.sh [history|lookup]...   (no name: both)
# The ids the benchmarks look up are printed by `bench/gen_lookup_data.sh ids`.
set -euo pipefail

data=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/data
HISTORY_ID=0b9d3c52-6f1e-4c1a-9a8e-5d7f1e2a3b4c
# The session id of project 137, file 42 (the same pattern as below): deep in the listing.
LOOKUP_ID=00000089-7c1d-4e5f-8a9b-00000000002a

gen_history() {
  local dir=$data/history
  [[ -e $dir/.complete ]] && return
  rm -rf "$dir"
  mkdir -p "$dir/sessions/proj"
  local line='{"type":"message","id":"a1b2c3d4","parentId":"f0e1d2c3","timestamp":"2024-01-01T00:00:00.000Z","message":{"role":"assistant","content":[{"type":"text","text":"The build passes; next I will run the tests and read the failures."}]}}'
  # yes ends by SIGPIPE when head has enough, which pipefail would count as a failure.
  { yes "$line" || true; } | head -c $((1 << 30)) >"$dir/sessions/proj/2024-01-01T00-00-00-000Z_$HISTORY_ID.jsonl"
  touch "$dir/.complete"
}

gen_lookup() {
  local dir=$data/lookup
  [[ -e $dir/.complete ]] && return
  rm -rf "$dir"
  local sessions=$dir/home/.omp/agent/sessions snapshots=$dir/state/.vantle/vantle-env-v1
  mkdir -p "$sessions" "$snapshots"
  # printf -v, not $(...): forty thousand subshells would take minutes.
  local p f project stamp id names
  for ((p = 0; p < 200; p++)); do
    printf -v project '%s/p%03d' "$sessions" "$p"
    mkdir "$project"
    names=()
    for ((f = 0; f < 100; f++)); do
      printf -v stamp '2024-01-%02dT10-00-00-000Z' $((f % 28 + 1))
      printf -v id '%08x-7c1d-4e5f-8a9b-%012x' "$p" "$f"
      names+=("$project/${stamp}_$id.jsonl")
    done
    printf '{"type":"session"}\n' | tee "${names[@]}" >/dev/null
  done
  local e name
  for ((e = 0; e < 100; e++)); do
    printf -v name 'e%03d' "$e"
    printf '{"endpoint_id":"%s","launch_session_id":null,"selectors":{"HOME":"%s","OMP_PROFILE":null,"PI_CODING_AGENT_DIR":null,"PI_CONFIG_DIR":null,"PI_PROFILE":null,"USERPROFILE":null,"VANTLE_OMP_BIN":"/usr/local/bin/omp","XDG_DATA_HOME":null},"version":1}' \
      "$name" "$dir/home" >"$snapshots/$name.json"
  done
  touch "$dir/.complete"
}

main() {
  local what=("$@")
  ((${#what[@]})) || what=(history lookup)
  for w in "${what[@]}"; do
    case $w in
      history) gen_history ;;
      lookup) gen_lookup ;;
      ids) echo "history $HISTORY_ID"; echo "lookup $LOOKUP_ID" ;;
      *) echo "gen_lookup_data.sh: unknown data set $w" >&2; exit 2 ;;
    esac
  done
}

main "$@"
