# Shared by dev.sh, scripts/sanitize.sh and scripts/fuzz.sh (sourced, with
# $here set to the repository root): the interpreter and the set-up of the
# scripts' environments.

is_python313() {
    [ -n "$1" ] && [ -x "$1" ] &&
        "$1" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' 2>/dev/null
}

# CPython 3.13: $VELMORA_PYTHON, the interpreters given as arguments (the
# scripts give the one of .venv, so that they test with the interpreter of the
# normal run), python3.13 on PATH, the newest pyenv 3.13 (3.13.10 before
# 3.13.9), /usr/bin/python3.13, /usr/local/bin/python3.13.
find_python() {
    local candidates=("${VELMORA_PYTHON:-}" "$@" "$(command -v python3.13 2>/dev/null || true)")
    local root="" c
    if command -v pyenv >/dev/null 2>&1; then root="$(pyenv root 2>/dev/null || true)"; fi
    root="${root:-${PYENV_ROOT:-$HOME/.pyenv}}"
    mapfile -t -O "${#candidates[@]}" candidates < <(ls -d "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r)
    candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
    for c in "${candidates[@]}"; do
        if is_python313 "$c"; then
            echo "$c"
            return 0
        fi
    done
    return 1
}

missing_python() {
    cat >&2 <<'EOF'
velmora: CPython 3.13 was not found (looked at $VELMORA_PYTHON, python3.13 on PATH,
$(pyenv root)/versions/3.13*/bin/python3.13, /usr/bin/python3.13, /usr/local/bin/python3.13).
Install it with its headers and the venv module, then run this again:
  Debian 13 / Ubuntu:  apt-get install python3.13-dev python3.13-venv
  with pyenv:          pyenv install 3.13
or point VELMORA_PYTHON at a python3.13 executable.
EOF
    exit 1
}

# Creates the environment $1 with find_python when it is missing, and installs
# into it the build tools, the test extra as pyproject.toml lists it (so that
# a run there executes the same tests as the normal one), and the packages
# given after it. The caller defines die.
prepare_venv() {
    local venv="$1" python
    shift
    if [ ! -x "$venv/bin/python" ]; then
        python="$(find_python "$here/.venv/bin/python")" || missing_python
        mkdir -p "$(dirname "$venv")"
        "$python" -m venv "$venv"
    fi
    local extra
    mapfile -t extra < <("$venv/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))' "$here/pyproject.toml")
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        meson-python meson ninja numpy "${extra[@]}" "$@"
}
