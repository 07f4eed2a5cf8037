#!/usr/bin/env bash
# Builds the Debian packages from a build folder (cpack -G DEB) and checks them: `larkpost` holds
# the command-line program with its gzipped man page, completions and copyright, and pulls no Qt;
# `larkpost-gui` holds the desktop program, its man page, desktop entry, icon and copyright; the
# packaged larkpost says the build's version; lintian finds no error in either.
#
#   scripts/check-package.sh BUILD_DIR VERSION
#
# Exits 77 (skipped) without dpkg-deb or lintian, or when the build has no desktop program.
set -euo pipefail
build=$(realpath "$1")
version=$2
command -v dpkg-deb > /dev/null && command -v dpkg-shlibdeps > /dev/null ||
  { echo "check-package: skipped (no dpkg-deb or dpkg-shlibdeps: dpkg-dev)"; exit 77; }
command -v lintian > /dev/null || { echo "check-package: skipped (no lintian)"; exit 77; }
[ -x "$build/src/app/larkpost-gui" ] || { echo "check-package: skipped (no larkpost-gui built)"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $1" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" > "$work/cpack.log" 2>&1) ||
  fail "cpack failed: $(tail -n 20 "$work/cpack.log")"

# The package named $1, with the files $2...
check() {
  local name=$1 deb file
  shift
  deb=$(ls "$work"/out/"${name}"_*.deb 2> /dev/null | head -n 1)
  [ -n "$deb" ] || fail "no $name package made: $(ls "$work/out")"
  [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "$deb is named $(dpkg-deb -f "$deb" Package)"
  dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' > "$work/$name.contents"
  for file in "$@" "/usr/share/doc/$name/copyright"; do
    grep -qxF "$file" "$work/$name.contents" || fail "$file is not in $name"
  done
  ! grep -E '/man/.*\.[0-9]$' "$work/$name.contents" >&2 || fail "$name has a man page not gzipped"
  lintian --no-tag-display-limit "$deb" > "$work/$name.lintian" 2>&1 || true
  ! grep '^E:' "$work/$name.lintian" >&2 || fail "lintian finds errors in $name"
  echo "$deb"
}
cli=$(check larkpost /usr/bin/larkpost /usr/share/man/man1/larkpost.1.gz \
  /usr/share/bash-completion/completions/larkpost /usr/share/zsh/vendor-completions/_larkpost)
gui=$(check larkpost-gui /usr/bin/larkpost-gui /usr/share/man/man1/larkpost-gui.1.gz \
  /usr/share/applications/larkpost-gui.desktop /usr/share/icons/hicolor/256x256/apps/larkpost-gui.png)
! grep -q larkpost-gui "$work/larkpost.contents" || fail "the larkpost package holds the desktop program"
! dpkg-deb -f "$cli" Depends | grep -qi 'qt6\|libqt' || fail "larkpost depends on Qt: $(dpkg-deb -f "$cli" Depends)"

dpkg-deb -x "$cli" "$work/root"
said=$("$work/root/usr/bin/larkpost" --version) || fail "the packaged larkpost --version failed"
[ "$said" = "larkpost $version" ] || fail "the packaged larkpost says '$said', not 'larkpost $version'"
gzip -t "$work/root/usr/share/man/man1/larkpost.1.gz" || fail "the man page is no gzip file"
echo "check-package: $(basename "$cli") and $(basename "$gui"): programs, gzipped man pages," \
     "completions, desktop entry, icon and copyright; no lintian error; $said"
