#!/usr/bin/env bash
# Builds the extension and the C++ unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/sanitize, runs the whole Python suite
# against that build with the sanitizer runtimes preloaded into CPython, then
# runs the sanitized C++ unit tests.
#
#   bash tests/run_sanitized.sh [extra pytest arguments]
#
# Needs g++ (its shared libasan and libubsan), CMake, Ninja, GoogleTest and
# the test extras of pyproject.toml; `PYTHON=...` picks the interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/sanitize
python=${PYTHON:-$(command -v python3 || command -v python)}

"$python" -m pip install -q $("$python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print(" ".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))')

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="${CXX:-g++}" \
  -DQUORVEL_SANITIZE=ON -DQUORVEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$python"
cmake --build "$build" -j2

module=$(ls "$build"/quorvel.cpython-*.so)
# The runtimes the module was linked against: the interpreter is not
# instrumented, so they must be loaded before anything else in it.
runtime() {
  ldd "$module" | awk -v lib="$1" '$1 ~ "^" lib "\\.so" { print $3 }'
}
asan=$(runtime libasan)
ubsan=$(runtime libubsan)
if [ -z "$asan" ] || [ -z "$ubsan" ]; then
  echo "run_sanitized.sh: $module does not link the shared libasan and libubsan (g++ is needed)" >&2
  exit 1
fi

# handle_segv/sigbus/sigfpe/sigill=0: execute() catches the faults of
# generated code with its own handlers, and a fault outside a run must still
# kill the process with the signal; ASan would report it and exit 1 instead.
# detect_stack_use_after_return=0: generated code runs on a stack of its own
# and faults leave it with siglongjmp, which fake stack frames cannot follow.
# quarantine_size_mb=16: freed memory waits in the quarantine before reuse,
# so resident memory only settles once it is full; a small one fills early in
# the run, and tests that compare resident memory over many objects see the
# process rather than the quarantine filling up.
# detect_leaks=0 in the interpreter: CPython keeps much of its memory until
# the process ends, and every allocation has interpreter frames on its stack,
# so no suppression could tell its memory from ours. Leaks of the extension
# are measured by tests/test_leaks.py, and the C++ tests run with LSan on.
common=halt_on_error=1:detect_stack_use_after_return=0:check_initialization_order=1:strict_string_checks=1
common=$common:quarantine_size_mb=16:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# capstone's binding dlopens its library with RTLD_DEEPBIND when the os
# module offers it, and the ASan runtime aborts on that flag. Every
# interpreter of the run, children included, starts without it.
site=$build/site
mkdir -p "$site"
cat >"$site/sitecustomize.py" <<'EOF'
import os

if hasattr(os, "RTLD_DEEPBIND"):
    del os.RTLD_DEEPBIND
EOF

# Children started by the tests (sys.executable) inherit all of this.
# PYTHONMALLOC=malloc sends Python objects through ASan's allocator, so an
# overrun of a buffer the interpreter handed to the extension is caught too.
export ASAN_OPTIONS=$common:detect_leaks=0 PYTHONMALLOC=malloc LD_PRELOAD="$asan $ubsan"
export PYTHONPATH="$site:$build:$root/python${PYTHONPATH:+:$PYTHONPATH}"
"$python" - "$build" <<'EOF'
import os, sys
import quorvel
where = os.path.dirname(os.path.abspath(quorvel.__file__))
if where != os.path.abspath(sys.argv[1]):
    sys.exit(f"run_sanitized.sh: imported quorvel from {where}, not the sanitized build")
EOF
"$python" -m pytest -q -p no:cacheprovider tests "$@"
unset LD_PRELOAD PYTHONMALLOC

ASAN_OPTIONS=$common:detect_leaks=1 "$build/quorvel_cpp_tests"
