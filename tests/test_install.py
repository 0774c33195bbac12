"""Installing anywhere: the built wheel carries everything its extension
modules need beyond the C and C++ runtimes and works in a fresh virtual
environment, and a source build without the libraries' -dev packages stops
at once, naming them."""

import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# What any Linux machine with a C++ runtime has: the C library and its
# parts, the loader, the vDSO, libstdc++ and libgcc_s.
RUNTIME = re.compile(r"(linux-vdso|ld-linux-x86-64|libc|libm|libpthread|libdl|librt|libstdc\+\+|libgcc_s)\.so")


@pytest.fixture(scope="module")
def installed(request, tmp_path_factory):
    """The wheel installed offline into a fresh environment: (python, bin dir, the
    paths of the wheel's extension modules there)."""
    wheel = request.config.getoption("--wheel")
    house = request.config.getoption("--wheelhouse")
    if not wheel:
        pytest.skip("needs --wheel (make test builds the wheel and passes it)")
    env_dir = tmp_path_factory.mktemp("fresh") / "env"
    # Any supported interpreter (--python; make smoke runs each), not only this one.
    target = request.config.getoption("--python") or sys.executable
    subprocess.run([target, "-m", "venv", "--without-pip", env_dir], check=True)
    py = env_dir / "bin" / "python"
    subprocess.run([sys.executable, "-m", "pip", "--python", str(py), "--disable-pip-version-check",
                    "install", "-q", "--no-index", "--find-links", house, wheel], check=True)
    site = Path(subprocess.run([py, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                               check=True, capture_output=True, text=True).stdout.strip())
    with zipfile.ZipFile(wheel) as z:
        modules = [site / name for name in z.namelist() if name.endswith(".so")]
    return py, env_dir / "bin", modules


def test_wheel_is_manylinux_and_its_modules_link_only_the_runtimes(request, installed):
    wheel = request.config.getoption("--wheel")
    py, _, modules = installed
    cp = "cp" + subprocess.run([py, "-c", "import sys; print('%d%d' % sys.version_info[:2])"],
                               check=True, capture_output=True, text=True).stdout.strip()
    # Built for this interpreter's version, installable on glibc 2.28 (or older).
    tags = re.fullmatch(rf"velkstore-[^-]+-{cp}-{cp}-((?:manylinux_2_\d+_x86_64\.?)+)\.whl",
                        Path(wheel).name)
    assert tags, wheel
    assert min(int(t.split("_")[2]) for t in tags[1].split(".")) <= 28, wheel
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel],
                           check=True, capture_output=True, text=True).stdout
    floor = re.search(r'platform tag:\s+"manylinux_2_(\d+)_x86_64"', " ".join(shown.split()))
    assert floor and int(floor[1]) <= 28, shown
    assert any(m.name.startswith("_velkstore.") for m in modules), modules
    for module in modules:
        # ldd follows the whole chain (libstdc++'s own needs included).
        listed = subprocess.run(["ldd", module], check=True, capture_output=True, text=True).stdout
        libs = [line.split()[0] for line in listed.splitlines() if line.strip()]
        assert libs and all(RUNTIME.match(Path(lib).name) for lib in libs), (module.name, listed)
        assert "not found" not in listed, listed


def test_fresh_environment_builds_and_looks_up(installed, tmp_path):
    py, bin_dir, _ = installed
    # No source tree on the path: run from elsewhere with a clean environment.
    env = {"PATH": f"{bin_dir}:/usr/bin:/bin", "HOME": str(tmp_path)}
    records = tmp_path / "in.jsonl"
    records.write_text("".join(json.dumps({"key": f"k{i}", "value": {"n": i}}) + "\n" for i in range(100)))

    def run(*args):
        return subprocess.run(args, cwd=tmp_path, env=env, check=True, capture_output=True, text=True)

    run("velkstore", "build", "s.vlks", str(records))
    assert json.loads(run("velkstore", "get", "s.vlks", "k42").stdout) == {"n": 42}
    out = run(str(py), "-c", "import _velkstore, velkstore, sys\n"
              "r = velkstore.VelkReader('s.vlks')\n"
              "print(r['k7'], len(r), _velkstore._VelkReader('s.vlks').get_raw('k9'))\n"
              "print(_velkstore.__file__.startswith(sys.prefix), velkstore.__file__.startswith(sys.prefix))").stdout
    assert out.splitlines() == ["{'n': 7} 100 b'\\x81\\xa1n\\t'", "True True"]


def test_source_build_without_dev_packages_names_every_one(tmp_path):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake")
    # pkg-config that finds nothing, then no pkg-config at all.  (Nothing of
    # ours runs here, so no sanitizer runtime is preloaded into CMake.)
    base_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    (tmp_path / "pc").mkdir()
    for extra, env, needs in [([], {"PKG_CONFIG_LIBDIR": str(tmp_path / "pc")}, []),
                              (["-DPKG_CONFIG_EXECUTABLE=/nonexistent"], {}, ["pkg-config"])]:
        build = tmp_path / f"build{len(needs)}"
        result = subprocess.run([cmake, "-S", ROOT, "-B", build, "-DVELK_BUILD_MODULE=OFF", *extra],
                                env={**base_env, **env}, capture_output=True, text=True)
        assert result.returncode != 0
        message = " ".join(result.stderr.split())
        for package in [*needs, "libdeflate-dev", "libxxhash-dev", "libsodium-dev"]:
            assert package in message, (package, message)
        assert not (build / "Makefile").exists()


def test_readme_quickstart_and_commands_run_as_pasted(installed, tmp_path):
    py, bin_dir, _ = installed
    readme = (ROOT / "README.md").read_text()

    def blocks(lang, start, end):
        section = readme[readme.index(start):readme.index(end)]
        return re.findall(rf"```{lang}\n(.*?)```", section, re.S)

    env = {"PATH": f"{bin_dir}:/usr/bin:/bin", "HOME": str(tmp_path)}
    # The Arrow example needs the [arrow] extra, which the fresh environment lacks.
    python_blocks = [code for code in blocks("python", "## Quickstart", "## The two commands")
                     if "import pyarrow" not in code]
    shell_block = blocks("sh", "## Command line", "## File-format guarantees")[0]
    assert len(python_blocks) == 2
    for code in python_blocks:
        subprocess.run([py, "-c", code], cwd=tmp_path, env=env, check=True, capture_output=True)
    subprocess.run(["bash", "-euo", "pipefail", "-c", shell_block], cwd=tmp_path, env=env, check=True,
                   capture_output=True)
    # dump and build give the same content; the order of the objects may differ.
    same = ("import velkstore as v; a, b = (dict(v.VelkReader(f'out/{n}.vlks').items_bytes()) "
            "for n in ('users', 'copy')); assert a == b and len(a) == 4, (a, b)")
    subprocess.run([py, "-c", same], cwd=tmp_path, env=env, check=True)
