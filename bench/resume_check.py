"""Kill a trainer of a running pipeline and resume it: nothing lost, nothing doubled.

A 3-stage pipeline of trainer processes (bench/resume_model.py, CPU, fixed seeds) runs
through the coordinator stand-in with checkpoints every 5 steps, once uninterrupted and
once with one trainer killed with SIGKILL at a random step and restarted with --resume.
Every tensor and counter of every final checkpoint must equal the uninterrupted run's,
bit for bit. Prints the outage (kill to training again) and the steps redone.

    PYTHONPATH=. python3 bench/resume_check.py [--quick] [--seed N]

--quick kills only the middle stage, with 1 and with 4 micro-batches per step; the full
check also kills the first and the last stage. The last line is `resume: identical` or
`resume: DIFFERENT <what>`."""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COORDINATOR = os.path.join(ROOT, "build", "bin", "korvane-coordinator")
IDS = ["s0", "s1", "s2"]


def start_coordinator():
    proc = subprocess.Popen([COORDINATOR, "--port", "0", "--stages", "3", "--layers", "6", "--member-timeout", "5",
                             "--join-wait", "60"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = proc.stdout.readline()
    m = re.search(r"listening on ([\d.]+):(\d+)", line)
    if not m:
        proc.kill()
        raise RuntimeError("coordinator did not start: " + line)
    # Drain its log so that it never blocks on a full pipe.
    import threading
    threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
    return proc, f"http://{m.group(1)}:{m.group(2)}"


def trainer(url, task, tid, ckpt, rounds, micro_batches, log, resume=False):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "bench")]), OMP_NUM_THREADS="1")
    cmd = [sys.executable, "-m", "korvane.carrowel", "--task-id", task, "--trainer-id", tid, "--coordinator", url,
           "--rounds", str(rounds), "--model", "resume_model:stage", "--autograd-backward",
           "--micro-batches", str(micro_batches), "--checkpoint-dir", os.path.join(ckpt, tid),
           "--checkpoint-every", "5", "--rejoin-timeout", "60"]
    if resume:
        cmd.append("--resume")
    return subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, env=env, cwd=ROOT)


def wait_all(procs, logs, limit):
    deadline = time.monotonic() + limit
    for tid, p in procs.items():
        try:
            rc = p.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            for q in procs.values():
                q.kill()
            rc = "none (killed after the time limit)"
        if rc != 0:
            raise RuntimeError(f"trainer {tid} exited with status {rc}:\n" + tails(logs))


def steps_in(path):
    try:
        return sorted(int(n[11:19]) for n in os.listdir(path) if re.fullmatch(r"checkpoint-\d{8}\.pt", n))
    except FileNotFoundError:
        return []


def tails(logs):
    out = []
    for tid, log in logs.items():
        log.seek(0)
        out.append(f"--- {tid}\n" + log.read()[-1500:])
    return "\n".join(out)


def positions(logs, procs):
    """Trainer id -> pipeline position, as each one printed it (positions follow join order)."""
    found = {}
    deadline = time.monotonic() + 120
    while len(found) < len(logs):
        for tid, log in logs.items():
            log.seek(0)
            m = re.search(r"Position: (\d+)", log.read())
            if m:
                found[tid] = int(m.group(1))
            elif procs[tid].poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"trainer {tid} never joined:\n" + tails(logs))
        time.sleep(0.02)
    return found


def run(url, task, ckpt, rounds, micro_batches, logdir, victim_position=None, kill_step=None):
    """Runs the pipeline; returns (position -> checkpoint folder, outage seconds, steps redone)."""
    logs = {tid: open(os.path.join(logdir, f"{task}-{tid}.log"), "w+") for tid in IDS}
    procs = {tid: trainer(url, task, tid, ckpt, rounds, micro_batches, logs[tid]) for tid in IDS}
    where = positions(logs, procs)
    outage = None
    if victim_position is not None:
        victim = next(tid for tid, pos in where.items() if pos == victim_position)
        # Kill at kill_step: wait for the checkpoint before it, then for the steps after it,
        # timed by how long the steps up to that checkpoint took.
        target = (kill_step // 5) * 5
        deadline = time.monotonic() + 120
        started = time.monotonic()
        while not [s for s in steps_in(os.path.join(ckpt, victim)) if s >= target]:
            if time.monotonic() > deadline or procs[victim].poll() is not None:
                raise RuntimeError("the victim never reached its kill step:\n" + tails(logs))
            time.sleep(0.002)
        per_step = (time.monotonic() - started) / max(target, 1)
        time.sleep(random.uniform(0.0, kill_step - target + 1) * min(per_step, 0.5))
        if procs[victim].poll() is not None:
            raise RuntimeError("the victim finished before it could be killed; use more --rounds")
        procs[victim].send_signal(signal.SIGKILL)
        killed_at = time.monotonic()
        procs[victim].wait()
        logs[victim].close()
        logs[victim] = open(os.path.join(logdir, f"{task}-{victim}-resumed.log"), "w+")
        procs[victim] = trainer(url, task, victim, ckpt, rounds, micro_batches, logs[victim], resume=True)
        # Training again: the resumed trainer has reloaded and the run has rolled back.
        while True:
            logs[victim].seek(0)
            if "Resumed from" in logs[victim].read():
                outage = time.monotonic() - killed_at
                break
            if procs[victim].poll() is not None or time.monotonic() - killed_at > 120:
                break
            time.sleep(0.01)
    wait_all(procs, logs, 300)
    redone = 0
    for tid in IDS:
        logs[tid].seek(0)
        for a, b in re.findall(r"Rolled back from step (\d+) to the checkpoint of step (\d+)", logs[tid].read()):
            redone = max(redone, int(a) - int(b))
        logs[tid].close()
    return {pos: os.path.join(ckpt, tid) for tid, pos in where.items()}, outage, redone


def differences(a, b, where):
    if isinstance(a, torch.Tensor) or isinstance(b, torch.Tensor):
        if not (isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor)) or a.dtype != b.dtype \
                or a.shape != b.shape or not torch.equal(a, b):
            return [where]
        return []
    if isinstance(a, dict) and isinstance(b, dict):
        if set(a) != set(b):
            return [where + " keys"]
        return [d for k in a for d in differences(a[k], b[k], f"{where}.{k}")]
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        if len(a) != len(b):
            return [where + " length"]
        return [d for i, (x, y) in enumerate(zip(a, b)) for d in differences(x, y, f"{where}[{i}]")]
    return [] if a == b else [where]


def compare(ref_dirs, run_dirs, rounds):
    found = []
    for pos in sorted(ref_dirs):
        name = f"checkpoint-{rounds:08d}.pt"
        a = torch.load(os.path.join(ref_dirs[pos], name), weights_only=True)
        b = torch.load(os.path.join(run_dirs[pos], name), weights_only=True)
        found += differences(a, b, f"stage {pos}")
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--rounds", type=int, default=20)
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    random.seed(seed)
    print(f"seed {seed}")
    names = {0: "first", 1: "middle", 2: "last"}
    cases = [(1, 1), (4, 1)] if args.quick else [(1, 1), (4, 1), (1, 0), (4, 2)]
    coordinator, url = start_coordinator()
    problems = []
    try:
        with tempfile.TemporaryDirectory() as tmp:
            refs = {}
            for n, (m, victim) in enumerate(cases):
                if m not in refs:
                    refs[m] = run(url, f"ref-m{m}", os.path.join(tmp, f"ref-m{m}"), args.rounds, m, tmp)[0]
                kill_step = random.randint(6, args.rounds - 4)
                dirs, outage, redone = run(url, f"run{n}", os.path.join(tmp, f"run{n}"), args.rounds, m, tmp,
                                           victim, kill_step)
                diff = compare(refs[m], dirs, args.rounds)
                outage_text = "n/a" if outage is None else f"{outage:.2f} s"
                print(f"micro-batches {m}, killed the {names[victim]} stage near step {kill_step}: "
                      f"outage {outage_text}, steps redone {redone}, "
                      f"{'identical' if not diff else 'DIFFERENT ' + ', '.join(diff[:5])}", flush=True)
                problems += [f"m={m} {names[victim]} stage: {d}" for d in diff]
    finally:
        coordinator.send_signal(signal.SIGTERM)
        coordinator.wait(10)
    print("resume: identical" if not problems else "resume: DIFFERENT " + "; ".join(problems[:5]))
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
