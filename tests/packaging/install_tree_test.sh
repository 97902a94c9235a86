#!/bin/sh
# Installs the build into a temporary DESTDIR and checks what the packages and the
# service rely on: every file in its place (the units in /lib/systemd/system for /usr,
# as Debian 12 has them), the programs executable, a gzipped manual page for each, the
# copyright and changelog of each package, the units (Type=notify with a watchdog; the
# template the plain unit but for its folders; systemd-analyze verify), the paths
# written into the units, the desktop entry and the scripts naming installed files,
# and the scripts free of shell syntax errors.
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
for file in share/applications/orvelgate.desktop \
            share/icons/hicolor/scalable/apps/orvelgate.svg share/orvelgate/orvelgate.ini.example \
            share/doc/orvelgate/README.md; do
  [ -f "$root/$file" ] || fail "$prefix/$file is missing"
done

# Debian 12 looks for the units of packages in /lib/systemd/system.
if [ "$prefix" = /usr ]; then
  unitdir=$dest/lib/systemd/system
  [ ! -e "$root/lib/systemd/system/orvelgate.service" ] || fail "the unit is also under /usr/lib"
else
  unitdir=$root/lib/systemd/system
fi
unit=$unitdir/orvelgate.service
template=$unitdir/orvelgate@.service
[ -f "$unit" ] || fail "${unit#"$dest"} is missing"
[ -f "$template" ] || fail "${template#"$dest"} is missing"

# Both units: Type=notify (the driver sends READY, STATUS and the watchdog pings
# itself), a watchdog, restarted on failure.
for file in "$unit" "$template"; do
  for line in Type=notify NotifyAccess=main WatchdogSec=30 Restart=on-failure; do
    grep -qx "$line" "$file" 2>/dev/null || fail "${file#"$dest"} has no line $line"
  done
done
# The template runs each instance in a folder of its own; otherwise it is the plain
# unit line for line (the same hardening): only the folder lines and comments differ.
for line in 'StateDirectory=orvelgate/%i' 'WorkingDirectory=/var/lib/orvelgate/%i' \
            'ReadWritePaths=/var/lib/orvelgate/%i'; do
  grep -qxF "$line" "$template" 2>/dev/null || fail "${template#"$dest"} has no line $line"
done
folder_lines='^(#|Description=|StateDirectory=|WorkingDirectory=|ReadWritePaths=|RuntimeDirectory=|Environment=XDG_RUNTIME_DIR=)'
if [ -f "$unit" ] && [ -f "$template" ]; then
  grep -Ev "$folder_lines" "$unit" >"$dest/unit.lines" || true
  grep -Ev "$folder_lines" "$template" >"$dest/template.lines" || true
  cmp -s "$dest/unit.lines" "$dest/template.lines" ||
    fail "orvelgate@.service differs from orvelgate.service in more than its folders"
fi
# systemd's own check of both units (an unknown key, a bad value), with a program
# that exists in place of the driver; skipped where systemd-analyze is missing.
if command -v systemd-analyze >/dev/null 2>&1 && [ -f "$unit" ] && [ -f "$template" ]; then
  mkdir "$dest/verify"
  sed 's|^ExecStart=.*|ExecStart=/bin/true|' "$unit" >"$dest/verify/orvelgate.service"
  sed 's|^ExecStart=.*|ExecStart=/bin/true|' "$template" >"$dest/verify/orvelgate@.service"
  said=$(cd "$dest/verify" && systemd-analyze verify --man=no orvelgate.service orvelgate@check.service 2>&1) ||
    fail "systemd-analyze verify failed: $said"
  [ -z "$said" ] || fail "systemd-analyze verify: $said"
fi

# Every program has its manual page, gzipped as Debian wants it: best compression,
# no name and no time stamp in the header (so the bytes are reproducible).
for page in man1/orvelgate.1 man1/orvelgate-desktop.1 man8/orvelgate-setup-service.8 \
            man1/orvelgate-station-sim.1 man1/orvelgate-t8-server.1 man1/orvelgate-t7-server.1; do
  file=$root/share/man/$page.gz
  if [ ! -f "$file" ]; then
    fail "$prefix/share/man/$page.gz is missing"
    continue
  fi
  gzip -t "$file" || fail "$prefix/share/man/$page.gz is not a whole gzip file"
  # Header bytes 4 (flags: FNAME is 0x08) and 5-8 (modification time) must be zero.
  header=$(od -An -tx1 -j3 -N5 "$file" | tr -d ' \n')
  [ "$header" = 0000000000 ] || fail "$prefix/share/man/$page.gz has a name or time in its header"
  gzip -dc "$file" | grep -q '^\.TH ' || fail "$prefix/share/man/$page.gz is no manual page"
  if gzip -dc "$file" | grep -q '@[A-Za-z_]*@'; then fail "$page: unsubstituted @VARIABLE@"; fi
done

# Each package has its machine-readable copyright and its changelog.
for package in orvelgate orvelgate-tools; do
  doc=$root/share/doc/$package
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$doc/copyright" 2>/dev/null || fail "$prefix/share/doc/$package/copyright is missing or not machine-readable"
  gzip -dc "$doc/changelog.Debian.gz" 2>/dev/null | head -1 | grep -q '^orvelgate (' ||
    fail "$prefix/share/doc/$package/changelog.Debian.gz is missing or has no entry"
done

# Each path that a file names must be an installed file: "FILE|PATTERN", the path being
# what follows the pattern up to the next quote or blank.
for ref in "$unit|^ExecStart=" "$template|^ExecStart=" "$root/share/applications/orvelgate.desktop|^Exec=" \
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
