#!/usr/bin/env bash
# package.sh: builds the Debian package (a Release build installed under /usr)
# into build/package/jxbridge_<version>_<arch>.deb.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$top/build/package
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh" "$dir" Release -DCMAKE_INSTALL_PREFIX=/usr -DJX_TESTS=OFF
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/jxbridge_*.deb
