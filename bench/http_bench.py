#!/usr/bin/env python3
"""HTTP benchmarks: wrk against the module and a trivial module in one Apache, in one run.

Each scenario is measured ROUNDS times, interleaved with the baseline, and reported as the
median requests per second, the median p99 latency and the ratio to the baseline's median.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

# Signed-in users of the database scenarios: their sessions are stored by the seed. ANN's id
# is shaped like an id, so that checking the "users" entry never looks a name up.
ANN_ID = "AAAAAAAA-0000-0000-0000-000000000001"
ANN_TOKEN = "a" * 32
BOB_ID = "BBBBBBBB-0000-0000-0000-000000000002"
BOB_TOKEN = "b" * 32

# (name, method, path, headers, body); the first is the baseline.
SCENARIOS = [
    ("trivial module GET /trivial", "GET", "/trivial", {}, None),
    ("module GET /", "GET", "/", {}, None),
    ("module GET /version", "GET", "/version", {}, None),
    # One endpoint (GET /api), one ACL {"users":[ANN_ID],"groups":["staff"]}: ann passes by her
    # id without any lookup, as on a public endpoint; bob only after his groups are read. The
    # public GET /version, as small, with bob's session for reference.
    ("GET /version public, session", "GET", "/version", {"X-Vantrel-Session-Token": BOB_TOKEN}, None),
    ("GET /api ACL passed by user id, session", "GET", "/api", {"X-Vantrel-Session-Token": ANN_TOKEN}, None),
    ("GET /api ACL passed by group, session", "GET", "/api", {"X-Vantrel-Session-Token": BOB_TOKEN}, None),
    # 1,000 groups of 10 members: the whole list with members. Last, so that its slow requests
    # still running when wrk stops do not weigh on the scenarios above.
    ("GET /groups (1000 groups x 10 members)", "GET", "/groups", {}, None),
]

# Users, 1,000 groups with a custom field and 10 members each, and the two signed-in users.
SEED_SQL = f"""
SET TERM ^ ;
EXECUTE BLOCK AS
  DECLARE tid INTEGER;
  DECLARE i INTEGER = 0;
  DECLARE j INTEGER;
  DECLARE uid INTEGER;
  DECLARE gid INTEGER;
BEGIN
  SELECT FIRST 1 TID FROM TENANTS ORDER BY TID INTO :tid;
  WHILE (i < 100) DO BEGIN
    EXECUTE PROCEDURE ADDUSER('bench-user-' || i, 'user' || i, 'x', 's', 'bench', :tid, NULL, NULL)
      RETURNING_VALUES :uid;
    i = i + 1;
  END
  i = 0;
  WHILE (i < 1000) DO BEGIN
    EXECUTE PROCEDURE ADDGROUP('group-' || i, 'bench', :tid, NULL, NULL) RETURNING_VALUES :gid;
    EXECUTE PROCEDURE ADDGROUPDETAIL('kind', 'bench', FALSE, :gid);
    j = 0;
    WHILE (j < 10) DO BEGIN
      SELECT UID FROM USERS WHERE USERID = 'bench-user-' || MOD(:i * 10 + :j, 100) INTO :uid;
      EXECUTE PROCEDURE ADDUSERGROUP('bench-user-' || MOD(:i * 10 + :j, 100), :gid, :uid);
      j = j + 1;
    END
    i = i + 1;
  END
  EXECUTE PROCEDURE ADDUSER('{ANN_ID}', 'ann', 'x', 's', 'bench', :tid, NULL, NULL) RETURNING_VALUES :uid;
  EXECUTE PROCEDURE ADDUSER('{BOB_ID}', 'bob', 'x', 's', 'bench', :tid, NULL, NULL) RETURNING_VALUES :uid;
  UPDATE USERS SET SESSIONID = '{ANN_TOKEN}' WHERE USERID = '{ANN_ID}';
  UPDATE USERS SET SESSIONID = '{BOB_TOKEN}' WHERE USERID = '{BOB_ID}';
  EXECUTE PROCEDURE ADDGROUP('staff', 'bench', :tid, NULL, NULL) RETURNING_VALUES :gid;
  EXECUTE PROCEDURE ADDUSERGROUP('{BOB_ID}', :gid, :uid);
END^
SET TERM ; ^
COMMIT;
"""

INI = f"""[Server.Limits]
MaxConnections=64
[Data]
Database=kelvoserver.tvl
[Server.Authorization]
API.API={{"users":["{ANN_ID}"],"groups":["staff"]}}
"""


def create_database(args, run_dir, env):
    """The database file in the run directory, before Apache's configuration hands the
    directory to the server's user."""
    subprocess.run([os.path.join(args.build, "bin/kelvo-setup"), "--config", os.path.join(run_dir, "kelvoserver.ini"),
                    "--tenant-id", "BENCH-TENANT", "--tenant-secret", "bench"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    seed = os.path.join(run_dir, "seed.sql")
    with open(seed, "w") as f:
        f.write(SEED_SQL)
    subprocess.run(["isql-fb", "-user", "SYSDBA", "-q", "-i", seed, os.path.join(run_dir, "kelvoserver.tvl")],
                   env=env, check=True, stdout=subprocess.DEVNULL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until_up(url, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            urllib.request.urlopen(url, timeout=1).read()
            return
        except Exception:
            time.sleep(0.1)
    raise RuntimeError("server did not answer: " + url)


def wrk_lua(method, headers, body):
    lines = [f'wrk.method = "{method}"']
    for k, v in headers.items():
        lines.append(f'wrk.headers["{k}"] = "{v}"')
    if body is not None:
        lines.append("wrk.body = " + json.dumps(body))
    return "\n".join(lines) + "\n"


def parse_wrk(text):
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", text)
    factor = {"us": 0.001, "ms": 1.0, "s": 1000.0}[p99.group(2)]
    non2xx = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", text)
    return rps, float(p99.group(1)) * factor, int(non2xx.group(1)) if non2xx else 0


def run_wrk(url, scenario, args, workdir):
    name, method, path, headers, body = scenario
    script = os.path.join(workdir, "scenario.lua")
    with open(script, "w") as f:
        f.write(wrk_lua(method, headers, body))
    out = subprocess.run(
        ["wrk", "-t1", f"-c{args.connections}", f"-d{args.duration}s", "--latency", "-s", script, url + path],
        capture_output=True, text=True, timeout=args.duration + 60, check=True).stdout
    return parse_wrk(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--duration", type=int, default=5)
    ap.add_argument("--connections", type=int, default=32)
    ap.add_argument("--results", required=True)
    args = ap.parse_args()

    run_dir = tempfile.mkdtemp(prefix="kelvobench.")
    os.chmod(run_dir, 0o755)
    port = free_port()
    with open(os.path.join(run_dir, "kelvoserver.ini"), "w") as f:
        f.write(INI)
    with open(os.path.join(run_dir, "extra.conf"), "w") as f:
        f.write(f'LoadModule trivial_module "{args.build}/lib/mod_trivial.so"\n'
                "<Location /trivial>\n    SetHandler trivial-handler\n</Location>\n")
    os.makedirs(os.path.join(run_dir, "firebird"), exist_ok=True)
    env = dict(os.environ, TZ="UTC", FIREBIRD_LOCK=os.path.join(run_dir, "firebird"), FIREBIRD_TMP=os.path.join(run_dir, "firebird"))
    # A real database, so the analytics writer stores a row for every request while we measure.
    create_database(args, run_dir, env)
    subprocess.run([os.path.join(args.source, "scripts/apache-conf.sh"), run_dir, str(port),
                    os.path.join(args.build, "lib/mod_kelvoserver.so"), "64"], check=True)
    apache = subprocess.Popen(["apache2", "-f", os.path.join(run_dir, "httpd.conf"), "-DFOREGROUND"], env=env)
    url = f"http://127.0.0.1:{port}"
    try:
        wait_until_up(url + "/")
        samples = {s[0]: [] for s in SCENARIOS}
        for _ in range(args.rounds):
            for scenario in SCENARIOS:
                samples[scenario[0]].append(run_wrk(url, scenario, args, run_dir))
    finally:
        apache.send_signal(signal.SIGTERM)
        try:
            apache.wait(timeout=30)
        except subprocess.TimeoutExpired:
            apache.kill()
        shutil.rmtree(run_dir, ignore_errors=True)

    baseline = statistics.median(r for r, _, _ in samples[SCENARIOS[0][0]])
    report = []
    print(f"{'scenario':44} {'req/s (median)':>15} {'p99 ms':>8} {'ratio':>7} {'non-2xx':>8}")
    for name, runs in samples.items():
        rps = statistics.median(r for r, _, _ in runs)
        p99 = statistics.median(p for _, p, _ in runs)
        errors = sum(e for _, _, e in runs)
        ratio = rps / baseline if baseline else 0.0
        report.append({"scenario": name, "rps_median": rps, "p99_ms_median": p99, "ratio_to_baseline": ratio,
                       "non_2xx": errors, "rounds": len(runs)})
        print(f"{name:44} {rps:15.0f} {p99:8.2f} {ratio:7.2f} {errors:8d}")
    with open(os.path.join(args.results, "http.json"), "w") as f:
        json.dump(report, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
