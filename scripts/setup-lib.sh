# Shared by the project's scripts: installs what a fresh machine lacks.

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

# Python packages, by distribution name, installed with pip when absent.
ensure_python_packages() {
  local missing=()
  for package in "$@"; do
    python3 -m pip show --quiet "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "installing ${missing[*]}"
  python3 -m pip install --quiet "${missing[@]}"
}
