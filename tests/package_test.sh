#!/bin/bash
# The Debian package, built with cpack and unpacked into a scratch root inside
# BUILD_DIR: its control fields, files with mode and owner, the systemd unit,
# and a program built against the client library through pkg-config, run in
# SANDBOX (sim/sandbox: no management socket in its /run).
set -euo pipefail
export LC_ALL=C
[ $# -eq 5 ] || { echo "usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION C_COMPILER SANDBOX" >&2; exit 2; }
build=$1 src=$2 version=$3 cc=$4 sandbox=$5

fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }
die() { echo "FAIL: $*" >&2; exit 1; }

scratch=$build/package-test root=$build/package-test/root
rm -rf "$scratch"
mkdir -p "$root"
cpack --config "$build/CPackConfig.cmake" -B "$scratch/pkg" > "$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; die cpack; }
debs=("$scratch"/pkg/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}
dpkg-deb -x "$deb" "$root"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = ortavis-upgd ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's is $version"
depends=$(field Depends)
for dep in libc6 libstdc++6 libvirt-clients; do
  [[ ", $depends," == *", $dep "* || ", $depends," == *", $dep,"* ]] || fail "Depends lacks $dep: $depends"
done

# Files, modes and owners as the archive installs them.
dpkg-deb -c "$deb" | awk '{ print $1, $2, $NF }' | sed 's# \./# /#' > "$scratch/contents"
pc=$(cd "$root" && find usr -name ortavis-upgclient.pc)
[ -n "$pc" ] || die "no ortavis-upgclient.pc in the package"
libdir=/$(dirname "$(dirname "$pc")")
expect() { grep -qxF -e "$1 root/root $2" "$scratch/contents" || fail "$2: not in the package as $1 root/root"; }
while read -r mode file; do expect "$mode" "$file"; done <<EOF
-rwxr-xr-x /usr/sbin/ortavis-upgd
-rwxr-xr-x /usr/bin/ortavis-upgctl
-rw-r--r-- $libdir/libortavis-upgclient.so.$version
-rw-r--r-- /usr/include/ortavis_upgclient.h
-rw-r--r-- /$pc
-rw-r--r-- /lib/systemd/system/ortavis-upgd.service
-rw-r--r-- /usr/share/doc/ortavis-upgd/ortavis-upgd.md
EOF
[ ! -f "$src/docs/ortavis-upgctl.1" ] || expect -rw-r--r-- /usr/share/man/man1/ortavis-upgctl.1

unit=$root/lib/systemd/system/ortavis-upgd.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_start" = /usr/sbin/ortavis-upgd ] || fail "the unit starts '$exec_start', not /usr/sbin/ortavis-upgd"
if command -v systemd-analyze > /dev/null; then
  # verify wants the program to exist: a copy starts it in the scratch root. Any word from verify fails.
  mkdir -p "$scratch/verify"
  sed "s#^ExecStart=/#ExecStart=$root/#" "$unit" > "$scratch/verify/ortavis-upgd.service"
  if ! out=$(systemd-analyze verify --man=no "$scratch/verify/ortavis-upgd.service" 2>&1) || [ -n "$out" ]; then
    fail "systemd-analyze verify: $out"
  fi
  # The exposure figure (0 to 10, lower is tighter) rises when a protection is dropped.
  security=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1 || true)
  exposure=$(sed -n 's/.*Overall exposure level for ortavis-upgd.service: \([0-9.]*\).*/\1/p' <<< "$security")
  echo "systemd-analyze security: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e + 0 <= 1.5) }' || fail "exposure '$exposure' is above 1.5"
else
  echo "systemd-analyze is not on this machine: the unit is not verified"
fi

export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root$libdir/pkgconfig
[ "$(pkg-config --modversion ortavis-upgclient)" = "$version" ] || fail "pkg-config --modversion"
cat > "$scratch/use_client.c" <<'EOF'
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <ortavis_upgclient.h>

int main(void)   /* no daemon: no socket to connect to */
{
    const char *wrong = NULL;
    errno = 0;
    if (upgClientConnect(AF_INET) != NULL || errno != EAFNOSUPPORT) {
        wrong = "AF_INET";
    } else if (upgClientConnect(AF_UNIX) != NULL || errno != ENOENT) {
        wrong = "AF_UNIX without a daemon";
    } else if (upgClientClose(NULL) != -1 || upgClientControlUpgrade(NULL, 2, 0, "no") != -1) {
        wrong = "a NULL handle taken";
    }
    if (wrong != NULL) {
        fprintf(stderr, "%s: %s\n", wrong, strerror(errno));
    }
    return wrong != NULL;
}
EOF
# shellcheck disable=SC2046  # pkg-config's words are separate arguments
"$cc" -std=c99 -Wall -Werror $(pkg-config --cflags ortavis-upgclient) "$scratch/use_client.c" \
  $(pkg-config --libs ortavis-upgclient) -o "$scratch/use_client" || fail "building against the package"
if [ -x "$scratch/use_client" ]; then
  export LD_LIBRARY_PATH=$root$libdir
  loaded=$(ldd "$scratch/use_client")
  grep -qF "$root$libdir/libortavis-upgclient.so.0" <<< "$loaded" ||
    fail "the program does not load the package's library: $loaded"
  "$sandbox" -- "$scratch/use_client" || fail "the program built against the package"
  status=0   # the package's tool on the package's library, no daemon: exit status 3
  "$sandbox" -- "$root/usr/bin/ortavis-upgctl" off > /dev/null 2>&1 || status=$?
  [ "$status" = 3 ] || fail "ortavis-upgctl off without a daemon: exit status $status, not 3"
fi

[ "$fails" -eq 0 ] || { echo "package test: $fails check(s) failed" >&2; exit 1; }
echo "package test: $(basename "$deb") passed"
