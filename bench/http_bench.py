#!/usr/bin/env python3
"""HTTP benchmarks: wrk against the module and a trivial module in one Apache, in one run.

Each scenario is measured ROUNDS times, interleaved with the baseline, and reported as the
median requests per second, the median p99 latency and the ratio to the baseline's median.
The users scenarios run on a database made by kelvo-setup in the run directory and seeded with
USERS users (each with a custom field), and are also reported as ratios to GET /version. The
resident memory of the Apache child is sampled after every scenario.
"""
import argparse
import hashlib
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
import urllib.parse
import urllib.request

SEED_USERS = 10000
# The user whose session GET /users/me presents; never signed in by the login scenario.
ME_USER = "benchme"
REFERENCE = "module GET /version"

# (name, method, path, headers, body); the first is the baseline. A body may be a function of the
# run's unique prefix that returns Lua for wrk's request() (one body per request).
SCENARIOS = [
    ("trivial module GET /trivial", "GET", "/trivial", {}, None),
    ("module GET /", "GET", "/", {}, None),
    (REFERENCE, "GET", "/version", {}, None),
]


# Group scenarios: two signed-in users whose sessions the seed stores. ANN's id is shaped like an
# id, so that checking the "users" entry of an ACL never looks a name up.
ANN_ID = "AAAAAAAA-0000-0000-0000-000000000001"
ANN_TOKEN = "a" * 32
BOB_ID = "BBBBBBBB-0000-0000-0000-000000000002"
BOB_TOKEN = "b" * 32
# One endpoint (GET /api) behind one ACL: ann passes by her id without any lookup, as on a public
# endpoint; bob only after his groups are read.
GROUPS_ACL = f'API.API={{"users":["{ANN_ID}"],"groups":["staff"]}}'

# 100 users, 1,000 groups with a custom field and 10 members each, and ann and bob, bob in "staff".
GROUPS_SEED_SQL = f"""
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
    EXECUTE PROCEDURE ADDUSER('bench-member-' || i, 'member' || i, 'x', 's', 'bench', :tid, NULL, NULL)
      RETURNING_VALUES :uid;
    i = i + 1;
  END
  i = 0;
  WHILE (i < 1000) DO BEGIN
    EXECUTE PROCEDURE ADDGROUP('group-' || i, 'bench', :tid, NULL, NULL) RETURNING_VALUES :gid;
    EXECUTE PROCEDURE ADDGROUPDETAIL('kind', 'bench', FALSE, :gid);
    j = 0;
    WHILE (j < 10) DO BEGIN
      SELECT UID FROM USERS WHERE USERID = 'bench-member-' || MOD(:i * 10 + :j, 100) INTO :uid;
      EXECUTE PROCEDURE ADDUSERGROUP('bench-member-' || MOD(:i * 10 + :j, 100), :gid, :uid);
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


def groups_scenarios():
    return [
        # The public GET /version, as small as GET /api, with bob's session for reference.
        ("GET /version public, session", "GET", "/version", {"X-Vantrel-Session-Token": BOB_TOKEN}, None),
        ("GET /api ACL passed by user id, session", "GET", "/api", {"X-Vantrel-Session-Token": ANN_TOKEN}, None),
        ("GET /api ACL passed by group, session", "GET", "/api", {"X-Vantrel-Session-Token": BOB_TOKEN}, None),
        # Last, so that its slow requests still running when wrk stops weigh on no other scenario.
        ("GET /groups (1000 groups x 10 members)", "GET", "/groups", {}, None),
    ]


def lua_rotating_login(prefix):
    # Sign-ins spread over many users, as real clients do; one user's row is one lock.
    return (
        "local n = 0\n"
        "request = function()\n"
        f"  n = (n % {SEED_USERS // 10}) + 1\n"
        '  local body = \'{"username":"bench\' .. n .. \'","password":"pw"}\'\n'
        "  return wrk.format(nil, nil, nil, body)\n"
        "end\n")


def lua_unique_signup(prefix):
    return (
        "local n = 0\n"
        "request = function()\n"
        "  n = n + 1\n"
        f'  local body = \'{{"username":"new{prefix}_\' .. n .. \'","password":"pw","badge":"x"}}\'\n'
        "  return wrk.format(nil, nil, nil, body)\n"
        "end\n")


def users_scenarios(token):
    json_headers = {"Content-Type": "application/json"}
    where_name = urllib.parse.quote(json.dumps({"username": f"bench{SEED_USERS // 2}"}, separators=(",", ":")))
    where_field = urllib.parse.quote(json.dumps({"badge": f"b{SEED_USERS // 3}"}, separators=(",", ":")))
    return [
        ("module POST /users/login", "POST", "/users/login", json_headers, lua_rotating_login),
        ("module GET /users/me (session)", "GET", "/users/me", {"X-Vantrel-Session-Token": token}, None),
        ("module GET /users where username", "GET", "/users?where=" + where_name, {}, None),
        ("module GET /users where custom field", "GET", "/users?where=" + where_field, {}, None),
        ("module POST /users/signup", "POST", "/users/signup", json_headers, lua_unique_signup),
    ]


def seed_sql():
    # Direct inserts: 10,000 sign-ups through HTTP would take longer than the benchmark itself.
    lines = ["SET TERM ^ ;", "EXECUTE BLOCK AS", "DECLARE tid INTEGER;", "DECLARE i INTEGER = 1;", "BEGIN",
             "  SELECT FIRST 1 TID FROM TENANTS ORDER BY TID INTO :tid;",
             f"  WHILE (i <= {SEED_USERS}) DO", "  BEGIN",
             "    INSERT INTO USERS (UID, USERID, USERNAME, HPASSWORD, SALT, SESSIONID, ISACTIVE, CREATOR, CREATED,"
             " LASTMODIFIED, TID)",
             "    VALUES (:i, UPPER(UUID_TO_CHAR(GEN_UUID())), 'bench' || :i, '" + hashlib.md5(b"pwsalt01").hexdigest() +
             "', 'salt01', '', 1, 'seed', CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, :tid);",
             "    INSERT INTO USERSDETAIL (UID, TNAME, TVALUE) VALUES (:i, 'badge', 'b' || :i);",
             "    i = i + 1;", "  END", "END^", "SET TERM ; ^",
             f"SET GENERATOR GEN_USERS TO {SEED_USERS};", "COMMIT;", ""]
    return "\n".join(lines)


def create_database(args, run_dir, env, seed=True):
    database = os.path.join(run_dir, "kelvoserver.tvl")
    subprocess.run([os.path.join(args.build, "bin/kelvo-setup"), "--database", database, "--tenant-id", "BENCH",
                    "--tenant-secret", "bench"], check=True, env=env, stdout=subprocess.DEVNULL)
    if not seed:
        return
    script = os.path.join(run_dir, "seed.sql")
    with open(script, "w") as f:
        f.write(seed_sql())
    subprocess.run(["isql-fb", "-q", "-user", "sysdba", "-password", "plumcrate", database, "-i", script],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    script = os.path.join(run_dir, "seed-groups.sql")
    with open(script, "w") as f:
        f.write(GROUPS_SEED_SQL)
    subprocess.run(["isql-fb", "-q", "-user", "sysdba", "-password", "plumcrate", database, "-i", script],
                   check=True, env=env, stdout=subprocess.DEVNULL)


def post_json(url, body, headers=None):
    request = urllib.request.Request(url, data=json.dumps(body).encode(), method="POST",
                                     headers=dict({"Content-Type": "application/json"}, **(headers or {})))
    with urllib.request.urlopen(request, timeout=30) as reply:
        return json.loads(reply.read())


def child_pids(parent):
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == parent:
                pids.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return pids


def rss_mb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


def thread_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except OSError:
        return 0


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


def wrk_lua(method, headers, body, prefix=""):
    lines = [f'wrk.method = "{method}"']
    for k, v in headers.items():
        lines.append(f'wrk.headers["{k}"] = "{v}"')
    if callable(body):
        lines.append(body(prefix))
    elif body is not None:
        lines.append("wrk.body = " + json.dumps(body))
    return "\n".join(lines) + "\n"


def parse_wrk(text):
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", text)
    factor = {"us": 0.001, "ms": 1.0, "s": 1000.0}[p99.group(2)]
    non2xx = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", text)
    return rps, float(p99.group(1)) * factor, int(non2xx.group(1)) if non2xx else 0


def run_wrk(url, scenario, args, workdir, prefix=""):
    name, method, path, headers, body = scenario
    script = os.path.join(workdir, "scenario.lua")
    with open(script, "w") as f:
        f.write(wrk_lua(method, headers, body, prefix))
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
    ap.add_argument("--no-users", action="store_true", help="skip the database scenarios")
    ap.add_argument("--threads", type=int, default=32, help="Apache threads and MaxConnections of the module")
    ap.add_argument("--pool", type=int, default=0, help="[Data] PooledMax (0: the server's default)")
    args = ap.parse_args()

    run_dir = tempfile.mkdtemp(prefix="kelvobench.")
    os.chmod(run_dir, 0o755)
    port = free_port()
    with open(os.path.join(run_dir, "kelvoserver.ini"), "w") as f:
        f.write(f"[Server.Limits]\nMaxConnections={args.threads}\n[Data]\nDatabase=kelvoserver.tvl\n"
                + (f"PooledMax={args.pool}\n" if args.pool else ""))
        if not args.no_users:
            f.write(f"[Server.Authorization]\n{GROUPS_ACL}\n")
    with open(os.path.join(run_dir, "extra.conf"), "w") as f:
        f.write(f'LoadModule trivial_module "{args.build}/lib/mod_trivial.so"\n'
                "<Location /trivial>\n    SetHandler trivial-handler\n</Location>\n")
    os.makedirs(os.path.join(run_dir, "firebird"), exist_ok=True)
    env = dict(os.environ, TZ="UTC", MALLOC_ARENA_MAX=os.environ.get("MALLOC_ARENA_MAX", "2"), FIREBIRD_LOCK=os.path.join(run_dir, "firebird"),
               FIREBIRD_TMP=os.path.join(run_dir, "firebird"))
    # A real database, so the analytics writer stores a row for every request while we measure and the
    # users scenarios have their users; made before apache-conf.sh hands the directory to the server's user.
    create_database(args, run_dir, env, seed=not args.no_users)
    subprocess.run([os.path.join(args.source, "scripts/apache-conf.sh"), run_dir, str(port),
                    os.path.join(args.build, "lib/mod_kelvoserver.so"), str(args.threads)], check=True)
    apache = subprocess.Popen(["apache2", "-f", os.path.join(run_dir, "httpd.conf"), "-DFOREGROUND"], env=env)
    url = f"http://127.0.0.1:{port}"
    try:
        wait_until_up(url + "/")
        scenarios = list(SCENARIOS)
        if not args.no_users:
            token = post_json(url + "/users/signup", {"username": ME_USER, "password": "pw"})["sessionToken"]
            scenarios += users_scenarios(token)
            scenarios += groups_scenarios()
        children = child_pids(apache.pid)
        rss = []  # (after, MB, threads)
        samples = {s[0]: [] for s in scenarios}
        for round_no in range(args.rounds):
            for scenario in scenarios:
                samples[scenario[0]].append(run_wrk(url, scenario, args, run_dir, prefix=f"{os.getpid()}r{round_no}"))
                for pid in children:
                    rss.append((f"round {round_no + 1} {scenario[0]}", rss_mb(pid), thread_count(pid)))
    finally:
        apache.send_signal(signal.SIGTERM)
        try:
            apache.wait(timeout=30)
        except subprocess.TimeoutExpired:
            apache.kill()
        shutil.rmtree(run_dir, ignore_errors=True)

    baseline = statistics.median(r for r, _, _ in samples[SCENARIOS[0][0]])
    reference = statistics.median(r for r, _, _ in samples[REFERENCE])
    report = []
    print(f"{'scenario':44} {'req/s (median)':>15} {'p99 ms':>8} {'ratio':>7} {'/version':>9} {'non-2xx':>8}")
    for name, runs in samples.items():
        rps = statistics.median(r for r, _, _ in runs)
        p99 = statistics.median(p for _, p, _ in runs)
        errors = sum(e for _, _, e in runs)
        ratio = rps / baseline if baseline else 0.0
        to_version = rps / reference if reference else 0.0
        report.append({"scenario": name, "rps_median": rps, "p99_ms_median": p99, "ratio_to_baseline": ratio,
                       "ratio_to_version": to_version, "non_2xx": errors, "rounds": len(runs)})
        print(f"{name:44} {rps:15.0f} {p99:8.2f} {ratio:7.2f} {to_version:9.2f} {errors:8d}")
    memory = {}
    if rss:
        first, last = rss[0], rss[-1]
        peak = max(rss, key=lambda r: r[1])
        memory = {"rss_mb_first": first[1], "rss_mb_last": last[1], "rss_mb_peak": peak[1], "threads": last[2],
                  "samples": [{"after": a, "rss_mb": m, "threads": t} for a, m, t in rss]}
        print(f"Apache child RSS: {first[1]:.1f} MB after the first scenario, {last[1]:.1f} MB at the end, "
              f"peak {peak[1]:.1f} MB ({last[2]} threads)")
    with open(os.path.join(args.results, "http.json"), "w") as f:
        json.dump({"scenarios": report, "memory": memory}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
