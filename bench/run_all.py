"""Run every benchmark in this folder, one after the other (`make bench`).

Each bench_*.py can also be run on its own. The instruction counts of the
bridge bench and what calling Python from C costs (both by callgrind, about two
minutes together) follow when valgrind is installed."""

import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main():
    failed = []
    runs = [[script.name] for script in sorted(HERE.glob("bench_*.py"))]
    if shutil.which("valgrind"):
        runs += [["bridge_instructions.py"], ["inherent_costs.py", "--budget"]]
    else:
        print("\n(valgrind not found: no instruction counts)", flush=True)
    for run in runs:
        print(f"\n### {' '.join(run)}", flush=True)
        if subprocess.run([sys.executable, str(HERE / run[0]), *run[1:]], cwd=HERE.parent).returncode:
            failed.append(run[0])
    if failed:
        sys.exit(f"failed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
