#!/usr/bin/env bash
# Installs the Debian packages QuorCache builds and tests with, skipping the
# step when every one of them is already present. Needs root (apt-get).
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
  wine wine32:i386 wine64
  redis-server redis-tools libssl-dev openssl
  gnuplot-nox jq
  wixl msitools zip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive

install() { apt-get "$@" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }

# A mirror in the middle of a sync fails one index (seen: the security
# suite's i386 list). apt-get then keeps going with what it has, and the
# install below tells whether that was enough.
apt-get update -qq || echo "apt-get update reported errors; trying the install with the lists it has"
install && exit 0

# wine32:i386 needs i386 libraries of the same versions as the amd64 ones; a
# missing i386 security index breaks that. Debian's main suites alone agree
# with each other, so try once more with those.
echo "Install failed; retrying with Debian's main suites only"
sources=$(mktemp -d)
trap 'rm -rf "$sources"' EXIT
cat > "$sources/debian.sources" <<'SOURCES'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
main_only=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$sources")
apt-get "${main_only[@]}" update -qq
install "${main_only[@]}"
