#!/usr/bin/env bash
# Installs the build into a scratch folder and checks what a user gets: the
# program with bin/zip and bin/unzip beside it, the link in bin/, the menu
# entry and the icons.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
root="$stage/usr"
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -x "$root/lib/quillfold/quillfold" ] || fail "no program in lib/quillfold"
for p in zip unzip; do
  [ -L "$root/lib/quillfold/bin/$p" ] || fail "bin/$p is not a link"
  [ -x "$(readlink "$root/lib/quillfold/bin/$p")" ] || fail "bin/$p points nowhere"
done
[ -x "$root/lib/quillfold/quillfold-restore" ] || fail "no recipient's window in lib/quillfold"
for p in quillfold quillfold-restore quillfold-unpack quillfold-pack; do
  [ "$(readlink "$root/bin/$p")" = "../lib/quillfold/$p" ] || fail "bin/$p link"
done
[ "$("$root/lib/quillfold/quillfold-pack" --version)" = "$("$root/lib/quillfold/quillfold-unpack" --version | sed s/unpack/pack/)" ] ||
  fail "the two programs give different versions"
[ -f "$root/share/applications/quillfold.desktop" ] || fail "no menu entry"
for s in 16 32 48 128; do
  [ -f "$root/share/icons/hicolor/${s}x${s}/apps/quillfold.png" ] || fail "no ${s}px icon"
done
grep -q '^Exec=quillfold$' "$root/share/applications/quillfold.desktop" || fail "menu entry Exec"
# The recipient's window: a menu entry named in Thai, offered for ZIP archives
# ("Open with"), which installing it does not make their default program.
restore="$root/share/applications/quillfold-restore.desktop"
grep -q '^Exec=quillfold-restore %F$' "$restore" || fail "recipient's menu entry Exec"
grep -q '^Name\[th\]=' "$restore" && grep -q '^MimeType=application/zip;$' "$restore" || fail "recipient's menu entry"
[ ! -e "$root/share/applications/mimeapps.list" ] || fail "a default program set"
# One version number: what --version says is what the package is called.
version=$("$root/lib/quillfold/quillfold-unpack" --version | awk '{print $2}')
grep -q "^set(CPACK_PACKAGE_VERSION \"$version\")" "$build/CPackConfig.cmake" || fail "package version is not $version"
echo "install layout ok"
