#!/usr/bin/env bash
# Configures and builds the release tree, then makes the Debian packages corvena-index, corvena
# and varnel in build/release/packages/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
rm -rf build/release/packages
(cd build/release && cpack -G DEB -B "$PWD/packages" >/dev/null)
rm -rf build/release/packages/_CPack_Packages
ls build/release/packages/*.deb
