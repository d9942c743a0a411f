"""Run every benchmark in this folder, one after the other (`make bench`).

Each bench_*.py can also be run on its own."""

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main():
    failed = []
    for script in sorted(HERE.glob("bench_*.py")):
        print(f"\n### {script.name}", flush=True)
        if subprocess.run([sys.executable, str(script)], cwd=HERE.parent).returncode:
            failed.append(script.name)
    if failed:
        sys.exit(f"failed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
