#!/bin/sh
# Installs the build into a temporary DESTDIR and checks what the package and the
# service rely on: every file in its place, the programs executable, the paths written
# into the unit, the desktop entry and the scripts naming installed files, and the
# scripts free of shell syntax errors.
# Usage: install_tree_test.sh BUILD_DIR PREFIX
set -eu
build=$1
prefix=$2
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest cmake --install "$build" >/dev/null
root=$dest$prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for program in bin/orvelgate bin/orvelgate-desktop bin/orvelgate-station-sim \
               bin/orvelgate-t8-server bin/orvelgate-t7-server sbin/orvelgate-setup-service; do
  [ -f "$root/$program" ] && [ -x "$root/$program" ] || fail "$prefix/$program is missing or not executable"
done
for file in lib/systemd/system/orvelgate.service share/applications/orvelgate.desktop \
            share/icons/hicolor/scalable/apps/orvelgate.svg share/orvelgate/orvelgate.ini.example \
            share/doc/orvelgate/README.md; do
  [ -f "$root/$file" ] || fail "$prefix/$file is missing"
done

# Each path that a file names must be an installed file: "FILE|PATTERN", the path being
# what follows the pattern up to the next quote or blank.
unit=$root/lib/systemd/system/orvelgate.service
for ref in "$unit|^ExecStart=" "$root/share/applications/orvelgate.desktop|^Exec=" \
           "$root/bin/orvelgate-desktop|^exec \"" "$root/sbin/orvelgate-setup-service|^example=\"" \
           "$build/packaging/postinst|^ *\""; do
  file=${ref%%|*}
  pattern=${ref#*|}
  path=$(grep -m1 "$pattern" "$file" 2>/dev/null | sed "s|$pattern||; s|[\" ].*||")
  if [ -z "$path" ]; then
    fail "${file#"$dest"}: no line matching $pattern"
  elif [ ! -f "$dest$path" ]; then
    fail "${file#"$dest"} names $path, which is not installed"
  fi
done

# The service's folder is the same for the unit, the setup script and the purge.
workdir=$(sed -n 's/^WorkingDirectory=//p' "$unit" 2>/dev/null || true)
grep -q "^state=$workdir\$" "$root/sbin/orvelgate-setup-service" || fail "orvelgate-setup-service does not prepare $workdir"
grep -q "^state=$workdir\$" "$build/packaging/postrm" || fail "postrm does not purge $workdir"

for script in "$root/sbin/orvelgate-setup-service" "$root/bin/orvelgate-desktop" \
              "$build/packaging/postinst" "$build/packaging/prerm" "$build/packaging/postrm"; do
  sh -n "$script" || fail "$script: shell syntax error"
done
if grep -l '@[A-Za-z_]*@' "$unit" "$root/share/applications/orvelgate.desktop" \
     "$root/bin/orvelgate-desktop" "$root/sbin/orvelgate-setup-service" \
     "$build/packaging/postinst" "$build/packaging/prerm" "$build/packaging/postrm"; then
  fail "unsubstituted @VARIABLE@ left in the files above"
fi

echo "install tree under $prefix: $failures failure(s)"
[ "$failures" -eq 0 ]
