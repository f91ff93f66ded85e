#!/bin/bash
# The Debian package, as a host receives it: built with cpack from a build
# tree, unpacked into a scratch root inside that tree (nothing outside it
# changes), and checked there: its control fields, every file with its mode
# and owner, the systemd unit (systemd-analyze, where the machine has it),
# and the client library used as a program built against the package would
# use it, through pkg-config.
#
#   tests/package_test.sh BUILD_DIR SOURCE_DIR VERSION C_COMPILER SANDBOX
#
# The programs built from the package run inside SANDBOX (sim/sandbox), whose
# private /run holds no management socket.
set -euo pipefail
export LC_ALL=C
[ $# -eq 5 ] || { echo "usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION C_COMPILER SANDBOX" >&2; exit 2; }
build=$1 src=$2 version=$3 cc=$4 sandbox=$5

fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }

scratch=$build/package-test
rm -rf "$scratch"
mkdir -p "$scratch/root"
root=$scratch/root

# ---- The package -----------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$scratch/pkg" > "$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }
debs=("$scratch"/pkg/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAIL: cpack made no single .deb: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
dpkg-deb -x "$deb" "$root"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = ortavis-upgd ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's is $version"
depends=$(field Depends)
for dep in libc6 libstdc++6 libvirt-clients; do
  [[ ", $depends," == *", $dep "* || ", $depends," == *", $dep,"* ]] || fail "Depends lacks $dep: $depends"
done

# ---- Files, modes, owners (as the archive installs them) -------------------------
dpkg-deb -c "$deb" | awk '{ print $1, $2, $NF }' | sed 's# \./# /#' > "$scratch/contents"
expect() {   # MODE PATH
  grep -qxF -e "$1 root/root $2" "$scratch/contents" || fail "$2: not in the package as $1 root/root"
}
pc=$(cd "$root" && find usr -name ortavis-upgclient.pc)
[ -n "$pc" ] || { echo "FAIL: no ortavis-upgclient.pc in the package" >&2; exit 1; }
libdir=/$(dirname "$(dirname "$pc")")
expect -rwxr-xr-x /usr/sbin/ortavis-upgd
expect -rwxr-xr-x /usr/bin/ortavis-upgctl
expect -rw-r--r-- "$libdir/libortavis-upgclient.so.$version"
expect -rw-r--r-- /usr/include/ortavis_upgclient.h
expect -rw-r--r-- "/$pc"
expect -rw-r--r-- /lib/systemd/system/ortavis-upgd.service
expect -rw-r--r-- /usr/share/doc/ortavis-upgd/ortavis-upgd.md
if [ -f "$src/docs/ortavis-upgctl.1" ]; then
  expect -rw-r--r-- /usr/share/man/man1/ortavis-upgctl.1
fi

# ---- The unit --------------------------------------------------------------------
unit=$root/lib/systemd/system/ortavis-upgd.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_start" = /usr/sbin/ortavis-upgd ] || fail "the unit starts '$exec_start', the package installs /usr/sbin/ortavis-upgd"
if command -v systemd-analyze > /dev/null; then
  # A copy whose ExecStart points into the scratch root: verify wants the
  # program to exist. Any word from verify about the unit is a failure.
  mkdir -p "$scratch/verify"
  sed "s#^ExecStart=/#ExecStart=$root/#" "$unit" > "$scratch/verify/ortavis-upgd.service"
  if ! out=$(systemd-analyze verify --man=no "$scratch/verify/ortavis-upgd.service" 2>&1) || [ -n "$out" ]; then
    fail "systemd-analyze verify: $out"
  fi
  # The sandboxing holds: the exposure figure (0 to 10, lower is tighter)
  # stays where the unit puts it; a dropped protection raises it.
  max_exposure=1.5
  security=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1 || true)
  exposure=$(sed -n 's/.*Overall exposure level for ortavis-upgd.service: \([0-9.]*\).*/\1/p' <<< "$security")
  echo "systemd-analyze security: exposure $exposure"
  awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e != "" && e + 0 <= m + 0) }' ||
    fail "exposure '$exposure' is above $max_exposure"
else
  echo "systemd-analyze is not on this machine: the unit is not verified"
fi

# ---- A program built against the installed library -------------------------------
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root$libdir/pkgconfig
[ "$(pkg-config --modversion ortavis-upgclient)" = "$version" ] || fail "pkg-config --modversion"
cat > "$scratch/use_client.c" <<'EOF'
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <ortavis_upgclient.h>

int main(void)
{
    errno = 0;
    if (upgClientConnect(AF_INET) != NULL || errno != EAFNOSUPPORT) {
        fprintf(stderr, "AF_INET: %s\n", strerror(errno));
        return 1;
    }
    /* No daemon: no socket to connect to. */
    errno = 0;
    if (upgClientConnect(AF_UNIX) != NULL || errno != ENOENT) {
        fprintf(stderr, "AF_UNIX without a daemon: %s\n", strerror(errno));
        return 1;
    }
    if (upgClientClose(NULL) != -1 || upgClientControlUpgrade(NULL, 2, 0, "no") != -1) {
        fprintf(stderr, "a NULL handle was taken\n");
        return 1;
    }
    puts("client library: clean refusals");
    return 0;
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
  # The package's command-line tool, on the package's library: no daemon,
  # so exit status 3.
  status=0
  "$sandbox" -- "$root/usr/bin/ortavis-upgctl" off > /dev/null 2>&1 || status=$?
  [ "$status" = 3 ] || fail "ortavis-upgctl off without a daemon: exit status $status, not 3"
fi

if [ "$fails" -ne 0 ]; then
  echo "package test: $fails check(s) failed" >&2
  exit 1
fi
echo "package test: $(basename "$deb") passed"
