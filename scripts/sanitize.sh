#!/usr/bin/env bash
# Builds every compiled module with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite against that build, with the sanitizer runtimes
# preloaded into the interpreter. Any sanitizer report fails the run.
#
#   scripts/sanitize.sh [pytest arguments]
#
# The environment and the build live outside the source tree, in
# $VELMORA_SANITIZE_DIR (default: ${TMPDIR:-/tmp}/velmora-sanitize-<checksum of
# the tree's path>, one per checkout); a second run rebuilds only what changed. VELMORA_PYTHON chooses the interpreter (default:
# the one of .venv, else python3.13 on PATH, else the newest pyenv 3.13).
#
# Reports go to files in the work directory rather than to stderr, because the
# test runner captures stderr and a report ends the process at once; they are
# printed at the end. Leak detection is off: the interpreter keeps much of what
# it allocates until exit, and the suite's leak tests measure growth instead.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${VELMORA_SANITIZE_DIR:-${TMPDIR:-/tmp}/velmora-sanitize-$(printf '%s' "$here" | cksum | cut -d' ' -f1)}"
venv="$work/venv"
reports="$work/reports"

die() {
    echo "sanitize: $*" >&2
    exit 1
}

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

cxx="${CXX:-c++}"
runtime() {
    local path
    path="$("$cxx" -print-file-name="$1")"
    [ -f "$path" ] || die "$cxx has no $1 (the sanitizers need GCC's runtime: apt-get install g++)"
    echo "$path"
}
libasan="$(runtime libasan.so)"
libubsan="$(runtime libubsan.so)"

start=$SECONDS
if [ ! -x "$venv/bin/python" ]; then
    python="$(find_python)" || die "CPython 3.13 not found; set VELMORA_PYTHON"
    mkdir -p "$work"
    "$python" -m venv "$venv"
fi
# The build tools, and what the test extra installs (SciPy for the evolve
# tests, ...), so that this run executes the same tests as the normal one.
mapfile -t test_extra < <("$venv/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))' "$here/pyproject.toml")
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    meson-python meson ninja numpy "${test_extra[@]}"

# -O1 keeps the reports' stack traces close to the source; the undefined-behaviour
# checks abort instead of printing and going on.
echo "sanitize: building with -fsanitize=address,undefined in $work/build" >&2
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
    --force-reinstall \
    -Cbuild-dir="$work/build" \
    -Csetup-args=-Dbuildtype=debug \
    -Csetup-args=-Doptimization=1 \
    -Csetup-args=-Db_sanitize=address,undefined \
    -Csetup-args=-Db_lundef=false \
    "-Csetup-args=-Dcpp_args=-fno-sanitize-recover=all -fsanitize=float-cast-overflow -fno-omit-frame-pointer" \
    "$here"
build_seconds=$((SECONDS - start))

rm -rf "$reports"
mkdir -p "$reports"
common="print_stacktrace=1:halt_on_error=1:abort_on_error=1"
status=0
(
    cd "$here"
    export LD_PRELOAD="$libasan $libubsan"
    export ASAN_OPTIONS="detect_leaks=0:$common:log_path=$reports/asan"
    export UBSAN_OPTIONS="$common:log_path=$reports/ubsan"
    export PYTHONMALLOC=malloc
    export PYTHONFAULTHANDLER=1
    export VELMORA_SANITIZED=1  # for the few tests the sanitizers make meaningless
    exec "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
) || status=$?

found=0
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    found=1
    echo "sanitize: report $report" >&2
    cat "$report" >&2
done
echo "sanitize: build ${build_seconds}s, total $((SECONDS - start))s" >&2
if [ "$found" -ne 0 ]; then
    echo "sanitize: sanitizer reports found" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize: test run failed with status $status" >&2
    exit "$status"
fi
echo "sanitize: clean"
