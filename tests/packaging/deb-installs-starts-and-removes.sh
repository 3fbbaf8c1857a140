#!/usr/bin/env bash
# Builds the Debian package from the build tree, installs it on this machine,
# starts the installed program the way its menu entry does (offscreen), and
# removes the package again.
set -euo pipefail
build=$1
[ "$(id -u)" = 0 ] || { echo "SKIP: installing a package needs root"; exit 77; }
# One machine has one installed package: a second build tree's run of this
# test waits for the first to have removed it, rather than racing it.
exec 9>/tmp/vexmorping-package-test.lock
flock 9
command -v dpkg-shlibdeps >/dev/null || { echo "SKIP: dpkg-shlibdeps is missing (tools/install-deps.sh installs dpkg-dev)"; exit 77; }
if dpkg -s vexmorping >/dev/null 2>&1; then
  echo "SKIP: a vexmorping package is installed already; this test does not replace it"; exit 77
fi

work=$(mktemp -d)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  dpkg -s vexmorping >/dev/null 2>&1 && apt-get remove -y -qq vexmorping >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/vexmorping_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Read off the binary by dpkg-shlibdeps, not kept by hand.
for lib in libqt6widgets6 libsqlite3-0 libc6; do
  grep -q "$lib" <<<"$depends" || { echo "FAIL: $lib missing from Depends"; exit 1; }
done

apt-get install -y -qq "$deb" >/dev/null
for f in /usr/bin/vexmorping /usr/share/applications/vexmorping.desktop \
         /usr/share/icons/hicolor/scalable/apps/vexmorping.svg \
         /usr/share/metainfo/io.github.zembrova.VexmorPing.metainfo.xml; do
  [ -e "$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done

# The menu entry's command, with a home of its own.
cmd=$(sed -n 's/^Exec=//p' /usr/share/applications/vexmorping.desktop)
mkdir -p "$work/home"
HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state QT_QPA_PLATFORM=offscreen \
  $cmd >"$work/out.txt" 2>&1 &
pid=$!
for _ in $(seq 1 200); do
  [ -f "$work/config/VexmorPing/registry.db" ] && break
  kill -0 "$pid" 2>/dev/null || { echo "FAIL: the installed program exited"; cat "$work/out.txt"; exit 1; }
  sleep 0.1
done
[ -f "$work/config/VexmorPing/registry.db" ] || { echo "FAIL: no settings after start"; exit 1; }
kill -0 "$pid" || { echo "FAIL: the installed program did not stay up"; exit 1; }
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""

apt-get remove -y -qq vexmorping >/dev/null
if dpkg -s vexmorping 2>/dev/null | grep -q '^Status: install ok installed'; then echo "FAIL: still installed"; exit 1; fi
[ ! -e /usr/bin/vexmorping ] || { echo "FAIL: /usr/bin/vexmorping left behind"; exit 1; }
echo "built, installed, started and removed"
