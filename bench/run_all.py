"""Runs every benchmark in this folder (files named *_bench.py), one after another."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
failed = []
for script in sorted(here.glob("*_bench.py")):
    print(f"== {script.name}", flush=True)
    if subprocess.run([sys.executable, str(script)]).returncode != 0:
        failed.append(script.name)
if failed:
    sys.exit("failed: " + ", ".join(failed))
