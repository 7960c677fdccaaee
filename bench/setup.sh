#!/bin/sh
# Installs the benchmark peers of the signal benchmarks (Debian/Ubuntu). They serve bench/ only and
# are never dependencies of the deliverables. Packages already installed are skipped.
set -eu

PACKAGES="libfftw3-dev libkissfft-dev libliquid-dev libspeexdsp-dev libsamplerate0-dev libsoxr-dev pkg-config libbenchmark-dev"

missing=""
for pkg in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done

if [ -z "$missing" ]; then
    echo "benchmark peers already installed"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi

echo "installing:$missing"
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
