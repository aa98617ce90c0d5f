# Shared by the project's scripts: installs what a fresh machine lacks. Python packages go into
# the project's own virtual environment (.venv), never into the system's interpreter.

step() { printf '\n==== %s\n' "$*"; }

# Debian packages: installed with apt-get when running as root; otherwise stop with the command.
ensure_debian_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    step "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "Missing Debian packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
}

# The project's virtual environment, created once and reused; activated for the calling script.
VENV="${QUILLOMETER_VENV:-$PWD/.venv}"
ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    local base="${QUILLOMETER_PYTHON:-$(command -v python3.11 || command -v python3)}"
    if ! "$base" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
      echo "quillometer needs CPython 3.11; $base is $("$base" --version 2>&1)." >&2
      echo "Set QUILLOMETER_PYTHON to a Python 3.11 interpreter." >&2
      exit 1
    fi
    # Debian's interpreter makes virtual environments only with python3-venv installed.
    "$base" -c 'import ensurepip' 2>/dev/null || ensure_debian_packages python3-venv
    step "creating the virtual environment $VENV"
    "$base" -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
  fi
  export VIRTUAL_ENV="$VENV"
  export PATH="$VENV/bin:$PATH"
  hash -r
}

# Python packages in the active environment, by requirement (name, optionally pinned with ==);
# installed with pip when absent or at another pinned version.
ensure_python_packages() {
  [ "${VIRTUAL_ENV:-}" = "$VENV" ] || ensure_venv
  local missing
  missing=$(python - "$@" <<'EOF'
import sys
from importlib import metadata
for requirement in sys.argv[1:]:
    name, _, pinned = requirement.partition("==")
    try:
        version = metadata.version(name)
    except metadata.PackageNotFoundError:
        print(requirement)
        continue
    if pinned and version != pinned:
        print(requirement)
EOF
  )
  [ -z "$missing" ] && return 0
  step "installing" $missing
  # shellcheck disable=SC2086 # one requirement per word
  python -m pip install --quiet $missing
}

# The packages of one of the project's extras (pyproject.toml), for what runs beside the module
# already installed.
ensure_extra() {
  ensure_python_packages $(python -c 'import sys, tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
print(*extras[sys.argv[1]])' "$1")
}

# The libraries to preload for the ASan/UBSan build of the module in the normal interpreter: the
# ASan runtime, and libstdc++ so that ASan's interception of C++ throws finds the real one.
asan_preload() {
  echo "$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
}

# What building the module without build isolation needs, so that the kept build directory
# (build/<wheel tag>) is reused and a rebuild only compiles what changed. Without isolation an
# extra's dependency that comes as an sdist (runstats, in `bench`) builds with setuptools and
# wheel from this environment too.
ensure_build_tools() {
  ensure_python_packages scikit-build-core cmake ninja setuptools wheel
}

# Builds and installs the module, with the given extras, into the active environment. Ninja's
# progress lines are shown; pip's whole output is kept in build/pip-install.log.
install_module() {
  local spec="."
  [ $# -gt 0 ] && spec=".[$(IFS=,; echo "$*")]"
  step "building and installing quillometer${*:+ with the extras $*}"
  mkdir -p build
  local status
  set +e
  python -m pip install -v --no-build-isolation "$spec" 2>&1 | tee build/pip-install.log |
    grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] ' | sed -u 's/^ */  /'
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    tail -n 40 build/pip-install.log >&2
    echo "pip install failed; the whole log is build/pip-install.log" >&2
    exit "$status"
  fi
  grep -E '^Successfully installed' build/pip-install.log || echo "quillometer is up to date"
}

# Debian's arm64 CPython 3.11, unpacked into a sysroot (build/sysroot-arm64): its headers build
# the aarch64 wheel, and its interpreter runs that wheel's tests under qemu-aarch64 -L. Needs root
# on a fresh machine (dpkg --add-architecture arm64, apt-get update).
ARM64_SYSROOT="$PWD/build/sysroot-arm64"
ARM64_PYTHON="$ARM64_SYSROOT/usr/bin/python3.11-qemu"
ARM64_PACKAGES=(python3.11-minimal python3.11 libpython3.11-minimal libpython3.11-stdlib
  libpython3.11 libpython3.11-dev libc6 libgcc-s1 libexpat1 libffi8 libbz2-1.0 liblzma5 zlib1g
  libssl3 libcrypt1 libuuid1 libncursesw6 libtinfo6 libreadline8 libsqlite3-0 libdb5.3 libgdbm6
  libnsl2 libtirpc3 libgssapi-krb5-2 libk5crypto3 libkeyutils1 libkrb5-3 libkrb5support0
  libcom-err2)
ensure_arm64_sysroot() {
  [ -x "$ARM64_SYSROOT/usr/bin/python3.11" ] && [ -f "$ARM64_SYSROOT/.complete" ] && return 0
  step "arm64 sysroot: Debian's python3.11 and libpython3.11-dev in $ARM64_SYSROOT"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    [ "$(id -u)" -eq 0 ] || { echo "run as root: dpkg --add-architecture arm64 && apt-get update" >&2; exit 1; }
    dpkg --add-architecture arm64
    apt-get update -qq
  fi
  local downloads="$PWD/build/arm64-debs"
  rm -rf "$ARM64_SYSROOT" "$downloads"
  mkdir -p "$ARM64_SYSROOT" "$downloads"
  (cd "$downloads" && apt-get download -qq "${ARM64_PACKAGES[@]/%/:arm64}" ||
    { apt-get update -qq && apt-get download -qq "${ARM64_PACKAGES[@]/%/:arm64}"; })
  for deb in "$downloads"/*.deb; do dpkg -x "$deb" "$ARM64_SYSROOT"; done
  ensure_debian_packages qemu-user
  # The interpreter as a host command. Under qemu-user a child process is not emulated by itself,
  # so the interpreter is started with this script as its argv[0]: sys.executable names it, and
  # subprocesses the tests start run under qemu too. Packages for it go into its own
  # dist-packages directory in the sysroot (pip install --target, see check-wheel).
  cat >"$ARM64_PYTHON" <<SCRIPT
#!/bin/sh
exec qemu-aarch64 -L "$ARM64_SYSROOT" -0 "\$0" "$ARM64_SYSROOT/usr/bin/python3.11" "\$@"
SCRIPT
  chmod +x "$ARM64_PYTHON"
  touch "$ARM64_SYSROOT/.complete"
}
