#!/usr/bin/env bash
# The x86 leg's tests on a host that runs 64-bit user code only: a whole x86-64 Debian machine
# under software emulation (QEMU, TCG), whose own kernel runs 32-bit code, runs them under its
# 32-bit Wine. Emulating user mode alone is not enough (multi-threaded 32-bit Wine programs die
# there); the whole machine is.
#
#   x86-vm.sh image                          # builds or reuses the machine; prints its folder
#   x86-vm.sh run <build> <devserver> <out>  # runs the journeys of an x86 build in it
#
# The machine is an ext4 image of a minimal Debian 12 with Wine (both loaders), cmake's ctest
# and the backend emulator's libraries, and a WoW64 Wine prefix made once in the machine itself.
# It is cached under /var/cache/vondsdk, named by a hash of everything it holds (the package
# list, this recipe and the machine's init script), so a second run only boots it. Its disk is
# never changed by a test run (the run writes to a throw-away layer).
#
# A run hands the machine two more disks, both plain tar archives: the payload (the build
# folder, the backend emulator and the source tree at their absolute paths, since ctest's files
# name them so, and the commands to run) and an empty one the machine writes its results to.
# Sourced by scripts/test-windows.sh for its functions.
set -euo pipefail
vm_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$vm_root/scripts/lib.sh"

vm_cache=${VOND_CACHE_DIR:-/var/cache/vondsdk}
vm_mirror=http://deb.debian.org/debian
vm_suite=bookworm
# Raise when the way the machine is made changes in a way its package list does not show.
vm_recipe=1
# Wine with both loaders (the 32-bit one runs the tests, the 64-bit one makes the prefix), the
# kernel (IA-32 emulation built in; its initrd mounts the virtio disk), ctest, the backend
# emulator's shared libraries, and ip to bring up loopback.
vm_packages=(linux-image-amd64 wine wine64 wine32:i386 libgcc-s1:i386 cmake
  libssl3 libsqlite3-0 libcpp-httplib0.11 iproute2)
vm_prefix=/opt/vond-wineprefix
# "-cpu max" lets 64-bit wineboot die in the guest kernel; this model does not.
vm_cpu=qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt
# Making the image's prefix takes a few minutes under TCG; a machine that hangs never holds
# the caller longer than this.
vm_prefix_bound=${VOND_VM_PREFIX_BOUND:-1800}

# The machine's first and only process. The kernel line says what to do: "vond.mode=prefix"
# makes the Wine prefix on the image's own disk, "vond.mode=run" unpacks the payload disk and
# runs its commands. Both write what they found to the third disk, then power the machine off.
vm_init_script() {
  cat <<'INIT'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
HOME=/root
LANG=C.UTF-8
export PATH HOME LANG
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts
mountpoint -q /dev/shm || mount -t tmpfs tmpfs /dev/shm
mountpoint -q /run || mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
ip link set lo up
hostname vond-vm
out=/run/vond-out
mkdir -p "$out"
mode=$(sed -n 's/.*vond\.mode=\([a-z]*\).*/\1/p' /proc/cmdline)
echo "vond-vm: up after $(cut -d' ' -f1 /proc/uptime) s, mode $mode"
rc=0
case "$mode" in
  prefix)
    # A 64-bit prefix made by the 64-bit loader, then one 32-bit program so that its WoW64
    # half is complete too: a test run then starts on a prefix that needs nothing more.
    start=$(cut -d. -f1 /proc/uptime)
    export WINEPREFIX=/opt/vond-wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    rm -rf "$WINEPREFIX"
    /usr/lib/wine/wine64 wineboot --init >"$out/prefix.log" 2>&1 || rc=$?
    /usr/lib/wine/wineserver -w
    /usr/lib/wine/wine cmd /c exit >>"$out/prefix.log" 2>&1 || rc=$?
    /usr/lib/wine/wineserver -w
    grep -q '^#arch=win64' "$WINEPREFIX/system.reg" || rc=1
    [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] || rc=1
    echo "prefix: $(( $(cut -d. -f1 /proc/uptime) - start )) s, status $rc" | tee -a "$out/prefix.log"
    ;;
  run)
    if tar -xf /dev/vdb -C / && [ -f /vond-vm/run ]; then
      bash /vond-vm/run "$out" 2>&1 | tee "$out/run.log"
      rc=$(cat "$out/rc" 2>/dev/null || echo 1)
    else
      echo "vond-vm: the payload disk holds no commands"
      rc=1
    fi
    ;;
  *)
    echo "vond-vm: no vond.mode on the kernel line"
    rc=1
    ;;
esac
echo "$rc" >"$out/rc"
tar -cf /dev/vdc -C "$out" .
echo "vond-vm: done with status $rc after $(cut -d' ' -f1 /proc/uptime) s"
sync
mount -o remount,ro / 2>/dev/null
echo o >/proc/sysrq-trigger
sleep 10
# Still here: a reboot ends QEMU too (-no-reboot).
echo b >/proc/sysrq-trigger
INIT
}

# The cache key: what the image holds and how it is made.
vm_image_key() {
  { echo "recipe $vm_recipe $vm_suite $vm_mirror $vm_cpu"; echo "${vm_packages[*]}"; vm_init_script; } |
    sha256sum | cut -c1-16
}

vm_image_dir() {
  echo "$vm_cache/x86-vm-$(vm_image_key)"
}

# Why this host cannot have the machine, or nothing. Installs the host's tools.
vm_host_problem() {
  if [ "$(id -u)" != 0 ] && [ ! -f "$(vm_image_dir)/.complete" ]; then
    echo "making the VM image needs root (debootstrap, chroot, mounts), and none is cached"
    return
  fi
  if ! need_packages qemu-system-x86 debootstrap e2fsprogs >/dev/null 2>&1; then
    echo "qemu-system-x86, debootstrap or e2fsprogs could not be installed ($VOND_APT_ERROR)"
    return
  fi
  if [ "$(awk '/MemAvailable/ {print int($2 / 1024)}' /proc/meminfo)" -lt 5000 ]; then
    echo "less than 5 GB of memory available for a 4 GB machine"
  fi
}

# Starts the machine on a disk image and waits until it powers off or its bound runs out.
# Arguments: the image folder, "snapshot" (the disk stays as it is) or "write", the kernel
# line's mode, the payload disk (or ""), the results disk, the console log, the bound in s.
vm_boot() {
  local image=$1 snapshot=$2 mode=$3 payload=$4 results=$5 console=$6 bound=$7 drives=()
  drives+=(-drive "file=$image/disk.img,if=virtio,format=raw$([ "$snapshot" = snapshot ] && echo ,snapshot=on)")
  if [ -n "$payload" ]; then
    drives+=(-drive "file=$payload,if=virtio,format=raw,readonly=on")
  else
    # The results disk is always the third one (/dev/vdc).
    truncate -s 1M "$results.none"
    drives+=(-drive "file=$results.none,if=virtio,format=raw,readonly=on")
  fi
  drives+=(-drive "file=$results,if=virtio,format=raw")
  local rc=0
  # The overlay of a snapshot disk goes to TMPDIR; the image's folder has room for it.
  TMPDIR=$vm_cache timeout --kill-after=20 "$bound" qemu-system-x86_64 \
    -accel tcg,thread=multi -smp 2 -m 4096 -cpu "$vm_cpu" -nographic -no-reboot \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 panic=1 quiet init=/opt/vond-vm/init vond.mode=$mode" \
    "${drives[@]}" </dev/null >"$console" 2>&1 || rc=$?
  rm -f "$results.none"
  return "$rc"
}

# Installs the image's packages in the tree with the tree's own apt, three tries as the host's.
vm_chroot_install() {
  local tree=$1 delays=($VOND_APT_RETRY_DELAYS) try rc
  chroot "$tree" dpkg --add-architecture i386
  for try in 1 2 3; do
    rc=0
    { chroot "$tree" apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive chroot "$tree" apt-get install -y -qq --no-install-recommends \
        "${vm_packages[@]}"; } || rc=$?
    [ "$rc" != 0 ] || return 0
    echo "image packages: try $try of 3 failed" >&2
    [ "$try" -lt 3 ] && sleep "${delays[$((try - 1))]:-0}"
  done
  return 1
}

# Makes the image in a folder of its own, in steps that each print their time. Its log is the
# folder's build.log.
vm_make_image() {
  local work=$1 tree=$1/tree t
  t=$(date +%s)
  debootstrap --variant=minbase "$vm_suite" "$tree" "$vm_mirror" || return 1
  echo "debootstrap: $(( $(date +%s) - t )) s"
  t=$(date +%s)
  mount -t proc proc "$tree/proc"
  mount --bind /dev "$tree/dev"
  local rc=0
  vm_chroot_install "$tree" || rc=1
  umount "$tree/dev" "$tree/proc"
  [ "$rc" = 0 ] || return 1
  echo "packages: $(( $(date +%s) - t )) s"
  mkdir -p "$tree/opt/vond-vm"
  vm_init_script >"$tree/opt/vond-vm/init"
  chmod 755 "$tree/opt/vond-vm/init"
  cp "$(ls "$tree"/boot/vmlinuz-* | sort -V | tail -n 1)" "$work/vmlinuz"
  cp "$(ls "$tree"/boot/initrd.img-* | sort -V | tail -n 1)" "$work/initrd.img"
  # The initrd carries the modules the root disk needs (virtio, ext4); the machine loads no
  # others. Documentation, translations and downloaded packages only slow the image down.
  chroot "$tree" apt-get clean
  rm -rf "$tree"/usr/lib/modules/* "$tree"/usr/share/doc/* "$tree"/usr/share/man/* \
    "$tree"/usr/share/locale/* "$tree"/var/lib/apt/lists/* "$tree"/boot/*
  t=$(date +%s)
  # Room for a prefix and a test run's files beside the tree; the file stays sparse.
  truncate -s 4G "$work/disk.img"
  mkfs.ext4 -q -F -L vond-vm -d "$tree" "$work/disk.img" || return 1
  rm -rf "$tree"
  echo "ext4 image: $(( $(date +%s) - t )) s"
  t=$(date +%s)
  rm -f "$work/prefix-results.img"
  truncate -s 16M "$work/prefix-results.img"
  vm_boot "$work" write prefix "" "$work/prefix-results.img" "$work/prefix-console.log" "$vm_prefix_bound" || {
    echo "the machine making the Wine prefix did not end in $vm_prefix_bound s; its console:"
    tail -n 30 "$work/prefix-console.log"
    return 1
  }
  mkdir -p "$work/prefix-results"
  tar -xf "$work/prefix-results.img" -C "$work/prefix-results" 2>/dev/null || true
  if [ "$(cat "$work/prefix-results/rc" 2>/dev/null)" != 0 ]; then
    echo "the Wine prefix was not made; the machine's console:"
    tail -n 30 "$work/prefix-console.log"
    return 1
  fi
  echo "Wine prefix in the machine: $(( $(date +%s) - t )) s (boot included)"
}

# Prints the folder of a complete image, building it first when the cache has none.
vm_image() {
  local dir work start
  dir=$(vm_image_dir)
  as_root mkdir -p "$vm_cache"
  exec 8>"$vm_cache/.x86-vm.lock"
  # One build at a time on a machine; a second checkout then finds the first one's image.
  flock 8
  if [ -f "$dir/.complete" ]; then
    exec 8>&-
    echo "$dir"
    return 0
  fi
  start=$(date +%s)
  work="$dir.build"
  vm_unmount_tree "$work/tree"
  rm -rf "$work"
  mkdir -p "$work"
  if ! (vm_make_image "$work") >"$work/build.log" 2>&1; then
    vm_unmount_tree "$work/tree"
    echo "the VM image could not be made; last lines of $work/build.log:" >&2
    tail -n 20 "$work/build.log" >&2
    exec 8>&-
    return 1
  fi
  echo "whole image: $(( $(date +%s) - start )) s" >>"$work/build.log"
  # Images of other keys are of no use any more, and each takes gigabytes.
  local old
  for old in "$vm_cache"/x86-vm-*; do
    [ "$old" = "$work" ] || [ ! -d "$old" ] || rm -rf "$old"
  done
  mv "$work" "$dir"
  touch "$dir/.complete"
  exec 8>&-
  echo "$dir"
}

# Undoes a build's chroot mounts that an interrupted build left.
vm_unmount_tree() {
  local m
  for m in "$1/dev" "$1/proc"; do
    if mountpoint -q "$m" 2>/dev/null; then umount -l "$m" || true; fi
  done
}

# ---- a test run ----

# What the machine runs of the x86 suite: the journeys a 32-bit game depends on, each for a
# reason below. Every test takes seconds under the emulated machine (each Wine process start
# alone is one to a few), so the rest of the suite, compiled from the same sources, is left to
# the x64 leg; the run lists by name what it left out. VOND_VM_WHOLE_SUITE=1 runs everything.
vm_journeys=(
  # Login, product list, checkout, the pay result and redemption, end to end against the
  # backend emulator and the EOS stand-in, in the 32-bit build of the SDK.
  '^Purchase\.PaidOrderIsStoredReportedHandedToTheGameRedeemedAndRemoved$'
  # A report that fails reaches the game, and the next login settles the order.
  '^Purchase\.FailedReportReachesTheGameAndTheNextLoginSettlesIt$'
  # The C interface in both callback modes, in process.
  '^CInterface\.(DefaultModeAnswersWhereTheResultArisesWithTheUserPointer|UpdateThreadModeDeliversEverythingInsideTheUpdateCallInArrivalOrder)$'
  # The C example program through the x86 DLL's C exports, a whole purchase in each mode.
  '^c_interface_e2e_(sdk|update)$'
  # Game processes that buy through the DLL's decorated exports, killed at a step, then a new
  # process whose login settles the purchase; and the purchase matrix, one cell of each of
  # its checkout rows (see vm_trials).
  '^durability_(under_kills|matrix)$'
  # Events posted, Exit, a restart that delivers them, across refusals, kills and the bound.
  '^event_outbox_across_processes$'
  # The ways a game ends (no Exit, Exit and unload) through the DLL, without crash or hang.
  '^process_end_runs$'
  # The state files under a failing disk, a refused read or rename, a held lock: one cell of
  # each file's row (see vm_trials), and two games on one data folder.
  '^fault_(matrix|processes)$'
)

# Small trial counts for the many-process tests: every process start costs seconds here. The
# matrix plays trial k on cell 7k of its 288, and its checkout rows are 48 cells each: 36
# trials reach every row.
vm_trials() {
  echo "VOND_KILL_TRIALS=${VOND_KILL_TRIALS:-2} VOND_KILL_MATRIX_TRIALS=${VOND_KILL_MATRIX_TRIALS:-36}" \
    "VOND_EVENT_KILL_TRIALS=${VOND_EVENT_KILL_TRIALS:-2} VOND_PROCESS_END_RUNS=${VOND_PROCESS_END_RUNS:-2}" \
    "VOND_FAULT_MATRIX_CELLS=${VOND_FAULT_MATRIX_CELLS:-5}"
}

# The ctest regular expression of what runs.
vm_selection() {
  if [ "${VOND_VM_WHOLE_SUITE:-0}" = 1 ]; then
    echo '.'
  else
    local IFS='|'
    echo "${vm_journeys[*]}"
  fi
}

# The commands the machine runs, from the payload disk. Arguments: the build folder, the
# backend emulator, the bound for the whole ctest run in seconds.
vm_run_script() {
  local build=$1 devserver=$2 bound=$3
  cat <<EOS
#!/bin/bash
# Written by scripts/x86-vm.sh for one run of the x86 tests in the machine.
set -u
out=\$1
build=$(printf %q "$build")
devserver=$(printf %q "$devserver")
selection=$(printf %q "$(vm_selection)")
export $(vm_trials)
export VOND_WINEPREFIX=$vm_prefix WINEPREFIX=$vm_prefix
cd "\$build" || { echo "no \$build in the machine"; echo 1 >"\$out/rc"; exit 1; }
ln -sfn $vm_prefix wineprefix
missing=\$(ldd "\$devserver" 2>&1 | grep 'not found' || true)
[ -z "\$missing" ] || echo "the backend emulator lacks libraries in the machine: \$missing"
echo "trial counts: \$VOND_KILL_TRIALS kill, \$VOND_KILL_MATRIX_TRIALS matrix, \$VOND_EVENT_KILL_TRIALS event kill, \$VOND_PROCESS_END_RUNS process-end runs"
# One Wine server for the whole run, as the other Wine legs keep.
/usr/lib/wine/wineserver -p
t=\$(date +%s)
# The test programs list their cases here, under this machine's Wine (PRE_TEST discovery).
ctest -N >"\$out/all.txt" 2>&1
ctest -N -R "\$selection" >"\$out/selected.txt" 2>&1
echo "tests listed in \$(( \$(date +%s) - t )) s: \$(sed -nE 's/^Total Tests: //p' "\$out/all.txt") in all, \$(sed -nE 's/^Total Tests: //p' "\$out/selected.txt") selected"
t=\$(date +%s)
# Within the machine's bound (counted from its boot), so that a hanging test still leaves a log
# to read; on the console too, which shows how far a machine that never finished got.
left=\$(( $bound - \$(cut -d. -f1 /proc/uptime) ))
timeout -k 10 \$left ctest -R "\$selection" --output-on-failure -j 2 --timeout 600 --repeat until-pass:3 2>&1 |
  tee "\$out/ctest.log"
echo \${PIPESTATUS[0]} >"\$out/ctest.rc"
echo "ctest ran \$(( \$(date +%s) - t )) s, status \$(cat "\$out/ctest.rc")"
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
echo 0 >"\$out/rc"
EOS
}

# The test names of a "ctest -N" listing, sorted.
vm_test_names() {
  sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p' "$1" 2>/dev/null | sort
}

# Packs the payload disk: the commands, and the build folder (without its objects), the backend
# emulator and the source tree, each at its absolute path.
vm_payload() {
  local build=$1 devserver=$2 bound=$3 disk=$4 stage
  stage=$(mktemp -d)
  mkdir -p "$stage/vond-vm"
  vm_run_script "$build" "$devserver" "$bound" >"$stage/vond-vm/run"
  local rel=${vm_root#/}
  tar -cf "$disk" -C "$stage" vond-vm
  tar -rf "$disk" -C / --exclude="$rel/build" --exclude="$rel/.git" "$rel"
  tar -rf "$disk" -C / --exclude='*.obj' --exclude='*.a' --exclude='CMakeFiles' --exclude='googletest' \
    --exclude='wineprefix' --exclude='.ninja_*' "${build#/}" "${devserver#/}"
  rm -rf "$stage"
}

# Runs the selection of an x86 build in the machine. Arguments: the build folder, the backend
# emulator, a folder for the results (the machine's ctest log, the listed and selected tests,
# its own log) and its console log. Fails when the machine gave no results.
vm_run_journeys() {
  local build=$1 devserver=$2 results=$3 image bound t
  bound=${VOND_VM_RUN_BOUND:-1500}
  image=$(vm_image) || return 1
  rm -rf "$results"
  mkdir -p "$results"
  vm_payload "$build" "$devserver" "$((bound - 120))" "$results/payload.img"
  truncate -s 256M "$results/results.img"
  t=$(date +%s)
  local rc=0
  vm_boot "$image" snapshot run "$results/payload.img" "$results/results.img" "$results/console.log" "$bound" || rc=$?
  echo "the machine ran $(( $(date +%s) - t )) s (bound $bound s, status $rc)"
  tar -xf "$results/results.img" -C "$results" 2>/dev/null || true
  rm -f "$results/payload.img" "$results/results.img"
  if [ ! -f "$results/rc" ]; then
    echo "the machine gave no results; the end of its console:"
    tail -n 40 "$results/console.log"
    return 1
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    image) vm_image ;;
    run) vm_run_journeys "$2" "$3" "$4" ;;
    *) echo "usage: x86-vm.sh image | run <build> <devserver> <results folder>" >&2; exit 2 ;;
  esac
  exit
fi
