"""The demo: a coordinator stand-in on 127.0.0.1 and a pipeline of three trainers, each
started as its own `python3 -m korvane.carrowel` process (first, middle and last stage),
training the digits classifier of examples/digits_model.py (`make data` fetches the
digits) with every stage learning through autograd and every boundary compressed. Every
trainer's output is shown with its name in front. Ends with the held-out accuracy and a
plot of loss and accuracy against rounds. Exits 0 when all three printed their training
summary.

    python3 tools/demo/run_demo.py [--rounds N] [--eval-every N] [--plot PNG]
"""
import argparse
import os
import pathlib
import re
import selectors
import socket
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
COORDINATOR = ROOT / "build" / "bin" / "korvane-coordinator"
TRAINERS = ("trainer_1", "trainer_2", "trainer_3")
MODEL = "examples.digits_model:stage"
EVAL = re.compile(r"  Evaluation at round (\d+): train_loss=(\S+) eval_loss=(\S+) accuracy=(\S+)$")
FINAL = re.compile(r"  Held-out accuracy: (\S+) \((\d+) samples\)$")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, deadline):
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("coordinator stand-in did not start")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=900)
    ap.add_argument("--eval-every", type=int, default=100)
    ap.add_argument("--plot", default=str(ROOT / "build" / "demo" / "training.png"))
    ap.add_argument("--timeout", type=float, default=600.0, help="give up after this many seconds")
    args = ap.parse_args()

    port = free_port()
    url = f"http://127.0.0.1:{port}"
    coord = subprocess.Popen([str(COORDINATOR), "--host", "127.0.0.1", "--port", str(port),
                              "--stages", str(len(TRAINERS)), "--layers", "9"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.monotonic() + args.timeout
    procs = {}
    try:
        wait_listening(port, deadline)
        # One torch thread each: three processes share this machine's cores.
        env = dict(os.environ, PYTHONPATH=str(ROOT), OMP_NUM_THREADS="1", PYTHONUNBUFFERED="1")
        for name in TRAINERS:
            procs[name] = subprocess.Popen(
                [sys.executable, "-m", "korvane.carrowel", "--task-id", "demo-task-0001", "--trainer-id", name,
                 "--coordinator", url, "--rounds", str(args.rounds), "--model", MODEL, "--autograd-backward",
                 "--eval-every", str(args.eval_every)],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env, cwd=ROOT)
            time.sleep(0.2)  # join order decides the stage: start them in pipeline order

        sel = selectors.DefaultSelector()
        sel.register(coord.stdout, selectors.EVENT_READ, "coordinator")
        for name, p in procs.items():
            sel.register(p.stdout, selectors.EVENT_READ, name)
        finished, trainers_running = set(), len(procs)
        curve, final = [], None
        while trainers_running:
            if time.monotonic() > deadline:
                raise SystemExit("demo timed out")
            for key, _ in sel.select(timeout=1.0):
                line = key.fileobj.readline()
                if not line:  # that process closed its output: it has ended
                    sel.unregister(key.fileobj)
                    trainers_running -= key.data != "coordinator"
                    continue
                print(f"[{key.data:>11}] {line.rstrip()}", flush=True)
                if line.startswith("  Avg loss: "):
                    finished.add(key.data)
                if (m := EVAL.match(line.rstrip("\n"))):
                    curve.append(tuple(float(v) for v in m.groups()))
                if (m := FINAL.match(line.rstrip("\n"))):
                    final = (float(m.group(1)), int(m.group(2)))
        codes = {name: p.wait(timeout=max(1.0, deadline - time.monotonic())) for name, p in procs.items()}
    finally:
        for p in procs.values():
            if p.poll() is None:
                p.kill()
        coord.terminate()
        try:
            coord.wait(timeout=10)
        except subprocess.TimeoutExpired:
            coord.kill()

    ok = len(finished) == len(procs) and all(c == 0 for c in codes.values()) and final is not None
    if ok:
        plot(curve, args.plot)
        print(f"held-out accuracy: {final[0]:.4f} ({final[1]} samples, {args.rounds} rounds, 3 stages, "
              f"compressed relays); plot: {args.plot}")
    print("demo " + ("finished: all three trainers completed training" if ok else f"FAILED: exit codes {codes}"))
    return 0 if ok else 1


def plot(curve, path):
    """Training loss (mean over each stretch between evaluations), held-out loss and
    held-out accuracy against rounds."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rounds, train_loss, eval_loss, accuracy = zip(*curve)
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    left.plot(rounds, train_loss, marker="o", label="training loss")
    left.plot(rounds, eval_loss, marker="o", label="held-out loss")
    left.set_yscale("log")
    left.set_xlabel("round")
    left.set_ylabel("cross entropy")
    left.legend()
    right.plot(rounds, accuracy, marker="o", color="tab:green")
    right.set_xlabel("round")
    right.set_ylabel("held-out accuracy")
    right.set_ylim(0, 1)
    right.grid(True, alpha=0.3)
    fig.suptitle("digits, 3-stage pipeline, compressed relays")
    fig.tight_layout()
    pathlib.Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)


if __name__ == "__main__":
    sys.exit(main())
