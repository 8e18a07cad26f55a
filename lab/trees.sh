# SPDX-License-Identifier: GPL-2.0-or-later
# What makes the lab's guests: apt sources for any Debian release derived from the host's, the
# lab's machines, kernels and trees fetched through apt into the lab's cache, and the GMA 950
# model built for each kernel. Sourced by lib.sh.
# shellcheck shell=bash

# lab_sources SUITE DIR [HOST_ROOT]: the host's apt sources for its own Debian release, renamed to
# SUITE (bookworm-security becomes trixie-security, and so on), as DIR/debian.sources and
# DIR/debian.list. Entries for anything but the host's release are left out, and no mirror is
# named but the host's. HOST_ROOT (default /) is where the host's /etc is.
lab_sources() {
  local suite=$1 dir=$2 etc=${3:-}/etc host file
  host=$(sed -n 's/^VERSION_CODENAME="\{0,1\}\([a-z]*\)"\{0,1\}$/\1/p' "$etc/os-release")
  [ -n "$host" ] || lab_unavailable "/etc/os-release names no release to derive $suite's sources from"
  mkdir -p "$dir"
  : >"$dir/debian.sources"
  : >"$dir/debian.list"
  for file in "$etc/apt/sources.list" "$etc"/apt/sources.list.d/*.list "$etc"/apt/sources.list.d/*.sources; do
    [ -s "$file" ] || continue
    case $file in
      *.sources)
        awk -v host="$host" -v suite="$suite" '
          function flush() { if (keep) printf "%s\n", stanza; stanza = ""; keep = 0 }
          /^[ \t]*$/ { flush(); next }
          /^#/ { next }
          tolower($1) == "suites:" {
            line = "Suites:"
            for (i = 2; i <= NF; i++)
              if ($i == host || index($i, host "-") == 1) {
                line = line " " suite substr($i, length(host) + 1)
                keep = 1
              }
            $0 = line
          }
          { stanza = stanza $0 "\n" }
          END { flush() }' "$file" >>"$dir/debian.sources"
        ;;
      *)
        awk -v host="$host" -v suite="$suite" '
          $1 == "deb" {
            # After "deb" and any [options]: the URI, then the suite.
            i = 2
            if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            s = $(i + 1)
            if (s == host || index(s, host "-") == 1) { $(i + 1) = suite substr(s, length(host) + 1); print }
          }' "$file" >>"$dir/debian.list"
        ;;
    esac
  done
  for file in "$dir/debian.sources" "$dir/debian.list"; do
    [ -s "$file" ] || rm -f "$file"
  done
  [ -n "$(ls "$dir")" ] || lab_unavailable "this host has no apt sources for its release ($host) to derive $suite's from"
}

# lab_drop_suites DIR SUITE...: leaves the SUITEs out of the sources that lab_sources wrote to DIR,
# and entries left with no suite with them; fails if nothing is left.
lab_drop_suites() {
  local dir=$1 file
  shift
  for file in "$dir/debian.sources" "$dir/debian.list"; do
    [ -e "$file" ] || continue
    awk -v drop=" $* " '
      function flush() { if (suites != "") printf "%s%s", (printed++ ? "\n" : ""), stanza; stanza = ""; suites = "" }
      FILENAME ~ /\.sources$/ && /^[ \t]*$/ { flush(); next }
      FILENAME ~ /\.sources$/ && tolower($1) == "suites:" {
        line = "Suites:"
        for (i = 2; i <= NF; i++) if (index(drop, " " $i " ") == 0) { line = line " " $i; suites = suites $i }
        $0 = line
      }
      FILENAME ~ /\.sources$/ { stanza = stanza $0 "\n"; next }
      {
        i = 2
        if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if (index(drop, " " $(i + 1) " ") == 0) print
      }
      END { flush() }' "$file" >"$file.kept"
    mv "$file.kept" "$file"
    [ -s "$file" ] || rm -f "$file"
  done
  [ -n "$(ls "$dir")" ]
}

# lab_apt CACHE SUITE ARCH COMMAND ARG...: apt-get or apt-cache for SUITE on ARCH with a state of
# the lab's own, so that the host's package lists stay as they are. The lists are fetched once a
# day.
lab_apt() {
  local cache=$1 suite=$2 arch=$3 command=$4 state lock broken
  shift 4
  state=$(lab_apt_state "$cache" "$suite" "$arch")
  local options=(-o "Dir::Etc::SourceList=$state/none.list" -o "Dir::Etc::SourceParts=$state/sources"
    -o "Dir::State=$state/state" -o "Dir::State::status=$state/status" -o "Dir::Cache=$state/cache"
    -o "APT::Architecture=$arch" -o "APT::Architectures=$arch" -o APT::Sandbox::User=root)
  mkdir -p "$state"
  exec {lock}>"$state.lock"
  flock "$lock"
  if [ -z "$(find "$state/updated" -mmin -1440 2>/dev/null)" ]; then
    rm -rf "$state/sources"
    lab_sources "$suite" "$state/sources"
    mkdir -p "$state/state/lists/partial" "$state/cache/archives/partial"
    : >"$state/status"
    : >"$state/none.list"
    if ! LC_ALL=C apt-get "${options[@]}" -q update >"$state/update.log" 2>&1; then
      # A mirror in the middle of a sync can serve an index that does not match its Release file.
      # A guest does without an update suite (security, say) for a day, not without the release.
      mapfile -t broken < <(sed -n 's|^E: Failed to fetch .*/dists/\([^/]*\)/.*|\1|p' "$state/update.log" | sort -u)
      if [ ${#broken[@]} -eq 0 ] || [[ " ${broken[*]} " == *" $suite "* ]] ||
        ! lab_drop_suites "$state/sources" "${broken[@]}" ||
        ! LC_ALL=C apt-get "${options[@]}" -q update >>"$state/update.log" 2>&1; then
        cat "$state/update.log" >&2
        lab_unavailable "apt cannot fetch $suite's package lists for $arch"
      fi
      echo "lab: ${broken[*]} left out for $arch today: the mirror's index does not match its Release file" >&2
    fi
    touch "$state/updated"
  fi
  "$command" "${options[@]}" "$@"
  exec {lock}>&-
}

lab_apt_state() {
  realpath -m "$1/apt/$2-$3"
}

# lab_apt_sources CACHE SUITE ARCH DIR: the sources lab_apt fetches SUITE for ARCH from today, in DIR.
lab_apt_sources() {
  lab_apt "$1" "$2" "$3" true
  cp -r "$(lab_apt_state "$1" "$2" "$3")/sources" "$4"
}

# lab_archive_failure LOG CACHE SUITE ARCH WHAT: apt or mmdebstrap could not WHAT, and said why in
# LOG. A release in development (its Release file says testing or unstable) moves every day, and on
# some days its own archive cannot satisfy what a guest needs, which is no fault of the project's:
# then the test stops as unavailable, in CI too, with apt's words. Anything else is the lab's
# failure (outside CI a skip, as any missing piece of the lab is).
lab_archive_failure() {
  local log=$1 cache=$2 suite=$3 arch=$4 what=$5 said release
  said=$(grep -E "^(E|Error): (Unable to locate package|Package '[^']*' has no installation candidate|Unable to correct problems|Unable to satisfy dependencies|Version '[^']*' for '[^']*' was not found|Can't find a source to download)|Depends: .* but (it is not installable|it is not going to be installed|[^ ]* is to be installed)" "$log") || true
  release=$(cat "$(lab_apt_state "$cache" "$suite" "$arch")/state/lists/"*"_dists_${suite}_InRelease" 2>/dev/null |
    sed -n 's/^Suite: //p')
  if [ -n "$said" ] && { [ "$release" = testing ] || [ "$release" = unstable ]; }; then
    echo "$said" >&2
    echo "lab: unavailable: $suite ($release) cannot $what today: its archive is in the middle of a move" >&2
    exit 77
  fi
  lab_unavailable "cannot $what"
}

# The host's apt takes its own view of a release's dates (this machine's does without the checks
# of Valid-Until and Date, for a registry that serves a release as a snapshot past them); apt in a
# tree reads only the tree's configuration, so the tree gets the same view: mmdebstrap options.
lab_apt_date_options() {
  local valid='' date=''
  eval "$(apt-config shell valid Acquire::Check-Valid-Until date Acquire::Check-Date)"
  [ -z "$valid" ] || echo "--aptopt=Acquire::Check-Valid-Until \"$valid\""
  [ -z "$date" ] || echo "--aptopt=Acquire::Check-Date \"$date\""
}

# The lab's machines, a line each, fields separated by "|": the name, the Debian architecture,
# Debian's kernel flavour for it, the QEMU that emulates it, processors, memory in MiB, what
# `uname -m` says there, what answers at PCI 00:02.0 and the CPU's model name (empty: any). The
# 64-bit PC runs the cloud kernel, alone or with a second processor; the netbook is an Atom N270 on
# the 686 kernel. At 00:02.0 is QEMU's VGA (1234:1111, no GMA 950), or the lab's GMA 950 model
# in the guest's kernel, where QEMU has nothing.
lab_machines() {
  cat <<'MACHINES'
pc|amd64|cloud-amd64|qemu-system-x86_64 -M pc|1|1024|x86_64|vga|
pc-2cpu|amd64|cloud-amd64|qemu-system-x86_64 -M pc|2|1024|x86_64|vga|
netbook|i386|686|qemu-system-i386 -M pc -cpu n270|1|1024|i686|vga|Intel(R) Atom(TM) CPU N270
gma950-pc|amd64|cloud-amd64|qemu-system-x86_64 -M pc|1|1024|x86_64|gma950|
gma950-pc-2cpu|amd64|cloud-amd64|qemu-system-x86_64 -M pc|2|1024|x86_64|gma950|
gma950-netbook|i386|686|qemu-system-i386 -M pc -cpu n270|1|1024|i686|gma950|Intel(R) Atom(TM) CPU N270
MACHINES
}

# lab_machine NAME FIELD: FIELD (arch, kernel, qemu, processors, memory, uname, graphics or model)
# of the machine NAME.
lab_machine() {
  local line fields
  line=$(lab_machines | grep "^$1|") ||
    lab_fail "no lab machine $1 (there are: $(lab_machines | cut -d'|' -f1 | tr '\n' ' '))"
  IFS='|' read -r -a fields <<<"$line"
  case $2 in
    arch) echo "${fields[1]}" ;;
    kernel) echo "${fields[2]}" ;;
    qemu) echo "${fields[3]}" ;;
    processors) echo "${fields[4]}" ;;
    memory) echo "${fields[5]}" ;;
    uname) echo "${fields[6]}" ;;
    graphics) echo "${fields[7]}" ;;
    model) echo "${fields[8]:-}" ;;
    *) lab_fail "no field $2 of a lab machine" ;;
  esac
}

# The machine that runs trees of ARCH: the first one of that architecture.
lab_machine_for() {
  lab_machines | awk -F'|' -v arch="$1" '$2 == arch && !found { print $1; found = 1 }'
}

# lab_kernel CACHE SUITE MACHINE: prints the folder of SUITE's kernel for MACHINE, downloaded once
# and reused while Debian ships the same version: boot/vmlinuz-*, and in modules/ just the virtio
# disk driver, with which a guest reaches a disk of the host's.
lab_kernel() {
  local cache=$1 suite=$2 arch flavour package
  arch=$(lab_machine "$3" arch)
  flavour=$(lab_machine "$3" kernel)
  package=$(lab_apt "$cache" "$suite" "$arch" apt-cache depends "linux-image-$flavour" |
    awk '/Depends: linux-image-/ && !found { print $2; found = 1 }')
  [ -n "$package" ] || lab_unavailable "apt knows no linux-image-$flavour in $suite for $arch"
  lab_cached "$cache/kernel/$package" lab_fetch_kernel "$cache" "$suite" "$arch" "$package"
  echo "$cache/kernel/$package"
}

lab_fetch_kernel() {
  local cache=$1 suite=$2 arch=$3 package=$4 dir=$5 parts deb vmlinuz drivers release
  # Debian 14 split the kernel: its image package holds no files and depends on the kernel
  # (linux-binary-*, usr/lib/modules/RELEASE/vmlinuz), its modules (linux-modules-*) and the
  # rest (linux-base-*: modules.builtin among them).
  parts=$(lab_apt "$cache" "$suite" "$arch" apt-cache depends "$package" |
    sed -n 's/^ *Depends: \(linux-\(binary\|modules\|base\)-[^ ]*\)$/\1/p')
  mkdir -p "$dir/download"
  # shellcheck disable=SC2086 # a list of packages
  (cd "$dir/download" && lab_apt "$cache" "$suite" "$arch" apt-get download -q "$package" $parts) 2>&1 |
    tee "$dir/download.log" >&2 || lab_archive_failure "$dir/download.log" "$cache" "$suite" "$arch" "download $package"
  for deb in "$dir"/download/*.deb; do dpkg-deb -x "$deb" "$dir/package"; done
  vmlinuz=$(find "$dir/package" \( -path '*/boot/vmlinuz-*' -o -path '*/modules/*/vmlinuz' \) -type f -print -quit)
  drivers=$(find "$dir/package" -path '*/kernel/drivers' -type d -print -quit)
  if [ -z "$vmlinuz" ] || [ -z "$drivers" ]; then
    lab_fail "$package and what it depends on hold no kernel and drivers"
  fi
  release=$(basename "$(dirname "$(dirname "$drivers")")")
  mkdir -p "$dir/boot" "$dir/modules/lib/modules/$release/kernel/drivers/block"
  mv "$vmlinuz" "$dir/boot/vmlinuz-$release"
  # The virtio transport is a module on some kernels and built in on others; modules.builtin tells
  # modprobe which.
  cp -a "$drivers/virtio" "$dir/modules/lib/modules/$release/kernel/drivers/"
  cp -a "$drivers/block/virtio_blk.ko"* "$dir/modules/lib/modules/$release/kernel/drivers/block/"
  cp -a "$(dirname "$drivers")/../modules.builtin" "$dir/modules/lib/modules/$release/"
  rm -rf "$dir/download" "$dir/download.log" "$dir/package"
}

# lab_add_model CACHE SUITE MACHINE RUN: where MACHINE carries the GMA 950 model, puts the one
# built for its kernel in RUN/lab, for the guest to load (guest-lib.sh's lab_load_model).
lab_add_model() {
  [ "$(lab_machine "$3" graphics)" = gma950 ] || return 0
  mkdir -p "$4/lab"
  cp "$(lab_model "$1" "$2" "$3")" "$4/lab/gma950_model.ko"
}

# lab_model CACHE SUITE MACHINE: prints the path of the lab's GMA 950 model (lab/gma950-model)
# built for SUITE's kernel for MACHINE, cached with that kernel and keyed on the model's source.
# It is built in a tree of SUITE for the host's architecture, with the compiler and kbuild
# helpers that kernel was built with and its headers unpacked there: a 686 kernel's headers are
# i386, but its module is built by the host's own kbuild helpers and compiler (with -m32).
lab_model() {
  local cache=$1 suite=$2 machine=$3 kernel source key
  kernel=$(lab_kernel "$cache" "$suite" "$machine")
  source=$(cd "$(dirname "${BASH_SOURCE[0]}")/gma950-model" && pwd)
  key=$(cat "$source"/* | sha256sum | cut -c1-16)
  lab_cached "$kernel/model-$key" lab_build_model "$cache" "$suite" "$(lab_machine "$machine" arch)" \
    "$(basename "$kernel")" "$source"
  echo "$kernel/model-$key/gma950_model.ko"
}

lab_build_model() {
  local cache=$1 suite=$2 arch=$3 image=$4 source=$5 dir=$6 headers depends compiler kbuild common tree package
  headers=linux-headers-${image#linux-image-}
  depends=$(lab_apt "$cache" "$suite" "$arch" apt-cache depends "$headers")
  # Debian 12 names the compiler through linux-compiler-gcc-N-x86, Debian 13 directly, Debian 14
  # as gcc-N-for-host; each release's gcc-N package brings the gcc-N command.
  compiler=$(sed -n 's/.*Depends: \(linux-compiler-\)\{0,1\}\(gcc-[0-9]*\)\(-x86\|-for-host\)\{0,1\}$/\2/p' <<<"$depends" | head -n 1)
  kbuild=$(sed -n 's/.*Depends: \(linux-kbuild-[^ ]*\)$/\1/p' <<<"$depends" | head -n 1)
  common=$(sed -n 's/.*Depends: \(linux-headers-.*-common\)$/\1/p' <<<"$depends" | head -n 1)
  if [ -z "$compiler" ] || [ -z "$kbuild" ] || [ -z "$common" ]; then
    lab_unavailable "cannot tell what $headers is built with (apt says: $depends)"
  fi
  tree=$(lab_debian_tree "$cache" "$suite" "$(lab_host_arch)" merged-usr minbase "make,$compiler,$kbuild")
  mkdir -p "$dir/download" "$dir/root"
  (cd "$dir/download" && lab_apt "$cache" "$suite" "$arch" apt-get download -q "$headers" "$common") 2>&1 |
    tee "$dir/download.log" >&2 || lab_archive_failure "$dir/download.log" "$cache" "$suite" "$arch" "download $headers"
  # The headers' links and their Makefile's include name /usr/src and /usr/lib absolutely: a copy
  # of the tree with the headers' /usr/src in it puts both where they say.
  cp -a "$tree/tree/." "$dir/root"
  for package in "$dir"/download/*.deb; do dpkg-deb -x "$package" "$dir/headers"; done
  cp -a "$dir/headers/usr/src/." "$dir/root/usr/src/"
  mkdir -p "$dir/root/model"
  cp "$source"/* "$dir/root/model/"
  lab_chroot "$dir/root" make -s -C "/usr/src/$headers" M=/model CC="$compiler" modules >&2 ||
    lab_fail "the model did not build for $image"
  cp "$dir/root/model/gma950_model.ko" "$dir/"
  rm -rf "$dir/download" "$dir/download.log" "$dir/headers" "$dir/root"
}

# The host's own architecture runs a tree's programs; trees of any other are configured in a guest.
lab_host_arch() {
  dpkg --print-architecture
}

# lab_debian_tree CACHE SUITE ARCH USR_LAYOUT VARIANT PACKAGES [MMDEBSTRAP OPTION...]: prints the
# folder of a Debian SUITE tree for ARCH, made once and cached, keyed on how it is made, with
# tree/ in it. USR_LAYOUT is merged-usr or no-merged-usr; VARIANT is minbase or apt, or extract
# for just the files of PACKAGES (a comma list) and what they depend on. Maintainer scripts never
# run on the host: for the host's architecture mmdebstrap runs them chrooted into the tree; for
# another, the packages are only unpacked here and installed by dpkg inside a guest of their own
# architecture.
lab_debian_tree() {
  local cache=$1 suite=$2 arch=$3 layout=$4 variant=$5 packages=$6 configure='' key
  shift 6
  local options=(--arch="$arch" "--hook-dir=/usr/share/mmdebstrap/hooks/$layout"
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*'
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/info/*' --quiet "$@")
  mapfile -t -O "${#options[@]}" options < <(lab_apt_date_options)
  if [ "$arch" = "$(lab_host_arch)" ] || [ "$variant" = extract ]; then
    options+=(--variant="$variant" --include="$packages")
  else
    [ "$variant" = minbase ] || lab_fail "only minbase trees are configured in a guest"
    # The packages of minbase, plus kmod for the guest's disk driver.
    options+=(--variant=extract --include='?essential' --include='?priority(required)'
      --include="$packages,kmod" --skip=cleanup/apt/cache)
    [ "$layout" = no-merged-usr ] || options+=(--include=usr-is-merged)
    configure=$(lab_configure_script)
  fi
  key=$(printf '%s\n' "$suite" "${options[@]}" "$configure" | sha256sum | cut -c1-16)
  lab_cached "$cache/debian-$suite-$arch-$variant-$key" lab_make_debian_tree "$cache" "$suite" "$arch" \
    "$configure" "${options[@]}"
  echo "$cache/debian-$suite-$arch-$variant-$key"
}

lab_make_debian_tree() {
  local cache=$1 suite=$2 arch=$3 configure=$4 dir=${*: -1}
  local options=("${@:5:$#-5}")
  mkdir -p "$dir"
  lab_apt_sources "$cache" "$suite" "$arch" "$dir/sources"
  mmdebstrap "${options[@]}" "$suite" "$dir/tree" "$dir"/sources/* 2>&1 | tee "$dir/mmdebstrap.log" >&2 ||
    lab_archive_failure "$dir/mmdebstrap.log" "$cache" "$suite" "$arch" "make the $suite tree for $arch"
  rm -f "$dir/mmdebstrap.log"
  [ -z "$configure" ] || lab_configure_in_guest "$cache" "$suite" "$arch" "$dir" "$configure"
  rm -rf "$dir/sources" "$dir/tree/etc/apt/sources.list" "$dir/tree"/etc/apt/sources.list.d/*
  grep -q "^VERSION_CODENAME=$suite\$" "$dir/tree/etc/os-release" ||
    lab_fail "the tree is not $suite: $(grep VERSION_CODENAME "$dir/tree/etc/os-release")"
  # dbus and journald need a machine id; a fixed one keeps the tree the same for every run.
  echo 6c61626d616368696e652d69642d3031 >"$dir/tree/etc/machine-id"
}

# The first process of the guest that configures an unpacked tree: dpkg installs every package
# there, with the maintainer scripts running on the tree's own architecture, and the result goes
# back to the host as a tar archive on the guest's virtio disk.
lab_configure_script() {
  cat <<'CONFIGURE'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8
export DEBIAN_FRONTEND=noninteractive DEBCONF_NONINTERACTIVE_SEEN=true
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mkdir -p /lab/dev
mount -t devtmpfs devtmpfs /lab/dev
failed=0
echo
echo "lab: installing $(ls /var/cache/apt/archives/*.deb | wc -l) packages on $(uname -m)"
if ! dpkg --install --force-depends /var/cache/apt/archives/*.deb </dev/null >/lab/dpkg.log 2>&1; then
  tail -n 20 /lab/dpkg.log
  failed=1
fi
dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | grep -v '^ii ' && failed=1
rm -f /var/cache/apt/archives/*.deb
if ! { depmod -b /lab/modules && modprobe -d /lab/modules -a virtio_pci virtio_blk &&
  tar -c --one-file-system --exclude=./lab -f /lab/dev/vda -C / .; }; then
  failed=1
fi
echo "lab: done, $failed failed"
sync
echo o >/proc/sysrq-trigger
sleep 60
CONFIGURE
}

lab_configure_in_guest() {
  local cache=$1 suite=$2 arch=$3 dir=$4 configure=$5 kernel machine
  machine=$(lab_machine_for "$arch")
  kernel=$(lab_kernel "$cache" "$suite" "$machine")
  mkdir -p "$dir/tree/lab" "$dir/configured"
  printf '%s\n' "$configure" >"$dir/tree/lab/configure"
  chmod 755 "$dir/tree/lab/configure"
  cp -a "$kernel/modules" "$dir/tree/lab/modules"
  lab_pack "$dir/tree" "$dir/unpacked.cpio"
  truncate -s 2G "$dir/configured.tar"
  echo "lab: configuring the $suite tree for $arch in a guest" >&2
  # dpkg's work needs room beside the unpacked tree.
  lab_boot "$dir/configure.log" 900 "$machine" "$kernel"/boot/vmlinuz-* "$dir/unpacked.cpio" \
    rdinit=/lab/configure -m 1536 -drive "file=$dir/configured.tar,format=raw,if=virtio"
  lab_verdict "$dir/configure.log"
  tar -x -p --numeric-owner -f "$dir/configured.tar" -C "$dir/configured"
  rm -rf "$dir/tree" "$dir/unpacked.cpio" "$dir/configured.tar"
  mv "$dir/configured" "$dir/tree"
}

# lab_chroot TREE COMMAND...: runs COMMAND inside TREE with its own /proc, in a mount namespace of
# its own, so that nothing stays mounted when it ends.
lab_chroot() {
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare --mount --propagation private -- sh -c 'mount -t proc proc "$1/proc" && exec chroot "$@"' \
    sh "$@"
}
