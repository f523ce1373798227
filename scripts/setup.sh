#!/usr/bin/env bash
# Installs every system package the build, the tests and the demo need (Debian 12, as root).
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The plug-in's 32-bit build links the i386 SQLite.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi

# The plug-in's Windows test host runs against a sqlite3.dll built from Debian's own SQLite
# source (apt-get source sqlite3, at build time), so the source lists are needed too.
SourcesList=/etc/apt/sources.list.d/corvena-deb-src.sources
if [ ! -e "$SourcesList" ]; then
    Codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    $SUDO tee "$SourcesList" >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $Codename $Codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $Codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi

$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
    build-essential cmake ninja-build pkg-config git time \
    libsqlite3-dev sqlite3 \
    googletest libgtest-dev libgmock-dev \
    qt6-base-dev qt6-base-dev-tools libgl-dev libqt6opengl6-dev \
    fonts-wqy-microhei xvfb xauth xdotool x11-utils \
    g++-multilib libsqlite3-dev:i386 qemu-user \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 \
    wine wine32:i386 tcl \
    mdbtools-dev libxcb1-dev clang libclang-rt-14-dev linux-perf tmux bc \
    qt6-tools-dev qt6-l10n-tools qt6-translations-l10n ccache \
    lintian desktop-file-utils fakeroot dpkg-dev file locales \
    appstream systemd imagemagick \
    libpq-dev postgresql postgresql-common
