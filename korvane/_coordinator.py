"""The `korvane-coordinator` console script: starts the coordinator program that a pip
install puts inside the package (korvane/bin). After `make build` it is build/bin/."""
import os
import sys


def main() -> None:
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", "korvane-coordinator")
    if not os.access(path, os.X_OK):
        sys.exit(f"korvane-coordinator: {path} is missing; this installation has no coordinator program")
    # Replaces this process, so signals and the exit status are the program's own.
    os.execv(path, [path, *sys.argv[1:]])
