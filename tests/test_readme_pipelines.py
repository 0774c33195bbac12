"""The README's data-pipeline examples run as pasted."""

import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def _examples():
    text = README.read_text()
    section = text.split("\n## Data pipelines\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


@pytest.mark.parametrize(
    "index, needs, expect",
    [
        (0, ["distributed", "pyarrow"], r"pro\s+\d+"),
        (1, ["pyspark"], r"100000 keys in 8 shards"),
    ],
    ids=["dask", "spark"],
)
def test_example_runs(tmp_path, index, needs, expect):
    for module in needs:
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{module} is not installed")
    if index == 1 and shutil.which("java") is None:
        pytest.skip("java is not installed")
    if index == 1 and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("Spark does not start under the preloaded sanitizer runtime (see test_spark.py)")
    script = tmp_path / "example.py"
    script.write_text(_examples()[index])
    done = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stderr[-3000:]
    assert re.search(expect, done.stdout), done.stdout
