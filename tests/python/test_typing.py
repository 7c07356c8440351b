"""The stubs against the modules (stubtest) and against use: mypy over examples/ and the
snippets in tests/typing (one that must pass, one whose marked lines must fail)."""
import pathlib
import re
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
TYPING = REPO / "tests" / "typing"


def run(*args, timeout=600):
    return subprocess.run([sys.executable, "-m", *args], cwd=REPO, capture_output=True, text=True, timeout=timeout)


def test_stubs_agree_with_the_native_modules():
    r = run("mypy.stubtest", "--mypy-config-file", str(TYPING / "stubtest.ini"),
            "--allowlist", str(TYPING / "stubtest_allowlist.txt"), "korvane.carrowel", "korvane.brisol")
    assert r.returncode == 0, r.stdout + r.stderr


def test_examples_and_typed_use_check_and_misuse_is_refused():
    r = run("mypy", "--config-file", str(TYPING / "mypy.ini"), "examples",
            str(TYPING / "typed_usage.py"), str(TYPING / "type_errors.py"))
    errors = re.findall(r"^(\S+?):(\d+): error: .*\[([\w-]+)\]$", r.stdout, re.M)
    assert errors and r.returncode == 1, r.stdout + r.stderr  # the misuse file has errors
    elsewhere = [e for e in errors if not e[0].endswith("type_errors.py")]
    assert not elsewhere, r.stdout
    found = {(int(line), code) for _, line, code in errors}
    lines = (TYPING / "type_errors.py").read_text().splitlines()
    expected = {(i + 1, m.group(1)) for i, text in enumerate(lines) if (m := re.search(r"# expect: ([a-z][a-z-]*)", text))}
    assert expected <= found, r.stdout
    assert {line for line, _ in found} == {line for line, _ in expected}, r.stdout
