# Shared by scripts/sanitize.sh and scripts/fuzz.sh (sourced, with $here set
# to the repository root): the interpreter and the set-up of their
# environments.

# CPython 3.13: $VELMORA_PYTHON, the one of .venv, python3.13 on PATH, or the
# newest pyenv 3.13.
find_python() {
    local c
    for c in "${VELMORA_PYTHON:-}" "$here/.venv/bin/python" "$(command -v python3.13 2>/dev/null || true)" \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r); do
        if [ -n "$c" ] && [ -x "$c" ] &&
            "$c" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            echo "$c"
            return 0
        fi
    done
    return 1
}

# Creates the environment $1 with find_python when it is missing, and installs
# into it the build tools, the test extra as pyproject.toml lists it (so that
# a run there executes the same tests as the normal one), and the packages
# given after it. The caller defines die.
prepare_venv() {
    local venv="$1" python
    shift
    if [ ! -x "$venv/bin/python" ]; then
        python="$(find_python)" || die "CPython 3.13 not found; set VELMORA_PYTHON"
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
