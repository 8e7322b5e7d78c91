"""The package as a user gets it: pip-installed from a clean copy of the sources into a fresh
virtual environment, then imported and used there; and the README's Python examples, run as
written."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"


def clean_copy(destination):
    """The sources without build trees, caches or version control."""
    ignored = shutil.ignore_patterns(".git", "build*", "_skbuild", "*.egg-info", "__pycache__",
                                     "fuzz-out", ".pytest_cache")
    shutil.copytree(ROOT, destination, ignore=ignored)


@pytest.mark.skipif(os.environ.get("VESK_SKIP_INSTALL_CHECK") == "1",
                    reason="VESK_SKIP_INSTALL_CHECK=1")
def test_pip_install_into_a_fresh_venv(tmp_path):
    clean_copy(tmp_path / "src")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                    "--quiet", str(tmp_path / "src")], check=True, timeout=900)
    script = ("import numpy as np, vesk_numerics as vn, vesk_numerics.dask\n"
              "x = np.linspace(-5, 5, 60)\n"
              "r = vn.GaussFit().fit(x, 3 * np.exp(-0.5 * (x - 0.5) ** 2) + 1)\n"
              "print(vn.__file__, r.ok, round(r.mean, 9), round(r.sigma, 9))\n")
    printed = subprocess.run([python, "-c", script], check=True, capture_output=True, text=True,
                             cwd=tmp_path).stdout.split()
    assert printed[0].startswith(str(venv)), printed  # the installed copy, not the sources
    assert printed[1:] == ["True", "0.5", "1.0"]


def readme_python_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def test_readme_has_python_examples():
    assert len(readme_python_blocks()) >= 2


@pytest.mark.parametrize("index", range(len(readme_python_blocks())))
def test_readme_python_example_runs(index, monkeypatch):
    monkeypatch.chdir(ROOT)
    exec(compile(readme_python_blocks()[index], f"README.md python block {index}", "exec"), {})
