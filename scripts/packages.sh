#!/usr/bin/env bash
# Installs what building and testing Quorvex needs on a Debian machine (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  cmake make g++ pkg-config \
  zlib1g-dev libbz2-dev libssl-dev libgtest-dev \
  qt6-base-dev libgl-dev \
  libsqlite3-dev \
  fonts-liberation2 locales
# Two locales for the tests that check results do not depend on the environment.
if ! locale -a 2>/dev/null | grep -qi '^de_DE.utf8$' || ! locale -a 2>/dev/null | grep -qi '^sv_SE.utf8$'; then
  sed -i -e 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' -e 's/^# *\(sv_SE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  locale-gen >/dev/null
fi
