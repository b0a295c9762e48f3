#!/usr/bin/env bash
# scripts/install-deps.sh against stand-ins for dpkg, dpkg-query and apt-get
# on the PATH, which fail the way a mirror in the middle of a sync does.
#   FAKE_INSTALLED       packages dpkg-query reports as installed
#   FAKE_UPDATE_FAILS    how many index updates fail before one works ("always")
#   FAKE_INSTALL         ok | fail | main-only (works only with the main suites)
set -uo pipefail
script=$(cd "$(dirname "$0")/../../scripts" && pwd)/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
expect() {  # expect WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
for p in $FAKE_INSTALLED; do [ "$p" = "${!#}" ] && { echo 'install ok installed'; exit 0; }; done
exit 1
STUB
cat >"$work/bin/dpkg" <<'STUB'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
main_only=no
case " $* " in *Dir::Etc::SourceList=/dev/null*) main_only=yes ;; esac
case " $* " in
  *" update "*)
    echo "update main_only=$main_only" >>"$FAKE_LOG"
    updates=$(grep -c '^update' "$FAKE_LOG")
    if [ "$FAKE_UPDATE_FAILS" = always ] || [ "$updates" -le "$FAKE_UPDATE_FAILS" ]; then
      echo "W: Some index files failed to download."
      echo "E: Failed to fetch http://security.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (83032 != 83020). Mirror sync in progress? [IP: 151.101.2.132 80]" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi ;;
  *" install "*)
    echo "install main_only=$main_only" >>"$FAKE_LOG"
    case "$FAKE_INSTALL/$main_only" in
      ok/* | main-only/yes) ;;
      *) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
    esac ;;
esac
exit 0
STUB
chmod +x "$work/bin/"*

# run NAME UPDATE_FAILS INSTALL [INSTALLED]: the script's exit code in $rc,
# its output in $out, the stand-in's calls in $log.
run() {
  log=$work/$1.log out=$work/$1.out
  : >"$log"
  PATH=$work/bin:$PATH FAKE_LOG=$log FAKE_UPDATE_FAILS=$2 FAKE_INSTALL=$3 FAKE_INSTALLED=${4:-} \
    QC_APT_RETRY_PAUSE=0 QC_APT_UPDATE_TRIES=3 "$script" >"$out" 2>&1
  rc=$?
}
calls() { grep -c "^$1 main_only=$2" "$log"; }
says() { grep -qF -- "$1" "$out"; }

# Every package the script installs, read from its own list.
everything=$(sed -n '/^packages=(/,/^)/p' "$script" | sed '1d;$d')
run installed always fail "$everything"
expect "nothing missing: exit 0 without apt-get" test "$rc" = 0 -a ! -s "$log"

run resync 2 ok
expect "an index that fails twice: exit 0" test "$rc" = 0
expect "an index that fails twice: updated three times, installed once" \
  test "$(calls update no)/$(calls install no)/$(calls install yes)" = 3/1/0

run stale always ok
expect "an index that always fails: exit 0 with the lists apt has" test "$rc" = 0
expect "an index that always fails: three updates, then the install" \
  test "$(calls update no)/$(calls install no)" = 3/1
expect "an index that always fails: the index skipped is named" \
  says "still fails on http://security.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"

run mismatched always main-only
expect "i386 out of step: the main suites alone install" test "$rc" = 0
expect "i386 out of step: updated and installed with the main suites" \
  test "$(calls update yes)/$(calls install yes)" = 3/1

run broken always fail
expect "nothing installs: exit 1" test "$rc" = 1
expect "nothing installs: the message names the failing index and why" \
  says "the package index http://security.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
expect "nothing installs: the message gives the mirror's reason" says "File has unexpected size (83032 != 83020)"
expect "nothing installs: the message says what to do" says "run scripts/install-deps.sh again later"
expect "nothing installs: the message comes once" test "$(grep -c 'install-deps: ' "$out")" = 1

run held 0 fail
expect "an install that fails with fresh lists: exit 1 with apt-get's complaint" \
  test "$rc" = 1 -a "$(grep -c 'held broken packages' "$out")" -ge 1
expect "an install that fails with fresh lists: no index is blamed" test "$(grep -c 'package index' "$out")" = 0

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
