#!/usr/bin/env bash
# The menu entry and the software-centre description pass their validators.
set -euo pipefail
src=$1
for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (tools/install-deps.sh installs it)"; exit 77; }
done
desktop-file-validate "$src/resources/desktop/vexmorping.desktop"
appstreamcli validate --no-net --pedantic "$src/resources/desktop/io.github.zembrova.VexmorPing.metainfo.xml"
echo "both valid"
