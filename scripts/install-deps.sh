#!/usr/bin/env bash
# Installs the Debian packages QuorCache builds and tests with, skipping the
# step when every one of them is already present. Needs root (apt-get).
#
# A mirror in the middle of a sync fails an index now and then (seen: the
# security suite's i386 list, "File has unexpected size ... Mirror sync in
# progress?"), so the index update is tried a few times, then the install goes
# on with the lists apt has. Only when no way of installing works does the
# script stop, with one message naming the index that failed.
#   QC_APT_UPDATE_TRIES   index update attempts (default 3)
#   QC_APT_RETRY_PAUSE    seconds between them (default 20)
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
tries=${QC_APT_UPDATE_TRIES:-3}
pause=${QC_APT_RETRY_PAUSE:-20}

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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "E: Failed to fetch URL  REASON" in apt-get update's complaints in $1:
# the first index that failed, and why.
failed_index() { sed -nE 's/^E: Failed to fetch +([^ ]+).*/\1/p' "$1" | head -n1; }
failure_reason() { sed -nE 's/^E: Failed to fetch +[^ ]+ +(.*)/\1/p' "$1" | head -n1; }

# apt-get update with the options "${@:2}", up to $tries times; the last
# attempt's complaints stay in the file $1.
update() {
  local errors=$1 attempt
  shift
  for ((attempt = 1; ; attempt++)); do
    apt-get "$@" update -qq >/dev/null 2>"$errors" && return 0
    [ "$attempt" -ge "$tries" ] && break
    echo "apt-get update failed (attempt $attempt of $tries); trying again in ${pause}s"
    sleep "$pause"
  done
  local index
  index=$(failed_index "$errors")
  echo "apt-get update still fails${index:+ on $index}; going on with the package lists apt has"
  return 1
}

install() {
  apt-get "$@" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>"$work/install.err"
}

update "$work/update.err" || true
install && exit 0

# wine32:i386 needs i386 libraries of the same versions as the amd64 ones; a
# missing i386 security index breaks that. Debian's main suites alone agree
# with each other, so try once more with those.
echo "Install failed; retrying with Debian's main suites only"
cat >"$work/debian.sources" <<'SOURCES'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
main_only=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$work")
update "$work/main-update.err" "${main_only[@]}" || true
install "${main_only[@]}" && exit 0

# One message, about what the operator can act on: the first index that
# failed, or else apt-get's own complaint about the install.
{
  errors=$work/update.err
  [ -n "$(failed_index "$errors")" ] || errors=$work/main-update.err
  index=$(failed_index "$errors")
  if [ -n "$index" ]; then
    echo "install-deps: cannot install the packages: the package index $index"
    echo "failed to update ($(failure_reason "$errors")) and apt has no usable copy of it."
    echo "A mirror in the middle of a sync does this for a while (mirrors resync every few hours):"
    echo "run scripts/install-deps.sh again later, or point /etc/apt/sources.list.d at another mirror."
  else
    echo "install-deps: apt-get could not install: ${missing[*]}"
    sed 's/^/  /' "$work/install.err"
  fi
} >&2
exit 1
