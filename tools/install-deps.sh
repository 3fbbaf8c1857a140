#!/usr/bin/env bash
# Installs what building, running and testing VexmorPing! needs on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config \
  qt6-base-dev qt6-svg-dev libgl-dev libssl-dev openssl \
  libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev \
  iproute2 iputils-ping nftables xvfb xauth \
  fingerd finger socat python3-aiosmtpd sharutils clang libclang-rt-dev \
  dovecot-pop3d xinetd curl python3 vsftpd trayer \
  dpkg-dev file desktop-file-utils appstream lintian >/dev/null
