#!/bin/sh
# Builds the Debian packages of the build into a temporary folder and checks them with
# lintian, Debian's package checker: any error fails; warnings are printed. The
# driver's package must depend on libsystemd0.
# Skipped (77) when lintian is missing (make package installs it) or when the build
# installs elsewhere than /usr (a package for /usr/local is not a Debian package).
# Usage: lintian_test.sh BUILD_DIR PREFIX CPACK
set -eu
build=$1
prefix=$2
cpack=$3
if ! command -v lintian >/dev/null 2>&1; then
  echo "lintian is not installed (make package installs it): skipped"
  exit 77
fi
if [ "$prefix" != /usr ]; then
  echo "the build installs to $prefix, not /usr (make package configures /usr): skipped"
  exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log"; exit 1; }
set -- "$out"/*.deb
[ -f "$1" ] || { echo "cpack made no .deb"; exit 1; }
# The driver links libsystemd (sd_notify): dpkg-shlibdeps must have put libsystemd0
# among its dependencies, or the service would not start where it is missing.
depends=$(dpkg-deb -f "$out"/orvelgate_*.deb Depends)
echo "orvelgate Depends: $depends"
case ", $depends," in
  *", libsystemd0 "* | *", libsystemd0,"*) ;;
  *) echo "FAIL: the orvelgate package does not depend on libsystemd0"; exit 1 ;;
esac
echo "lintian $(lintian --version | sed 's/^Lintian v//') on: $(cd "$out" && ls -- *.deb | tr '\n' ' ')"
# Exit status 1 when a tag of severity error is found (lintian's own --fail-on).
lintian --fail-on error --info "$@"
