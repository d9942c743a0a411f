"""The command line on the same embedded server: a transcript.

Run with `make demo` (after the pipeline). It starts an embedded SecantusDB
server with authentication (or uses the deployment named by KESTREL_URI), then
runs `kestrel` commands as child processes with KESTREL_URI in their
environment, printing each command line before its output:

  1. creates the managed collection registry.people_cli with a unique rule;
  2. loads examples/people.jsonl (twelve people, three of them newer versions
     of earlier ones) into the temp companion, in batches of 5;
  3. finds across temp and main, merges (with -v, the library's INFO records),
     finds again, and lists the collection's roles;
  4. drops the collection.
"""

import os
import shlex
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DB, C = "registry", "people_cli"
PEOPLE = HERE / "people.jsonl"


def kestrel(*args: str, env: dict) -> None:
    """Run one command, echoing it and its output (stdout and stderr) as a terminal would."""
    shown = [str(PEOPLE.relative_to(HERE.parent)) if a == str(PEOPLE) else a for a in args]
    print("$ " + " ".join(map(_quote, ["kestrel", *shown])), flush=True)
    r = subprocess.run([sys.executable, "-m", "kestrel", *args], env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for line in r.stdout.splitlines():
        print(f"  {line}")
    if r.returncode:
        print(f"  (exit status {r.returncode})")
        raise SystemExit(r.returncode)


def _quote(arg: str) -> str:
    """As one would type it: an index text in double quotes, the rest as shlex quotes it."""
    if shlex.quote(arg) != arg and "'" in arg and not any(c in arg for c in '"$`\\!'):
        return f'"{arg}"'
    return shlex.quote(arg)


def session(uri: str) -> None:
    env = {**os.environ, "KESTREL_URI": uri}
    kestrel("collection", "create", DB, C, "--index", "age_index=[('age', 1)]",
            "--unique", "person=national_ID", "--archive-unique", "person=national_ID", env=env)
    kestrel("-v", "load", DB, C, str(PEOPLE), "--batch", "5", env=env)
    kestrel("find", DB, C, '{"national_ID": {"$in": [10002, 10005]}}', env=env)
    kestrel("-v", "merge", DB, C, env=env)
    kestrel("find", DB, C, '{"city": "Tabriz"}', env=env)
    kestrel("roles", "list", DB, env=env)
    kestrel("-v", "collection", "drop", DB, C, env=env)


def run() -> None:
    t = time.perf_counter()
    uri = os.environ.get("KESTREL_URI")
    if uri:
        session(uri)
    else:
        sys.path.insert(0, str(HERE.parent / "tests"))
        from server import start_server
        print("starting an embedded SecantusDB server (authentication on, in memory)")
        with start_server("root", "demo-pw") as server:
            print(f"   listening on {server.host}\n")
            session(server.uri)
    print(f"\ndone in {time.perf_counter() - t:.1f} s")


if __name__ == "__main__":
    run()
