#!/usr/bin/env bash
# The release check: makes the release of HEAD twice, with scripts/release.sh
# in two clean clones in two different folders, one after the other, the
# second under another time zone, umask, locale and a stray
# SOURCE_DATE_EPOCH, and fails, naming what differed, unless both give the
# same saverset.exe, zip and SHA256SUMS. Then checks what the first one holds:
# the three entries of the zip, CRLF texts, checksums that verify, a PE
# header and resources without a time, and the version resource carrying the
# version of the zip's name.
#
# Needs git, cmake, the i686 MinGW-w64 toolchain, zip and unzip.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
commit=$(git -C "$root" rev-parse --verify HEAD)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
  echo "release check: $*" >&2
  failures=$((failures + 1))
}

first=$scratch/a/saverset
second=$scratch/another/folder/further/down/saverset-clone
clone() {
  git clone -q --no-hardlinks "$root" "$1"
  git -C "$1" checkout -q --detach "$commit"
}
clone "$first"
(cd "$first" && scripts/release.sh >/dev/null)
(
  umask 077
  clone "$second"
  cd "$second"
  TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1 scripts/release.sh >/dev/null
)

# What the two releases differ in, as precisely as the files allow.
compare() {
  local name=$1 one=$2 two=$3
  if [ ! -f "$one" ] || [ ! -f "$two" ]; then
    fail "$name: missing in one of the releases"
    return
  fi
  cmp -s "$one" "$two" && return
  fail "$name differs between $first and $second"
  cmp -l "$one" "$two" | head -n 5 | sed 's/^/    byte, octal values: /' >&2 || true
}

zip_one=$(cd "$first/dist" && ls saverset-*-win32.zip 2>/dev/null || true)
zip_two=$(cd "$second/dist" && ls saverset-*-win32.zip 2>/dev/null || true)
if [ -z "$zip_one" ] || [ "$zip_one" != "$zip_two" ]; then
  fail "zip names differ or are missing: '$zip_one' and '$zip_two'"
  exit 1
fi
compare saverset.exe "$first/build/release/stage/saverset.exe" "$second/build/release/stage/saverset.exe"
compare "$zip_one" "$first/dist/$zip_one" "$second/dist/$zip_one"
compare SHA256SUMS "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"
if ! cmp -s "$first/dist/$zip_one" "$second/dist/$zip_one"; then
  diff <(zipinfo -v "$first/dist/$zip_one" | tail -n +2) <(zipinfo -v "$second/dist/$zip_one" | tail -n +2) |
    head -n 20 | sed 's/^/    zip headers: /' >&2 || true
  for entry in saverset.exe README.txt LICENSE.txt; do
    cmp -s <(unzip -p "$first/dist/$zip_one" "$entry") <(unzip -p "$second/dist/$zip_one" "$entry") ||
      fail "$zip_one: entry $entry differs"
  done
fi

# What the first release holds.
dist=$first/dist
version=${zip_one#saverset-}
version=${version%-win32.zip}
[ "$(ls -A "$dist" | wc -l)" -eq 2 ] && [ -f "$dist/SHA256SUMS" ] ||
  fail "dist/ holds $(ls -A "$dist" | tr '\n' ' '), not the zip and SHA256SUMS alone"
entries=$(unzip -Z1 "$dist/$zip_one" | tr '\n' ' ')
[ "$entries" = "saverset.exe README.txt LICENSE.txt " ] || fail "$zip_one holds '$entries', not saverset.exe README.txt LICENSE.txt"

commit_time=$(git -C "$first" log -1 --format=%ct)
while read -r mode _ _ _ _ _ time name; do
  case $name in
  saverset.exe) [ "$mode" = "-rwxr-xr-x" ] || fail "$name has mode $mode" ;;
  *) [ "$mode" = "-rw-r--r--" ] || fail "$name has mode $mode" ;;
  esac
  # An entry's time is kept to two seconds, as UTC for this zip.
  seconds=$(date -u -d "${time:0:8} ${time:9:2}:${time:11:2}:${time:13:2}" +%s)
  [ $((seconds - commit_time)) -ge -1 ] && [ $((seconds - commit_time)) -le 1 ] ||
    fail "$name has the time $time, not the commit's time"
done < <(zipinfo -T "$dist/$zip_one" | grep -E '^[-d]')

unpacked=$scratch/unpacked
mkdir "$unpacked"
unzip -q "$dist/$zip_one" -d "$unpacked"
for text in README.txt LICENSE.txt; do
  # Every line ends in CR LF, the last one too; no bare LF, no bare CR.
  if LC_ALL=C grep -qv $'\r$' "$unpacked/$text" || LC_ALL=C grep -q $'\r.' "$unpacked/$text" ||
    [ -n "$(tail -c 1 "$unpacked/$text" | tr -d '\n')" ]; then
    fail "$text does not have CRLF line ends throughout"
  fi
done
cmp -s <(tr -d '\r' <"$unpacked/LICENSE.txt") "$root/LICENSE" || fail "LICENSE.txt is not LICENSE"
cmp -s <(tr -d '\r' <"$unpacked/README.txt") "$root/docs/README.txt" || fail "README.txt is not docs/README.txt"

(cd "$dist" && sha256sum --quiet -c --ignore-missing SHA256SUMS) || fail "SHA256SUMS does not verify the zip"
(cd "$unpacked" && sha256sum --quiet -c --ignore-missing "$dist/SHA256SUMS") || fail "SHA256SUMS does not verify saverset.exe"
[ "$(cut -d' ' -f3 "$dist/SHA256SUMS" | tr '\n' ' ')" = "$zip_one saverset.exe " ] || fail "SHA256SUMS does not name the zip and saverset.exe"

headers=$(i686-w64-mingw32-objdump -p "$unpacked/saverset.exe")
grep -q 'file format pei-i386' <<<"$headers" || fail "saverset.exe is not a 32-bit PE program"
grep -qE '^Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970' <<<"$headers" || fail "the PE header has a time: $(grep '^Time/Date' <<<"$headers")"
if grep -E 'Time: ' <<<"$headers" | grep -vq 'Time: 00000000'; then
  fail "a resource table has a time"
fi
# The version resource's texts are UTF-16; without the NUL bytes they read as ASCII.
tr -d '\0' <"$unpacked/saverset.exe" | grep -aq "FileVersion$version" ||
  fail "the version resource does not hold the version $version of the zip's name"

if [ "$failures" -ne 0 ]; then
  echo "release check: $failures failure(s)" >&2
  exit 1
fi
echo "release check: two clones of $commit gave the same release, $zip_one"
sed 's/^/    /' "$dist/SHA256SUMS"
