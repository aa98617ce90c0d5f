# shellcheck shell=bash
# Shared by the project's scripts: installs what a fresh machine lacks. Python packages go into
# the project's own virtual environment (.venv), never into the system's interpreter.

# One heading per step, with the seconds since the calling script started.
step() { printf '\n==== %s (at %d s)\n' "$*" "$SECONDS"; }

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
  # shellcheck disable=SC2086 # one requirement per word
  step "installing" $missing
  # shellcheck disable=SC2086
  python -m pip install --quiet $missing
}

# The packages of one of the project's extras (pyproject.toml), for what runs beside the module
# already installed.
ensure_extra() {
  # shellcheck disable=SC2046 # one requirement per word
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

# Builds and installs the module, with the given extras, into the active environment. pip's
# whole output is kept in build/pip-install.log; its tail is shown when the install fails.
install_module() {
  local spec="."
  [ $# -gt 0 ] && spec=".[$(IFS=,; echo "$*")]"
  step "building and installing quillometer${*:+ with the extras $*}"
  mkdir -p build
  rm -f build/pip-install.log
  if ! python -m pip install --quiet --no-build-isolation --log build/pip-install.log "$spec"; then
    tail -n 40 build/pip-install.log >&2
    echo "pip install failed; the whole log is build/pip-install.log" >&2
    exit 1
  fi
  python -c 'import quillometer, importlib.metadata as m
print("  quillometer", m.version("quillometer"), "in", quillometer.__file__)'
}

# The machine's interpreter of one minor version (3.12), from pyenv: the scripts that test every
# version stop here when the machine lacks one, rather than skip it.
pyenv_python() {
  local version=$1 found
  found=$(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
  if [ -z "$found" ] || [ ! -x "$(pyenv prefix "$found")/bin/python$version" ]; then
    echo "this machine has no pyenv CPython $version (pyenv install $version): every version is tested" >&2
    exit 1
  fi
  echo "$(pyenv prefix "$found")/bin/python$version"
}
