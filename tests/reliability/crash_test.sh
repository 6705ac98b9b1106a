#!/usr/bin/env bash
# Kills the crash writer with SIGKILL at random moments while it rewrites a
# system.ini and a registry file of about 4 MiB each, and checks after every
# kill that each file is byte for byte the old or the new generation, that the
# registry file parses, and that nothing is left in the machine folder.
#
#   crash_test.sh CRASH_WRITER [KILLS]      (KILLS also from SAVERSET_CRASH_KILLS)
#
# What is counted, honestly:
# - torn or lost: a file that is neither generation, or a registry file that
#   does not parse. Must be 0.
# - left right after a kill: stray entries (such as .saverset-new)
#   found at once. A writer holds its new file under such a name only between
#   two system calls (linkat and rename), so a kill rarely lands there; this
#   count is reported and must stay below 2% of the kills.
# - left after the next write: after a kill that left something, one more
#   write of each file runs to its end, and the folder is listed again. Must
#   be 0.
set -euo pipefail

writer=$1
kills=${2:-${SAVERSET_CRASH_KILLS:-200}}
# Up to this many microseconds between start and kill: a few generations.
max_delay_us=${SAVERSET_CRASH_MAX_DELAY_US:-150000}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/saverset-crash-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# Two levels deep, as any machine folder of a user.
machine=$scratch/home/user/machine
"$writer" setup "$machine"

profile=0 registry=0
torn=0 left_at_once=0 left_after_next=0 killed_inside=0
for ((round = 1; round <= kills; round++)); do
  "$writer" run "$machine" "$profile" "$registry" >"$scratch/progress" 2>"$scratch/errors" &
  pid=$!
  delay=$(( (RANDOM * 32768 + RANDOM) % max_delay_us ))
  sleep "$(printf '0.%06d' "$delay")"
  kill -KILL "$pid" 2>/dev/null || true
  if wait "$pid" 2>/dev/null; then status=0; else status=$?; fi
  if [ "$status" -ne 137 ] && [ "$status" -ne 0 ]; then
    echo "round $round: the writer failed on its own (exit $status):"
    cat "$scratch/errors"
    exit 1
  fi
  last_p=$(grep '^P ' "$scratch/progress" | tail -n 1 | cut -d' ' -f2 || true)
  last_r=$(grep '^R ' "$scratch/progress" | tail -n 1 | cut -d' ' -f2 || true)
  last_p=${last_p:-$profile} last_r=${last_r:-$registry}

  if ! "$writer" check "$machine" "$last_p" "$last_r" >"$scratch/check"; then
    torn=$((torn + 1))
    echo "round $round: TORN OR LOST after a kill at ${delay}us (reported P $last_p R $last_r)"
    cat "$scratch/check"
    break
  fi
  read -r _ profile _ registry < <(head -n 1 "$scratch/check")
  # A generation beyond the last reported one: the kill came after the write
  # and before its report, or inside the other file's write.
  if [ "$profile" -ne "$last_p" ] || [ "$registry" -ne "$last_r" ]; then
    killed_inside=$((killed_inside + 1))
  fi
  if grep -q '^leftover ' "$scratch/check"; then
    left_at_once=$((left_at_once + 1))
    echo "round $round: left right after the kill: $(grep '^leftover ' "$scratch/check" | tr '\n' ' ')"
    "$writer" run "$machine" "$profile" "$registry" 1 >/dev/null
    profile=$((profile + 1)) registry=$((registry + 1))
    "$writer" check "$machine" "$profile" "$registry" >"$scratch/check" || {
      torn=$((torn + 1))
      echo "round $round: TORN OR LOST after the next write"
      break
    }
    if grep -q '^leftover ' "$scratch/check"; then
      left_after_next=$((left_after_next + 1))
      echo "round $round: STILL LEFT after the next write: $(grep '^leftover ' "$scratch/check" | tr '\n' ' ')"
    fi
  fi
done

echo "kills $kills: torn or lost $torn, left right after a kill $left_at_once," \
  "left after the next write $left_after_next (kills between a write and its report: $killed_inside)"
[ "$torn" -eq 0 ] && [ "$left_after_next" -eq 0 ] && [ $((left_at_once * 50)) -le "$kills" ]
