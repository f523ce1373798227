#!/usr/bin/env bash
# Builds the Debian packages corvena-index, corvena and varnel into build/package/packages/ as a
# Debian build would: a tree of its own (build/package) with the prefix /usr, no tests, and the
# flags dpkg-buildflags gives with every hardening feature on (stack protector, fortified
# functions, relocations read-only and bound at load time, position-independent programs).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$cppflags $(dpkg-buildflags --get CFLAGS)"
cxxflags="$cppflags $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF -DCORVENA_CROSS_BUILDS=OFF \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build build/package -j "$(nproc)"
rm -rf build/package/packages
(cd build/package && cpack -G DEB -B "$PWD/packages" >/dev/null)
rm -rf build/package/packages/_CPack_Packages
ls build/package/packages/*.deb
