#!/usr/bin/env bash
# Coverage-guided fuzzing of the compiled modules and the OPAL reader.
#
#   scripts/fuzz.sh [TARGET ...]           each target for FUZZ_SECONDS (default 60)
#   scripts/fuzz.sh TARGET FILE [FILE ...] replay inputs (a crash file, say)
#   scripts/fuzz.sh --clang                prints the clang++ it would use (status 1: none)
#
# FUZZ_ARGS adds libFuzzer options to each run (FUZZ_ARGS="-max_len=100000
# -timeout=2" looks for inputs that take the reader too long, say).
#
# TARGET is a fuzz/fuzz_TARGET.py: table_law, root_finder, opal_reader,
# run_parameters (default: all). Every compiled module is built by clang with
# -fsanitize=fuzzer-no-link,address (coverage counters and AddressSanitizer)
# into an environment outside the source tree, $VELMORA_FUZZ_DIR (default:
# ${TMPDIR:-/tmp}/velmora-fuzz-<checksum of the tree's path>), and driven by
# libFuzzer through atheris, whose runtime (libFuzzer with AddressSanitizer)
# is preloaded; atheris also instruments the reader's Python code. Each run
# starts from fuzz/corpus/TARGET/ (seeds kept in the repository, with
# fuzz/TARGET.dict as libFuzzer's dictionary where there is one) plus what
# earlier runs found (kept in the work directory), and prints its executions,
# coverage, features and new units. A crash or a failed oracle check leaves
# its input in $work/artifacts/TARGET/ and fails the run.
#
# Needs clang 15 or later with its fuzzer runtime (Debian 12: the versioned
# packages such as clang-19 libclang-rt-19-dev; its plain clang is 14); CLANG
# names the C++ compiler to use. `make fuzz` installs the newest versioned
# packages the release offers when none is found and it runs as root.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${VELMORA_FUZZ_DIR:-${TMPDIR:-/tmp}/velmora-fuzz-$(printf '%s' "$here" | cksum | cut -d' ' -f1)}"
venv="$work/venv"
seconds="${FUZZ_SECONDS:-60}"
all_targets=(table_law root_finder opal_reader run_parameters)

die() {
    echo "fuzz: $*" >&2
    exit 1
}

# shellcheck source=scripts/_env.sh
. "$here/scripts/_env.sh"

# A clang++ whose -fsanitize=fuzzer-no-link links and that compiles the
# package's C++20 (template arguments that name subobjects need clang 15 or
# later): $CLANG, else the newest versioned one, else clang++.
find_clang() {
    local c
    for c in "${CLANG:-}" $(compgen -c clang++- 2>/dev/null | sort -t- -k2 -n -r | uniq) clang++; do
        [ -n "$c" ] && command -v "$c" >/dev/null 2>&1 || continue
        if printf '%s\n' 'struct S { int a[1]; };' 'constexpr S s{{0}};' \
            'template <const auto& R> int f() { return R[0]; }' 'int main() { return f<s.a>(); }' |
            "$c" -std=c++20 -x c++ -fsanitize=fuzzer-no-link,address - -o /dev/null >/dev/null 2>&1; then
            echo "$c"
            return 0
        fi
    done
    return 1
}
cxx="$(find_clang)" ||
    die "no clang 15+ with the fuzzer runtime; install one (Debian: apt-get install clang-19 libclang-rt-19-dev) or set CLANG"
if [ "${1:-}" = --clang ]; then
    echo "$cxx"
    exit 0
fi
cc="${cxx/clang++/clang}"

targets=()
replay=()
for a in "$@"; do
    if [ -f "$here/fuzz/fuzz_$a.py" ]; then
        targets+=("$a")
    elif [ ${#targets[@]} -eq 1 ] && [ -f "$a" ]; then
        replay+=("$(cd "$(dirname "$a")" && pwd)/$(basename "$a")")
    else
        die "unknown target or input: $a (targets: ${all_targets[*]})"
    fi
done
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

start=$SECONDS
prepare_venv "$venv" atheris

# The build directory keeps the compiler it was set up with: start it anew
# when another one is chosen.
if [ -d "$work/build" ] && [ "$(cat "$work/build/compiler.txt" 2>/dev/null)" != "$cxx" ]; then
    rm -rf "$work/build"
fi
mkdir -p "$work/build"
echo "$cxx" >"$work/build/compiler.txt"
echo "fuzz: building with $cxx -fsanitize=fuzzer-no-link,address in $work/build" >&2
CC="$cc" CXX="$cxx" "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    --no-build-isolation --no-deps --force-reinstall \
    -Cbuild-dir="$work/build" \
    -Csetup-args=-Dbuildtype=debug \
    -Csetup-args=-Doptimization=1 \
    -Csetup-args=-Db_sanitize=address \
    -Csetup-args=-Db_lundef=false \
    "-Csetup-args=-Dcpp_args=-fsanitize=fuzzer-no-link -fno-omit-frame-pointer" \
    "-Csetup-args=-Dcpp_link_args=-fsanitize=fuzzer-no-link" \
    "$here"
echo "fuzz: build $((SECONDS - start))s" >&2

runtime="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
[ -f "$runtime" ] || die "atheris has no $runtime"

status=0
summary=()
for t in "${targets[@]}"; do
    corpus="$work/corpus/$t"
    artifacts="$work/artifacts/$t"
    log="$work/$t.log"
    mkdir -p "$corpus" "$artifacts"
    if [ ${#replay[@]} -gt 0 ]; then
        inputs=("${replay[@]}")
    else
        inputs=(-max_total_time="$seconds" "$corpus" "$here/fuzz/corpus/$t")
        [ -f "$here/fuzz/$t.dict" ] && inputs=(-dict="$here/fuzz/$t.dict" "${inputs[@]}")
        echo "fuzz: $t for ${seconds}s (log $log)" >&2
    fi
    rc=0
    (
        cd "$work"
        export LD_PRELOAD="$runtime"
        export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:print_stacktrace=1"
        export PYTHONMALLOC=malloc
        # shellcheck disable=SC2086 # FUZZ_ARGS is a list of options
        exec "$venv/bin/python" "$here/fuzz/fuzz_$t.py" -print_final_stats=1 -timeout=20 -rss_limit_mb=4096 \
            -artifact_prefix="$artifacts/" ${FUZZ_ARGS:-} "${inputs[@]}"
    ) >"$log" 2>&1 || rc=$?
    if [ ${#replay[@]} -gt 0 ]; then
        cat "$log"
    fi
    stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
    done_line="$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)"
    cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")"
    ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")"
    line="$t: $(stat number_of_executed_units) executions, cov ${cov:-?}, ft ${ft:-?}, $(stat new_units_added) new units"
    if [ "$rc" -ne 0 ]; then
        status=1
        line="$line, FAILED (status $rc): $(ls "$artifacts" | head -n 3 | tr '\n' ' ')"
        tail -n 40 "$log" >&2
    else
        line="$line, no crash"
    fi
    summary+=("$line")
done
printf 'fuzz: %s\n' "${summary[@]}"
[ "$status" -eq 0 ] || die "a target failed; replay its input with: scripts/fuzz.sh TARGET $work/artifacts/TARGET/FILE"
