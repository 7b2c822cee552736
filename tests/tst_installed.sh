#!/usr/bin/env bash
# The installed program and its package, as a board gets them:
#  1. `cmake --install` into a temporary DESTDIR; the viewer named by the
#     desktop entry's Exec= starts in the entry's Path=, which holds the logo,
#     and keeps running;
#  2. the desktop entry and the kiosk unit pass their validators without a
#     single remark, and systemd rates the unit's exposure 2.5 or lower;
#  3. the Debian package holds exactly the installed files, keeps
#     /etc/default/framescope as a conffile, and depends on
#     the package that ships Qt's framebuffer platform and evdev touch plugins
#     (the kiosk's display and touch input);
#  4. every picture the packaged README shows (a link to a .png by a relative
#     path) is in the package at that path from the README, and is a PNG.
# Usage: tst_installed.sh BUILD_DIR CMAKE CPACK QT_PLUGIN_FILE...
set -euo pipefail
build=$1 cmake=$2 cpack=$3
shift 3
kiosk_plugins=("$@")

fail() { echo "FAIL: $*" >&2; exit 1; }
need() {
  command -v "$1" >/dev/null \
    || fail "$1 is missing: install the package $2 (tools/install-deps test does)"
}
need desktop-file-validate desktop-file-utils
need systemd-analyze systemd
need dpkg-shlibdeps dpkg-dev
need file file
[ -d /lib/systemd/system ] || fail "/lib/systemd/system is missing: install the package systemd"

work=$(mktemp -d)
viewer_pid=
cleanup() {
  if [ -n "$viewer_pid" ]; then kill "$viewer_pid" 2>/dev/null || true; wait "$viewer_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

dest=$work/dest
DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >"$work/install.log" \
  || { cat "$work/install.log" >&2; fail "cmake --install into $dest failed"; }
desktop=$dest/usr/share/applications/framescope.desktop
unit=$dest/lib/systemd/system/framescope-kiosk.service
[ -f "$desktop" ] || fail "no desktop entry at ${desktop#"$dest"}"
[ -f "$unit" ] || fail "no kiosk unit at ${unit#"$dest"}"

# --- 1. the program, started as the menu starts it
entry_value() { sed -n "s/^$1=//p" "$desktop" | head -n 1; }
path=$(entry_value Path)
read -r -a command_line <<<"$(entry_value Exec)"
[ -n "$path" ] || fail "the desktop entry has no Path="
[ ${#command_line[@]} -gt 0 ] || fail "the desktop entry has no Exec="
[ -f "$dest$path/Logo.png" ] || fail "Path=$path holds no Logo.png"
export PATH="$dest/usr/bin:$PATH"
[ "$(command -v "${command_line[0]}")" = "$dest/usr/bin/${command_line[0]}" ] \
  || fail "Exec=${command_line[0]} is not the installed program in /usr/bin"

# A cross build's program runs through the emulator the tests are given.
read -r -a emulator <<<"${FRAMESCOPE_EMULATOR:-}"
program=$(command -v "${command_line[0]}")
(cd "$dest$path" && exec "${emulator[@]}" "$program" "${command_line[@]:1}") 2>"$work/viewer.err" &
viewer_pid=$!
for _ in $(seq 200); do
  grep -q "Initalisation pointeurs done" "$work/viewer.err" && break
  kill -0 "$viewer_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q "Initalisation pointeurs done" "$work/viewer.err" \
  || { cat "$work/viewer.err" >&2; fail "the installed viewer did not come up"; }
sleep 1
kill -0 "$viewer_pid" 2>/dev/null \
  || { cat "$work/viewer.err" >&2; fail "the installed viewer ended on its own"; }
kill "$viewer_pid"
wait "$viewer_pid" 2>/dev/null || true
viewer_pid=
echo "PASS: the installed viewer runs in Path=$path, next to its logo"

# --- 2. validators: any remark at all counts as a failure
remarks=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $remarks"
[ -z "$remarks" ] || fail "desktop-file-validate: $remarks"
# The unit is checked in a root made of the installed tree and the system's
# own units, so that its program and the units it refers to are found.
root=$work/root
cp -a "$dest" "$root"
cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
remarks=$(systemd-analyze verify --man=no --root="$root" framescope-kiosk.service 2>&1) \
  || fail "systemd-analyze verify: $remarks"
[ -z "$remarks" ] || fail "systemd-analyze verify: $remarks"
echo "PASS: desktop-file-validate and systemd-analyze verify have nothing to say"
# The kiosk faces the sensor's wire and, with --http, the network: a unit that
# loses its sandboxing (a directive dropped, misspelt, or overridden later in
# the file) raises its exposure, and that fails here.
exposure=$(systemd-analyze security --offline=yes --no-pager --root="$root" framescope-kiosk.service 2>&1) \
  || fail "systemd-analyze security --offline: $exposure"
level=$(sed -n 's/^.*Overall exposure level for framescope-kiosk\.service: \([0-9.]*\) .*$/\1/p' <<<"$exposure")
[ -n "$level" ] || fail "systemd-analyze security gave no overall exposure level: $exposure"
awk -v level="$level" 'BEGIN { exit !(level <= 2.5) }' \
  || fail "the kiosk unit's exposure level is $level, above 2.5; exposed: $(awk '$NF ~ /^[0-9]+\.[0-9]+$/ { printf "%s %s; ", $2, $NF }' <<<"$exposure")"
echo "PASS: the kiosk unit's exposure level is $level (at most 2.5)"

# --- 3. the package
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
packages=("$work"/packages/framescope_*.deb)
[ -f "${packages[0]}" ] || fail "cpack made no framescope_<version>_<arch>.deb"
deb=${packages[0]}
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$work/in-package"
(cd "$dest" && find . ! -type d | sed 's/^\.//' | sort) >"$work/installed"
diff -u "$work/installed" "$work/in-package" >&2 \
  || fail "the package's files differ from the installed tree (- installed, + package)"
depends=$(dpkg-deb -f "$deb" Depends)
for plugin in "${kiosk_plugins[@]}"; do
  owner=$(dpkg -S "$plugin" 2>/dev/null | head -n 1 | cut -d: -f1)
  [ -n "$owner" ] || fail "no installed package ships $plugin"
  grep -Eq "(^|[ ,|])$owner( |,|$)" <<<"$depends" \
    || fail "the package does not depend on $owner, which ships $plugin (Depends: $depends)"
done
# The settings file is the operator's: an upgrade must not overwrite it.
[ "$(dpkg-deb -I "$deb" conffiles 2>/dev/null)" = /etc/default/framescope ] \
  || fail "the package does not keep /etc/default/framescope as a conffile"
echo "PASS: $(basename "$deb") holds the installed tree, keeps its settings file and depends on what the kiosk loads"

# --- 4. the README's pictures, where its links lead from the packaged README
readme=$(grep -m 1 '^/usr/share/doc/[^/]*/README\.md$' "$work/in-package") \
  || fail "the package holds no README.md in /usr/share/doc"
docdir=$(dirname "$readme")
# ![text](path.png) and [text](path.png); addresses (scheme://) are not files.
grep -oE '\]\([^)[:space:]]+\.png\)' "$dest$readme" | sed -E 's/^\]\(//; s/\)$//' \
  | grep -v '://' | sort -u >"$work/pictures" || true
[ -s "$work/pictures" ] || fail "$readme links no picture: the check of its pictures would check nothing"
while read -r picture; do
  grep -qxF "$(realpath -ms "$docdir/$picture")" "$work/in-package" \
    || fail "$readme shows $picture, which the package lacks at $docdir/$picture"
  file -b "$dest$docdir/$picture" | grep -q '^PNG image' \
    || fail "$docdir/$picture is not a PNG picture: $(file -b "$dest$docdir/$picture")"
done <"$work/pictures"
echo "PASS: the packaged README's $(wc -l <"$work/pictures") pictures are beside it in the package"
