# shellcheck shell=bash
# Shared by build-wheels and check-wheel (sourced after setup-lib.sh): Debian roots that supply
# the interpreters this machine lacks. An amd64 root is made by debootstrap and entered with
# chroot; an arm64 root is unpacked from Debian's arm64 packages and run under qemu-aarch64.
# Roots are kept between runs in $ROOTS (outside the project, which a clean clone starts without);
# a root is used only once its .complete marker is written. Making one needs root.

ROOTS="${QUILLOMETER_ROOTS:-/var/cache/quillometer/roots}"
DEBIAN_MIRROR="${QUILLOMETER_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

need_root_for() {
  [ "$(id -u)" -eq 0 ] && return 0
  echo "making $1 needs root (debootstrap, chroot); run this script as root" >&2
  exit 1
}

# The interpreter packages of each version in a root (the arm64 roots add the libraries they load).
python_packages() {
  local version
  for version in "$@"; do
    echo "python$version python$version-venv python$version-dev"
  done
}

# pip inside a root reaches PyPI with the machine's CA bundle and resolver.
copy_network_setup() {
  local root=$1
  mkdir -p "$root/etc/ssl/certs"
  cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$root/etc/ssl/certs/ca-certificates.crt"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
}

# ensure_amd64_root SUITE VERSION...: Debian SUITE with those Pythons, at $ROOTS/SUITE-amd64.
ensure_amd64_root() {
  local suite=$1
  shift
  local root="$ROOTS/$suite-amd64"
  [ -f "$root/.complete" ] && return 0
  need_root_for "the Debian $suite root $root"
  ensure_debian_packages debootstrap
  step "Debian $suite root for Python $* in $root (debootstrap, about 2 minutes)"
  rm -rf "$root"
  mkdir -p "$root"
  local packages
  packages=$(python_packages "$@" | tr ' ' '\n' | paste -sd, -)
  if ! debootstrap --variant=minbase --include="$packages" "$suite" "$root" "$DEBIAN_MIRROR" \
    >"$ROOTS/$suite-amd64.log" 2>&1; then
    tail -n 20 "$ROOTS/$suite-amd64.log" >&2
    echo "debootstrap of $suite failed; the whole log is $ROOTS/$suite-amd64.log" >&2
    exit 1
  fi
  copy_network_setup "$root"
  touch "$root/.complete"
}

# The project and the shared zig cache bind-mounted at their own paths inside an amd64 root (so
# paths and the build directory mean the same inside), with /proc and /dev; unmount_root undoes it.
mount_root() {
  local root="$ROOTS/$1-amd64"
  mkdir -p "$root$PROJECT" "$root/proc" "$root/dev" "$ROOTS/zig-cache" "$root$ROOTS/zig-cache"
  mountpoint -q "$root$PROJECT" || mount --bind "$PROJECT" "$root$PROJECT"
  mountpoint -q "$root$ROOTS/zig-cache" || mount --bind "$ROOTS/zig-cache" "$root$ROOTS/zig-cache"
  mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
  mountpoint -q "$root/dev" || mount --bind /dev "$root/dev"
}
unmount_root() {
  local root="$ROOTS/$1-amd64" point
  for point in "$root/dev" "$root/proc" "$root$ROOTS/zig-cache" "$root$PROJECT"; do
    if mountpoint -q "$point"; then umount "$point"; fi
  done
}

# The command line that runs a program inside a mounted amd64 root, from the project's directory,
# in a clean environment.
root_command() {
  echo chroot "$ROOTS/$1-amd64" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
    LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1
}

# Installs Debian packages inside a mounted amd64 root. sid's Release file may be past its
# Valid-Until date (as on the machine, which is told not to check it).
root_apt_install() {
  local suite=$1
  shift
  $(root_command "$suite") /bin/sh -c "apt-get -o Acquire::Check-Valid-Until=false update -qq && \
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $* >/dev/null"
}

# in_amd64_root SUITE COMMAND...: runs COMMAND in the root, from the project's directory.
in_amd64_root() {
  local suite=$1
  shift
  mount_root "$suite"
  local status=0
  $(root_command "$suite") /bin/sh -c "cd '$PROJECT' && exec \"\$@\"" sh "$@" || status=$?
  unmount_root "$suite"
  return "$status"
}

# A venv inside an amd64 root, with the given packages: $ROOTS/SUITE-amd64/opt/qm-VERSION.
ensure_root_venv() {
  local suite=$1 version=$2
  shift 2
  local marker="$ROOTS/$suite-amd64/opt/qm-$version/.complete"
  [ -f "$marker" ] && return 0
  step "venv for Python $version in the $suite root"
  in_amd64_root "$suite" /bin/sh -c "rm -rf /opt/qm-$version && python$version -m venv /opt/qm-$version \
    && /opt/qm-$version/bin/pip install -q $* && touch /opt/qm-$version/.complete"
}

# ensure_arm64_root SUITE VERSION...: Debian SUITE's arm64 Pythons unpacked at $ROOTS/SUITE-arm64,
# each run by $ROOTS/SUITE-arm64/usr/bin/pythonVERSION-qemu. The packages are fetched with a
# private apt configuration (the machine's own is not touched) and unpacked with dpkg -x.
ensure_arm64_root() {
  local suite=$1
  shift
  local root="$ROOTS/$suite-arm64"
  [ -f "$root/.complete" ] && return 0
  need_root_for "the Debian $suite arm64 root $root"
  ensure_debian_packages qemu-user
  step "Debian $suite arm64 root for Python $* in $root"
  local apt="$ROOTS/$suite-arm64-apt"
  rm -rf "$root" "$apt"
  mkdir -p "$root" "$apt"/{lists/partial,archives/partial,debs} "$apt/etc/preferences.d"
  echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $DEBIAN_MIRROR $suite main" \
    >"$apt/sources.list"
  touch "$apt/status"
  local options=(-o "APT::Architecture=arm64" -o "APT::Architectures=arm64"
    -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=-"
    -o "Dir::Etc::Preferences=-" -o "Dir::Etc::PreferencesParts=$apt/etc/preferences.d"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::State::Status=$apt/status"
    -o "Dir::Cache::Archives=$apt/archives" -o "Dir::Cache=$apt" -o "Acquire::Languages=none")
  apt-get "${options[@]}" update -qq >"$ROOTS/$suite-arm64.log" 2>&1
  # The interpreters with everything they depend on, as the suite names it.
  local depends
  # shellcheck disable=SC2046 # one package per word
  depends=$(apt-cache "${options[@]}" depends --recurse --no-recommends --no-suggests \
    --no-conflicts --no-breaks --no-replaces --no-enhances $(python_packages "$@") |
    grep -v '^ \|<' | sort -u)
  # shellcheck disable=SC2086 # one package per word
  (cd "$apt/debs" && apt-get "${options[@]}" download -qq $depends) >>"$ROOTS/$suite-arm64.log" 2>&1 || {
    tail -n 20 "$ROOTS/$suite-arm64.log" >&2
    echo "fetching $suite's arm64 packages failed; the log is $ROOTS/$suite-arm64.log" >&2
    exit 1
  }
  local deb
  for deb in "$apt/debs"/*.deb; do dpkg -x "$deb" "$root"; done
  # A merged-/usr suite ships its loader under usr/lib only; qemu looks for /lib/ld-linux-aarch64.so.1.
  for dir in lib bin sbin; do
    [ -e "$root/$dir" ] || ln -s "usr/$dir" "$root/$dir"
  done
  copy_network_setup "$root"
  local version
  for version in "$@"; do
    # Under qemu-user a child process is not emulated by itself, so the interpreter is started
    # with this script as its argv[0]: sys.executable names it, and the subprocesses the tests
    # start run under qemu too.
    cat >"$root/usr/bin/python$version-qemu" <<SCRIPT
#!/bin/sh
exec qemu-aarch64 -L "$root" -0 "\$0" "$root/usr/bin/python$version" "\$@"
SCRIPT
    chmod +x "$root/usr/bin/python$version-qemu"
  done
  rm -rf "$apt"
  touch "$root/.complete"
}
