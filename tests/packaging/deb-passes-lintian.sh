#!/usr/bin/env bash
# Builds the Debian package from the build tree and has lintian check it the
# way a distribution would: any error fails, warnings are shown.
set -euo pipefail
build=$1
command -v lintian >/dev/null || { echo "SKIP: lintian is missing (tools/install-deps.sh installs it)"; exit 77; }
command -v dpkg-shlibdeps >/dev/null || { echo "SKIP: dpkg-shlibdeps is missing (tools/install-deps.sh installs dpkg-dev)"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/vexmorping_*.deb)

# lintian exits non-zero when it finds an error. A manual page groff cannot
# format cleanly is only a warning to lintian, but it is ours to mend.
status=0
lintian --fail-on error "$deb" | tee "$work/lintian.txt" || status=$?
[ "$status" = 0 ] || { echo "FAIL: lintian reports errors in $(basename "$deb")"; exit 1; }
if grep -q 'groff-message' "$work/lintian.txt"; then echo "FAIL: the manual page does not format cleanly"; exit 1; fi
echo "lintian finds no errors"
