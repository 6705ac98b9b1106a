#!/usr/bin/env bash
# Makes the release of the committed tree (HEAD): builds the win32 preset from
# a fresh export of that commit in build/release/ and writes into dist/
#
#   saverset-<version>-win32.zip   saverset.exe, README.txt, LICENSE.txt
#                                  (the two texts with CRLF line ends)
#   SHA256SUMS                     the SHA-256 of the zip and of saverset.exe
#
# <version> is the project's version in CMakeLists.txt. The same commit gives
# the same bytes in any folder, at any time and under any user's settings:
# every time stamp is the commit's time, the build maps its folders away, and
# the zip's entries have a fixed order, time and permissions.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-packages.sh release

commit=$(git rev-parse --verify HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "release: uncommitted changes are not part of the release of $commit" >&2
fi

# The caller's time zone, locale and umask must not reach the zip: zip writes
# local times, and files get the umask's permissions.
export TZ=UTC LC_ALL=C
umask 022
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH

work=$root/build/release
rm -rf "$work"
mkdir -p "$work/source" "$work/stage"
git archive --format=tar "$commit" | tar -x -C "$work/source"

echo "release: building $commit (win32 preset)"
# No tests in a release build: they need GoogleTest, and nothing of them ships.
(cd "$work/source" && cmake --preset win32 -DBUILD_TESTING=OFF >/dev/null && cmake --build build/win32 --target saverset -j"$(nproc)" >/dev/null)
built=$work/source/build/win32
version=$(cat "$built/saverset-version.txt")
zip_name=saverset-$version-win32.zip

# Texts for Windows: CRLF line ends, whatever the clone's own line ends are.
to_crlf() {
  sed -e 's/\r$//' -e 's/$/\r/' "$1"
}
stage=$work/stage
cp "$built/saverset.exe" "$stage/saverset.exe"
to_crlf "$work/source/docs/README.txt" >"$stage/README.txt"
to_crlf "$work/source/LICENSE" >"$stage/LICENSE.txt"
chmod 0755 "$stage/saverset.exe"
chmod 0644 "$stage/README.txt" "$stage/LICENSE.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*

mkdir -p dist
rm -f dist/saverset-*-win32.zip dist/SHA256SUMS
# -X: no extra fields (owner, high-resolution times); -D: no folder entries.
# The entries stand in the order given.
(cd "$stage" && zip -q -X -D "$root/dist/$zip_name" saverset.exe README.txt LICENSE.txt)
{
  (cd dist && sha256sum "$zip_name")
  (cd "$stage" && sha256sum saverset.exe)
} >dist/SHA256SUMS

echo "release: dist/$zip_name and dist/SHA256SUMS"
cat dist/SHA256SUMS
