#!/usr/bin/env bash
# Builds the Debian package from a build folder (cpack -G DEB) and checks it: the programs, the
# man pages, the completions, the desktop entry and icon are in it, and the packaged larkpost
# says the build's version.
#
#   scripts/check-package.sh BUILD_DIR VERSION
#
# Exits 77 (skipped) without dpkg-deb or when the build has no desktop program.
set -euo pipefail
build=$(realpath "$1")
version=$2
command -v dpkg-deb > /dev/null && command -v dpkg-shlibdeps > /dev/null ||
  { echo "check-package: skipped (no dpkg-deb or dpkg-shlibdeps: dpkg-dev)"; exit 77; }
[ -x "$build/src/app/larkpost-gui" ] || { echo "check-package: skipped (no larkpost-gui built)"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $1" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" > "$work/cpack.log" 2>&1) ||
  fail "cpack failed: $(tail -n 20 "$work/cpack.log")"
deb=$(ls "$work"/out/*.deb 2> /dev/null | head -n 1)
[ -n "$deb" ] || fail "no .deb made"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' > "$work/contents"
for file in /usr/bin/larkpost /usr/bin/larkpost-gui /usr/share/man/man1/larkpost.1 \
  /usr/share/man/man1/larkpost-gui.1 /usr/share/bash-completion/completions/larkpost \
  /usr/share/zsh/vendor-completions/_larkpost /usr/share/applications/larkpost-gui.desktop \
  /usr/share/icons/hicolor/256x256/apps/larkpost-gui.png; do
  grep -qxF "$file" "$work/contents" || fail "$file is not in the package"
done
[ "$(dpkg-deb -f "$deb" Package)" = larkpost ] || fail "package name is $(dpkg-deb -f "$deb" Package)"
dpkg-deb -x "$deb" "$work/root"
said=$("$work/root/usr/bin/larkpost" --version) || fail "the packaged larkpost --version failed"
[ "$said" = "larkpost $version" ] || fail "the packaged larkpost says '$said', not 'larkpost $version'"
echo "check-package: $(basename "$deb") holds both programs, man pages, completions, desktop entry and icon; $said"
