# Shared by scripts/test, scripts/demo and scripts/sanitize: finding CPython releases,
# making a virtual environment per interpreter, and installing the project into it only
# when its sources changed. Source it; it defines functions only.

# The CPython releases 3.8 and later that pyenv has, newest patch release of each minor
# version, oldest first, one per line (e.g. 3.8.18).
cpython_releases() {
  command -v pyenv >/dev/null || return 0
  pyenv versions --bare --skip-aliases 2>/dev/null |
    grep -E '^3\.[0-9]+\.[0-9]+$' |
    awk -F. '$2 >= 8' |
    sort -t. -k1,1n -k2,2n -k3,3n |
    awk -F. '{ newest[$1 "." $2] = $0; order[$1 "." $2] = NR } END { for (m in newest) print order[m], newest[m] }' |
    sort -n | cut -d' ' -f2
}

# The virtual environment of release $1: .venv/py38 for 3.8.18, .venv/py3 for python3.
venv_of() {
  if [ "$1" = python3 ]; then
    echo .venv/py3
  else
    local minor=${1%.*}
    echo ".venv/py${minor//./}"
  fi
}

# The interpreter binary of release $1 (3.8.18), or of `python3` when pyenv is absent and
# $1 is "python3". Fails loudly when it is not there.
interpreter_of() {
  local release=$1
  if [ "$release" = python3 ]; then
    command -v python3
    return
  fi
  local prefix
  if ! prefix=$(pyenv prefix "$release" 2>/dev/null) || [ ! -x "$prefix/bin/python3" ]; then
    echo "scripts: CPython $release is not installed (pyenv versions lists what is)" >&2
    return 1
  fi
  echo "$prefix/bin/python3"
}

# Fails unless the python at $1 is CPython release $2 exactly (or any release for python3):
# an interpreter that silently stands in for another would test the wrong thing.
check_interpreter() {
  local python=$1 release=$2 got
  got=$("$python" -c 'import platform, sys; print(platform.python_implementation(), "%d.%d.%d" % sys.version_info[:3])')
  if [ "$release" != python3 ] && [ "$got" != "CPython $release" ]; then
    echo "scripts: asked for CPython $release, $python is $got" >&2
    return 1
  fi
  echo "$got"
}

# Makes (or re-makes, when its interpreter is not the one asked for) the virtual
# environment $1 from interpreter $2 of release $3, with the build requirements, so that
# the project builds without an isolated build environment (whose changing path would make
# every build a full one).
ensure_venv() {
  local venv=$1 python=$2 release=$3
  if [ -x "$venv/bin/python" ] && ! check_interpreter "$venv/bin/python" "$release" >/dev/null 2>&1; then
    echo "== $venv was made with another interpreter: re-making it"
    rm -rf "$venv"
  fi
  if [ ! -x "$venv/bin/python" ]; then
    echo "== creating $venv from $python"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  fi
  check_interpreter "$venv/bin/python" "$release" >/dev/null
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" cmake ninja
}

# A fingerprint of everything the installed project is built from (empty outside a git
# checkout: then every install builds).
source_fingerprint() {
  git rev-parse --git-dir >/dev/null 2>&1 || return 0
  {
    git ls-files -s -- src stubs CMakeLists.txt pyproject.toml
    git diff HEAD -- src stubs CMakeLists.txt pyproject.toml
    git ls-files --others --exclude-standard -- src stubs | xargs -r sha1sum
  } | sha1sum | cut -d' ' -f1
}

# Installs the project with extras $2 (e.g. "[test]") into venv $1 unless the same sources
# and extras are installed there already. The CMake tree under build/ is kept between
# installs, so a changed source recompiles only what it touches.
install_project() {
  local venv=$1 extras=$2 stamp="$1/.zol-installed" want
  want="$(source_fingerprint) $extras"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && [ "${want%% *}" != "" ] &&
    "$venv/bin/python" -c 'import importlib.util as u, sys
sys.exit(not all(u.find_spec(m) for m in ("zol_kov", "zol_mew")))' >/dev/null 2>&1; then
    echo "== $venv: zol_kov is up to date with the sources"
    return
  fi
  echo "== $venv: building and installing zol_kov$extras"
  rm -f "$stamp"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation ".$extras"
  echo "$want" >"$stamp"
}
