#!/usr/bin/env bash
# Sets up velmora from a fresh clone and runs it.
#
#   ./dev.sh run     find CPython 3.13, create .venv, build and install, run the main job
#   ./dev.sh test    the same set-up with the test extra, then the test suite
#   ./dev.sh bench   the same set-up with the bench extra, build the benchmark
#                    harnesses (make harnesses), run the benchmarks
#
# Extra arguments after `run` go to the main job; after `test`, to pytest;
# after `bench`, to benchmarks/run.py (names of benchmarks to run).
# Set VELMORA_PYTHON to choose the interpreter; VELMORA_VENV to place the
# environment elsewhere (default: .venv beside this script). The package is
# rebuilt only when its sources, build files or metadata changed since the
# last build into that environment (a stamp in it records their hash).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
venv="${VELMORA_VENV:-$here/.venv}"

die() {
    echo "velmora: $*" >&2
    exit 1
}

# shellcheck source=scripts/_env.sh
. "$here/scripts/_env.sh"

setup() {
    local extra="$1"
    local python
    python="$(find_python)" || missing_python
    "$python" -c 'import venv, ensurepip' 2>/dev/null ||
        die "$python lacks the venv module: apt-get install python3.13-venv"
    local include
    include="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    [ -f "$include/Python.h" ] ||
        die "$python has no C headers ($include/Python.h): apt-get install python3.13-dev"
    command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 ||
        die "no C++ compiler found: apt-get install g++"

    if ! is_python313 "$venv/bin/python"; then
        echo "velmora: creating $venv with $python" >&2
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi

    # Rebuild only when what the build reads has changed since the last
    # install into this environment, or the extra asked for was not installed.
    local stamp="$venv/.velmora-build-stamp"
    local inputs built="" extras=""
    inputs="$(build_inputs_hash)"
    if [ -f "$stamp" ]; then
        built="$(sed -n 1p "$stamp")"
        extras="$(sed -n 2p "$stamp")"
    fi
    if [ "$built" = "$inputs" ] && { [ -z "$extra" ] || [[ " $extras " == *" $extra "* ]]; } &&
        "$venv/bin/python" -c 'import importlib.metadata as m; m.distribution("velmora")' 2>/dev/null; then
        echo "velmora: sources unchanged since the last build, not rebuilt" >&2
        return 0
    fi
    [ "$built" = "$inputs" ] || extras=""

    "$venv/bin/python" -m pip install --quiet --upgrade pip >/dev/null
    echo "velmora: building and installing (meson-python, isolated build)" >&2
    local target="$here"
    [ -n "$extra" ] && target="$here[$extra]"
    rm -f "$stamp"
    "$venv/bin/python" -m pip install --quiet "$target"
    printf '%s\n%s\n' "$inputs" "$extras${extra:+ $extra}" >"$stamp"
}

# A fingerprint of what the build reads: the sources, the build files and
# the files pyproject.toml takes metadata from, by content. In a git checkout,
# the files git tracks there or would track (untracked, not ignored); in a
# tree without git (an unpacked sdist), every file there.
build_inputs_hash() {
    local paths=() p
    for p in src meson.build meson.options pyproject.toml README.md LICENSE; do
        [ -e "$here/$p" ] && paths+=("$p")
    done
    (
        cd "$here"
        if git rev-parse --git-dir >/dev/null 2>&1; then
            git ls-files -z --cached --others --exclude-standard -- "${paths[@]}"
        else
            find "${paths[@]}" -type f -print0
        fi | sort -z | while IFS= read -r -d '' f; do
            # A tracked file deleted from the working tree is not read.
            [ -f "$f" ] && printf '%s\0' "$f"
        done | xargs -0 -r sha256sum
    ) | sha256sum | cut -d' ' -f1
}

cmd="${1:-run}"
[ $# -gt 0 ] && shift
case "$cmd" in
    run)
        setup ""
        cd "$here"
        exec "$venv/bin/python" -m velmora "$@"
        ;;
    test)
        setup test
        # The source tree keeps the package under src/, so the installed
        # build is what the tests import.
        cd "$here"
        exec "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
        ;;
    bench)
        setup bench
        cd "$here"
        command -v make >/dev/null 2>&1 || die "make was not found: apt-get install make"
        make -s harnesses PYTHON="$venv/bin/python"
        # The machine may pin OpenBLAS to an older core type for safety; the
        # peers are measured with the kernel a current NumPy picks itself.
        exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$venv/bin/python" benchmarks/run.py "$@"
        ;;
    *)
        die "unknown command '$cmd' (use: run, test, bench)"
        ;;
esac
