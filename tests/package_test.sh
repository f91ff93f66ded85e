#!/bin/bash
# The Debian packages, built with cpack: their control fields, files with mode
# and owner, the hardening of their binaries, lintian where it is installed,
# the systemd unit; the maintainer scripts' calls to a stand-in service
# manager through install, upgrade, removal and purge, run in SANDBOX
# (sim/sandbox: a private /run where /run/systemd/system can be made); dpkg
# installing, upgrading, removing and purging them in a scratch root inside
# BUILD_DIR; and a C program built against the installed SDK with pkg-config,
# run against the real daemon on the simulated host.
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
daemon=$scratch/pkg/ortavis-upgd_${version}_$(dpkg --print-architecture).deb
lib=${daemon/ortavis-upgd_/libortavis-upgclient0_} dev=${daemon/ortavis-upgd_/libortavis-upgclient-dev_}
for deb in "$daemon" "$lib" "$dev"; do
  [ -f "$deb" ] || die "cpack made no $(basename "$deb"): $(ls "$scratch/pkg")"
done

field() { dpkg-deb -f "$1" "$2"; }
for deb in "$daemon" "$lib" "$dev"; do
  [ "$(field "$deb" Version)" = "$version" ] || fail "$deb: Version is not the project's $version"
  [[ "$(field "$deb" Maintainer)" =~ ^[^@\<]+\ \<[^@]+@[^@]+\.[a-z]+\>$ ]] && [[ "$(field "$deb" Maintainer)" != *localhost* ]] ||
    fail "$deb: Maintainer '$(field "$deb" Maintainer)'"
done
has_dep() { [[ ", $(field "$1" Depends)," == *", $2"[\ ,]* ]] || fail "$(basename "$1") Depends lacks $2: $(field "$1" Depends)"; }
for dep in libc6 libstdc++6 libvirt-clients "libortavis-upgclient0 (= $version)"; do has_dep "$daemon" "$dep"; done
has_dep "$dev" "libortavis-upgclient0 (= $version)"
[ "$(dpkg-deb --ctrl-tarfile "$lib" | tar -xO ./shlibs)" = "libortavis-upgclient 0 libortavis-upgclient0 (= $version)" ] ||
  fail "the library's shlibs entry"

# Files, modes and owners as the archives install them.
for deb in "$daemon" "$lib" "$dev"; do
  dpkg-deb -c "$deb" | awk -v p="$(field "$deb" Package)" '{ print p, $1, $2, $NF }' | sed 's# \./# /#'
done > "$scratch/contents"
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
while read -r line; do grep -qxF -e "$line" "$scratch/contents" || fail "not in the packages as: $line"; done <<EOF
ortavis-upgd -rwxr-xr-x root/root /usr/sbin/ortavis-upgd
ortavis-upgd -rwxr-xr-x root/root /usr/bin/ortavis-upgctl
ortavis-upgd -rw-r--r-- root/root /lib/systemd/system/ortavis-upgd.service
ortavis-upgd -rw-r--r-- root/root /usr/share/doc/ortavis-upgd/ortavis-upgd.md
ortavis-upgd -rw-r--r-- root/root /usr/share/man/man1/ortavis-upgctl.1.gz
ortavis-upgd -rw-r--r-- root/root /usr/share/man/man8/ortavis-upgd.8.gz
libortavis-upgclient0 -rw-r--r-- root/root $libdir/libortavis-upgclient.so.$version
libortavis-upgclient0 lrwxrwxrwx root/root libortavis-upgclient.so.$version
libortavis-upgclient-dev lrwxrwxrwx root/root libortavis-upgclient.so.0
libortavis-upgclient-dev -rw-r--r-- root/root /usr/include/ortavis_upgclient.h
libortavis-upgclient-dev -rw-r--r-- root/root /usr/include/ortavis_upgd_proto.h
libortavis-upgclient-dev -rw-r--r-- root/root $libdir/pkgconfig/ortavis-upgclient.pc
EOF
for p in ortavis-upgd libortavis-upgclient0 libortavis-upgclient-dev; do
  for f in copyright changelog.gz; do
    grep -qxF "$p -rw-r--r-- root/root /usr/share/doc/$p/$f" "$scratch/contents" || fail "$p has no $f"
  done
done

# Hardening, read from the packaged binaries: PIE, full RELRO with BIND_NOW,
# the stack protector and the fortified functions.
mkdir -p "$scratch/x"
dpkg-deb -x "$daemon" "$scratch/x"
dpkg-deb -x "$lib" "$scratch/x"
for bin in usr/sbin/ortavis-upgd usr/bin/ortavis-upgctl "${libdir#/}/libortavis-upgclient.so.$version"; do
  elf=$(readelf -W -h -l -d --dyn-syms "$scratch/x/$bin")
  grep -q 'Type: *DYN' <<< "$elf" || fail "$bin is not position-independent"
  grep -q 'GNU_RELRO' <<< "$elf" && grep -Eq '\(FLAGS_1\).*NOW|\(BIND_NOW\)' <<< "$elf" || fail "$bin lacks full RELRO"
  grep -q '__stack_chk_fail' <<< "$elf" || fail "$bin has no stack protector"
done
grep -q '__[a-z]*_chk@' <<< "$(readelf -W --dyn-syms "$scratch/x/usr/sbin/ortavis-upgd")" ||
  fail "ortavis-upgd calls no fortified function"

if command -v lintian > /dev/null; then
  lintian "$daemon" "$lib" "$dev" > "$scratch/lintian.txt" 2>&1 || true
  ! grep -q '^E:' "$scratch/lintian.txt" || fail "lintian: $(grep '^E:' "$scratch/lintian.txt")"
  echo "lintian: $(grep -c '^W:' "$scratch/lintian.txt") warnings (in $scratch/lintian.txt)"
else
  echo "lintian is not on this machine: the packages are not linted"
fi

unit=$scratch/x/lib/systemd/system/ortavis-upgd.service
[ "$(sed -n 's/^ExecStart=//p' "$unit")" = /usr/sbin/ortavis-upgd ] || fail "the unit does not start /usr/sbin/ortavis-upgd"
[ "$(sed -n 's/^Restart=//p' "$unit")" = always ] || fail "the unit is not restarted always (a kill -HUP would stop it for good)"
if command -v systemd-analyze > /dev/null; then
  # verify wants the program to exist: a copy starts it in the scratch root. Any word from verify fails.
  mkdir -p "$scratch/verify"
  sed "s#^ExecStart=/#ExecStart=$scratch/x/#" "$unit" > "$scratch/verify/ortavis-upgd.service"
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

# The maintainer scripts' calls, with systemd running (a /run/systemd/system
# of the sandbox's own) and the service manager's commands stood in for.
scripts=$scratch/scripts standin=$scratch/standin
mkdir -p "$scripts" "$standin"
dpkg-deb -e "$daemon" "$scripts"
for cmd in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >> "%s"\n' "$cmd" "$scratch/calls" > "$standin/$cmd"
  chmod +x "$standin/$cmd"
done
# Each step: the scripts dpkg runs, and the calls they must make.
steps=(
  "install|postinst configure|deb-systemd-helper unmask ortavis-upgd.service,deb-systemd-helper --quiet was-enabled ortavis-upgd.service,deb-systemd-helper enable ortavis-upgd.service,systemctl --system daemon-reload,deb-systemd-invoke start ortavis-upgd.service"
  "upgrade|prerm upgrade $version;postinst configure $version|deb-systemd-helper unmask ortavis-upgd.service,deb-systemd-helper --quiet was-enabled ortavis-upgd.service,deb-systemd-helper enable ortavis-upgd.service,systemctl --system daemon-reload,deb-systemd-invoke restart ortavis-upgd.service"
  "remove|prerm remove;postrm remove|deb-systemd-invoke stop ortavis-upgd.service,systemctl --system daemon-reload,deb-systemd-helper mask ortavis-upgd.service"
  "purge|postrm purge|deb-systemd-helper purge ortavis-upgd.service,deb-systemd-helper unmask ortavis-upgd.service"
)
for step in "${steps[@]}"; do
  IFS='|' read -r name runs want <<< "$step"
  rm -f "$scratch/calls"
  IFS=';' read -ra run <<< "$runs"
  for r in "${run[@]}"; do
    # shellcheck disable=SC2086  # the script's name and arguments
    "$sandbox" -- env PATH="$standin:$PATH" sh -c 'mkdir -p /run/systemd/system && exec "$@"' sh "$scripts/"$r ||
      fail "$name: $r failed"
  done
  got=$(paste -sd, "$scratch/calls" 2>/dev/null || true)
  [ "$got" = "$want" ] || fail "$name: the maintainer scripts called '$got', not '$want'"
done

# dpkg in a scratch root, the scripts run without chroot (DPKG_ROOT set, as
# for an installation into a new system): the real deb-systemd-helper enables
# the unit there, masks it on removal and forgets it on purge.
if command -v deb-systemd-helper > /dev/null; then
  db=$root/var/lib/dpkg
  mkdir -p "$db/info" "$db/updates" "$db/triggers" "$root/etc/systemd/system"
  touch "$db/status" "$db/available"
  dpkg_root() { dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" > "$scratch/dpkg.log" 2>&1 ||
                  { cat "$scratch/dpkg.log" >&2; fail "dpkg $*"; }; }
  wants=$root/etc/systemd/system/multi-user.target.wants/ortavis-upgd.service
  mask=$root/etc/systemd/system/ortavis-upgd.service
  dpkg_root -i "$lib" "$dev" "$daemon"
  [ -L "$wants" ] && [ -x "$root/usr/sbin/ortavis-upgd" ] || fail "installed: unit not enabled or daemon missing"
  dpkg_root -i "$daemon"   # the same version again: an upgrade's scripts
  [ -L "$wants" ] || fail "upgraded: unit no longer enabled"
  dpkg_root -r ortavis-upgd
  [ ! -e "$root/usr/sbin/ortavis-upgd" ] && [ "$(readlink "$mask")" = /dev/null ] || fail "removed: daemon left or unit not masked"
  dpkg_root -P ortavis-upgd
  [ ! -L "$mask" ] && [ ! -L "$wants" ] || fail "purged: the unit's links are left"
else
  echo "deb-systemd-helper is not on this machine: no installation in a scratch root"
  dpkg-deb -x "$lib" "$root" && dpkg-deb -x "$dev" "$root"
fi

# A program built against the installed SDK with pkg-config, its constants
# and parsers against the real daemon on the simulated host (vm01 answers).
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root$libdir/pkgconfig
[ "$(pkg-config --modversion ortavis-upgclient)" = "$version" ] || fail "pkg-config --modversion"
cat > "$scratch/use_client.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <ortavis_upgclient.h>

#if UPGCLIENT_VERSION_NUMBER < 100
#error "the version macro"
#endif

int main(void)
{
    UpgClientHandle *h = upgClientConnect(AF_UNIX);
    char *text = NULL;
    UpgClientCheckReply check;
    UpgClientModuleReply mod;
    int wrong = h == NULL || upgClientSetTimeout(h, 5) != 0 ||
                upgClientRequest(h, UPG_MSG_HEALTH_CHECK, "vm01", NULL, UPG_CHECK_HEALTH, &text) != HOST_RESULT_OK ||
                upgClientParseCheckReply(text, &check) != 0 || strcmp(check.vm, "vm01") != 0;
    free(text);
    text = wrong ? NULL : upgClientGetUpgResult(h, "vm01", "ortavis");
    wrong = wrong || upgClientParseModuleReply(text, &mod) != 0 || strcmp(mod.module, "ortavis") != 0 ||
            mod.rescode != 0 || upgClientParseModuleReply("vm01:{a,b,c}", &mod) != -1 ||
            upgClientControlUpgrade(h, UPG_ACTION_START, 0, "vm99") != HOST_RESULT_NO_VM;
    printf("%s: %s -> %s, %s\n", UPGCLIENT_VERSION, text ? text : "-", check.checkresult, mod.module);
    free(text);
    upgClientClose(h);
    return wrong;
}
EOF
# shellcheck disable=SC2046  # pkg-config's words are separate arguments
"$cc" -std=c99 -Wall -Werror $(pkg-config --cflags ortavis-upgclient) "$scratch/use_client.c" \
  $(pkg-config --libs ortavis-upgclient) -o "$scratch/use_client" || fail "building against the package"
if [ -x "$scratch/use_client" ]; then
  export LD_LIBRARY_PATH=$root$libdir
  grep -qF "$root$libdir/libortavis-upgclient.so.0" <<< "$(ldd "$scratch/use_client")" ||
    fail "the program does not load the package's library"
  "$src/sim/simhost" --build "$build" --vms 1 -- "$scratch/use_client" || fail "the program against the daemon"
  status=0   # the package's tool on the package's library, no daemon: exit status 3
  "$sandbox" -- "$scratch/x/usr/bin/ortavis-upgctl" off > /dev/null 2>&1 || status=$?
  [ "$status" = 3 ] || fail "ortavis-upgctl off without a daemon: exit status $status, not 3"
fi

[ "$fails" -eq 0 ] || { echo "package test: $fails check(s) failed" >&2; exit 1; }
echo "package test: $(basename "$daemon"), $(basename "$lib"), $(basename "$dev") passed"
