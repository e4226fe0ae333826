#!/bin/sh
# check_install.sh CMAKE BUILD_DIR BINDIR LIBDIR DATADIR
# Installs the build into a scratch prefix; checks that every file is in its
# place, that the installed program resolves its editor library from the
# prefix and not from the build tree, that the help page is where the
# program looks for it (beside itself, else ../share/tallowin), and that the
# installed program starts from there and shuts down cleanly.
set -eu
cmake=$1 build=$2 bindir=$3 libdir=$4 datadir=$5
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "install: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

program=$prefix/$bindir/tallowin
library=$prefix/$libdir/libeditordll.so
for f in "$program" "$library" \
         "$prefix/$datadir/icons/hicolor/scalable/apps/tallowin.svg" \
         "$prefix/$datadir/applications/tallowin.desktop"; do
    [ -f "$f" ] || fail "missing $f"
done
[ -x "$program" ] || fail "$program is not executable"

help=$(dirname "$program")/tallowin.html
[ -f "$help" ] || help=$(dirname "$program")/../share/tallowin/tallowin.html
[ -s "$help" ] || fail "no help page where the program looks for it"

links=$(env -u LD_LIBRARY_PATH ldd "$program")
if echo "$links" | grep -q "not found"; then
    fail "unresolved libraries: $(echo "$links" | grep "not found")"
fi
found=$(echo "$links" | sed -n 's/^[[:space:]]*libeditordll\.so => \([^ ]*\) .*/\1/p')
[ -n "$found" ] || fail "the program does not load libeditordll.so"
[ "$(readlink -f "$found")" = "$(readlink -f "$library")" ] \
    || fail "libeditordll.so resolves to $found, not into the prefix"

entry=$prefix/$datadir/applications/tallowin.desktop
for line in "Type=Application" "Name=Tallowin" "Exec=tallowin" "Icon=tallowin" "Categories=Network;FileTransfer;"; do
    grep -qxF "$line" "$entry" || fail "$entry lacks $line"
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" || fail "$entry is not a valid desktop entry"
fi
grep -q "<svg" "$prefix/$datadir/icons/hicolor/scalable/apps/tallowin.svg" || fail "the icon is not SVG"
# Started from the prefix (no window system needed), then asked to close as a
# desktop session would: it writes its settings on the way out.
home=$prefix/home
mkdir -p "$home"
rc=0
env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen TALLOWIN_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
    timeout --preserve-status -s TERM 4 "$program" >"$home/out.txt" 2>&1 || rc=$?
[ "$rc" -eq 0 ] || fail "the installed program ended with status $rc: $(tail -n 5 "$home/out.txt")"
[ -f "$home/config/language.txt" ] || fail "the installed program did not start and close properly"
echo "install: all in place under a scratch prefix, and the program starts from there"
