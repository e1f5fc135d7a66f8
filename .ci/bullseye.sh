#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# The whole suite with the toolchain of an older SDK, Debian 11's (gcc 10, CMake 3.18, glibc 2.31),
# in a bullseye root made by debootstrap, with plain cmake and ctest commands: built natively;
# cross-built for armhf and run under its qemu-arm; and cross-built dynamically linked, as an SDK
# of that age links, and run on bullseye's armhf kernel (5.10) in qemu-system-arm with bullseye's
# armhf C library and C++ runtime beside busybox, as .ci/target.sh runs it.
# Usage: .ci/bullseye.sh [SECONDS] (the time limit of the boot, default 1800). Needs root,
# debootstrap, qemu-system-arm and cpio. The root and its .debs stay in build-bullseye/cache, so
# that a second run only builds and tests.
set -euo pipefail

# Every mount below lives in a mount namespace of this run: nothing is left mounted at its end.
if [[ -z ${BULLSEYE_NAMESPACE:-} ]]; then
  BULLSEYE_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
source "$(dirname "$0")/target.sh"

out=$checkout/build-bullseye
sysroot=$out/cache/root
# The tests' own GoogleTest is built from the googletest sources.
packages="cmake ninja-build g++ googletest valgrind g++-arm-linux-gnueabihf qemu-user"

step_start=
step() {  # NAME: the previous step's duration, then the next step's name
  [[ -z $step_start ]] || echo "-- $(($(date +%s) - step_start)) s"
  step_start=$(date +%s)
  [[ -z $1 ]] || echo "== $1"
}

if [[ ! -f $sysroot/.debootstrapped ]]; then
  step "making the bullseye root in $sysroot"
  rm -rf "$sysroot" && mkdir -p "$out/cache"
  debootstrap --variant=minbase bullseye "$sysroot" http://deb.debian.org/debian \
    >"$out/cache/debootstrap.log" 2>&1 || { tail -n 20 "$out/cache/debootstrap.log" >&2; exit 1; }
  touch "$sysroot/.debootstrapped"
fi

# The root is a mount point, so that the tests can make / private in a namespace of their own.
mount --bind "$sysroot" "$sysroot"
mount -t proc proc "$sysroot/proc"
mount --rbind /dev "$sysroot/dev"
mount -t sysfs sys "$sysroot/sys"
mkdir -p "$sysroot$checkout"
mount --bind "$checkout" "$sysroot$checkout"  # at the same path: the tests name it by its path
in_root() {
  chroot "$sysroot" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    CI="${CI:-true}" DEBIAN_FRONTEND=noninteractive bash -euo pipefail -c "cd $checkout && $1"
}

if [[ $(cat "$sysroot/.packages" 2>/dev/null) != "$packages" ]]; then
  step "installing the toolchain, and fetching the armhf packages of the target"
  in_root "dpkg --add-architecture armhf && apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends $packages >/var/log/ci-install.log &&
    mkdir -p /var/cache/armhf && cd /var/cache/armhf && rm -f *.deb && chown _apt . &&
    kernel=\$(apt-cache depends linux-image-armmp:armhf | awk '/Depends:/ && !n++ {print \$2}') &&
    apt-get download -qq \${kernel%:armhf}:armhf libc6:armhf libstdc++6:armhf libgcc-s1:armhf \
      busybox-static:armhf && apt-get clean"
  echo "$packages" >"$sysroot/.packages"
fi
# sed reads all: a reader that quits early would fail the pipe under pipefail.
in_root "cmake --version | sed -n 1p; g++ --version | sed -n 1p; ldd --version | sed -n 1p"

step "native build and tests (gcc 10)"
in_root "rm -rf $out/native && cmake -S . -B $out/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
  cmake --build $out/native >$out/native.log && cd $out/native && ctest --output-on-failure"

step "armhf cross build, tests under qemu-arm"
arm="-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake"
in_root "rm -rf $out/arm && cmake -S . -B $out/arm $arm >/dev/null &&
  cmake --build $out/arm >$out/arm.log && cd $out/arm && ctest --output-on-failure"

step "armhf cross build, dynamically linked, for bullseye's armhf kernel"
build=$out/arm-target
in_root "rm -rf $build && cmake -S . -B $build $arm -DCMAKE_CROSSCOMPILING_EMULATOR= \
  -DRPM_BUILD_BENCH=ON >/dev/null && cmake --build $build --target rpm_parser rpm_parser_logfd \
  rpm_tests cli_tests fuzz_replay gen_packages >$build.log"

# The initramfs: busybox, the loader (/lib/ld-linux-armhf.so.3) and the libraries in their
# multiarch folders, which the loader searches without a cache, and what the tests name.
work=$out/target
rm -rf "$work" && mkdir -p "$work/kernel" "$work/debs" "$work/suite/usr/lib"
for deb in "$sysroot"/var/cache/armhf/*.deb; do
  case $deb in
    */linux-image-*) dpkg-deb -x "$deb" "$work/kernel" ;;  # its modules stay out: none is needed
    *) dpkg-deb -x "$deb" "$work/debs" ;;
  esac
done
vmlinuz=$(find "$work"/kernel/boot -name 'vmlinuz-*-armmp' | head -n 1)
busybox=$work/debs/bin/busybox
cp -a "$work/debs/lib" "$work/suite/"
cp -a "$work/debs/usr/lib/arm-linux-gnueabihf" "$work/suite/usr/lib/"
rm -rf "$work/suite/usr/lib/arm-linux-gnueabihf/gconv"
suite_tree suite
pack suite
step ""
boot suite 1536
