#!/usr/bin/env bash
# Installs the Debian packages the build and tests need. Idempotent: when
# everything is present it only runs a few dpkg queries.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-win32
  wine wine32:i386 wine64
  xvfb xauth imagemagick fonts-wine fonts-liberation
  libgtest-dev libbenchmark-dev zlib1g-dev libssl-dev libtomlplusplus-dev
  osslsigncode xdelta3 bsdiff zstd xz-utils locales
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
ensure_locale() {
  # Wine takes its ANSI code page from the locale: ru_RU.UTF-8 gives 1251.
  locale -a 2>/dev/null | grep -qi '^ru_RU.utf8$' && return 0
  sed -i 's/^# *ru_RU.UTF-8 UTF-8/ru_RU.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
}
if [ ${#missing[@]} -eq 0 ]; then ensure_locale; exit 0; fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
ensure_locale
