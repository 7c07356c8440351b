"""tools/blas/check_blas.py: the BLAS that torch's products run on, found in the process."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "blas"))
import check_blas  # noqa: E402

LIBDIR = pathlib.Path("/usr/lib") / f"{os.uname().machine}-linux-gnu"
REFERENCE = LIBDIR / "blas" / "libblas.so.3"
OPENBLAS = LIBDIR / "openblas-pthread" / "libblas.so.3"


def run_check(preload):
    env = dict(os.environ, LD_PRELOAD=str(preload))
    return subprocess.run([sys.executable, str(ROOT / "tools/blas/check_blas.py")], env=env,
                          capture_output=True, text=True, timeout=120)


def test_this_process_runs_an_optimised_blas():
    found = check_blas.torch_blas()
    assert found["family"] != "reference", found  # make deps installs libopenblas0-pthread


@pytest.mark.skipif(not REFERENCE.exists(), reason="the reference BLAS is not installed")
def test_the_reference_blas_is_caught_when_torch_binds_to_it():
    # A preloaded library comes first in the lookup, so torch's sgemm_ really is this one.
    out = run_check(REFERENCE)
    assert out.returncode == 1, out.stdout + out.stderr
    assert "reference BLAS" in out.stderr and str(REFERENCE.resolve()) in out.stderr
    assert "libopenblas0-pthread" in out.stderr


@pytest.mark.skipif(not OPENBLAS.exists(), reason="OpenBLAS (pthread) is not installed")
def test_openblas_is_recognised_by_its_own_entry_point():
    out = run_check(OPENBLAS)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(f"BLAS: OpenBLAS, {OPENBLAS}") and "OpenBLAS 0." in out.stdout


def test_maps_parsing_and_classification_by_path():
    maps = ("7f00-7f80 r-xp 00000000 08:01 42 /usr/lib/x/libblas.so.3.11.0\n"
            "7f80-7fa0 rw-p 00000000 00:00 0 \n"
            "7fa0-7fc0 r--p 00000000 08:01 43 /opt/my lib/libblis.so.4\n"
            "7fc0-7fd0 rw-p 00000000 00:00 0 [heap]\n")
    files = check_blas.mapped_files(maps)
    assert files == [(0x7f00, 0x7f80, "/usr/lib/x/libblas.so.3.11.0"), (0x7fa0, 0x7fc0, "/opt/my lib/libblis.so.4")]
    assert check_blas.file_at(0x7f7f, files) == "/usr/lib/x/libblas.so.3.11.0"
    assert check_blas.file_at(0x7f80, files) is None
    assert check_blas.classify("/usr/lib/x/blas/libblas.so.3.11.0", None)[0] == "reference"
    assert check_blas.classify("/usr/lib/x/atlas/libblas.so.3", None)[0] == "ATLAS"
    assert check_blas.classify("/opt/my lib/libblis.so.4", None)[0] == "BLIS"
