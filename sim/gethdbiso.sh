#!/bin/bash
# The guest-tools product's drive script, as the simulated host installs it
# at /opt/patch/programfiles/ortavis/gethdbiso.sh; the daemon asks it whether
# a VM's CD-ROM on hdb holds a medium before it attaches or ejects an ISO.
#
#   bash gethdbiso.sh VM check_hdb_cdrom
#
# It reads the CD-ROM's disk block in the VM's live description
# (/var/run/libvirt/qemu/VM.xml, as libvirt keeps it):
#   the drive holds a medium      its source path on standard output, exit 1
#   the drive is empty            nothing, exit 0
#   no such VM, no CD-ROM on hdb  a line on standard error, exit 2
#   any other verb                usage on standard error, exit 2
#
# Like the virsh stand-in beside it (fakebin/virsh) it can be scripted and
# records its calls: the first of $FAKEVIRSH_DIR/script/gethdbiso@VM and
# $FAKEVIRSH_DIR/script/gethdbiso found is a shell fragment that may set rc,
# out, err and delay (seconds to sleep first; "hang" sleeps until killed)
# over the answer above; each call is recorded, after its script was read, as
# a file under $FAKEVIRSH_DIR/calls holding "gethdbiso", VM and the verb,
# NUL-separated.
dir=${FAKEVIRSH_DIR:-/var/run/fakevirsh}
shopt -u patsub_replacement 2>/dev/null || true   # '&' in a replacement is itself
all=(gethdbiso "$@")
vm=${1:-}
xml=/var/run/libvirt/qemu/$vm.xml

rc=0 out= err= delay=
if [ $# -ne 2 ] || [ "$2" != check_hdb_cdrom ]; then
  rc=2 err="usage: gethdbiso.sh VM check_hdb_cdrom"
elif [ -z "$vm" ] || [[ "$vm" == */* ]] || [ ! -f "$xml" ]; then
  rc=2 err="gethdbiso.sh: no running VM named '$vm'"
else
  # The source file of the CD-ROM whose target is hdb; "-" for none, nothing
  # when there is no such drive.
  source=$(awk -v q="'" '
    /<disk / { n = 0; inblk = 1; cdrom = index($0, "device=" q "cdrom" q) > 0; hdb = 0; file = "-" }
    inblk && index($0, "<target dev=" q "hdb" q) { hdb = 1 }
    inblk && /^ *<source file=/ { file = $0; sub(/^ *<source file=./, "", file); sub(q ".*", "", file) }
    inblk && /<\/disk>/ { inblk = 0; if (cdrom && hdb) { print file; exit } }' "$xml")
  if [ -z "$source" ]; then
    rc=2 err="gethdbiso.sh: VM '$vm' has no CD-ROM drive on hdb"
  elif [ "$source" != - ]; then
    source=${source//&apos;/\'} source=${source//&quot;/\"}
    source=${source//&lt;/<} source=${source//&gt;/>} source=${source//&amp;/&}
    rc=1 out=$source$'\n'
  fi
fi

for f in "$dir/script/gethdbiso@$vm" "$dir/script/gethdbiso"; do
  if [ -f "$f" ]; then
    # shellcheck disable=SC1090
    . "$f"
    break
  fi
done
mkdir -p "$dir/calls"
printf '%s\0' "${all[@]}" > "$dir/calls/$(date +%s%N)-$$"

if [ "$delay" = hang ]; then
  while :; do sleep 1000; done
elif [ -n "$delay" ]; then
  sleep "$delay"
fi
[ -n "$out" ] && printf '%s' "$out"
[ -n "$err" ] && printf '%s\n' "$err" >&2
exit "$rc"
