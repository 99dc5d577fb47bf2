#!/bin/sh
# `make run`: serves the module with Apache in the foreground on 127.0.0.1:$PORT, from the run
# directory $RUN_DIR (configuration, database, logs). Ctrl-C or SIGTERM stops it.
set -eu
PORT=${PORT:-8080}
RUN_DIR=${RUN_DIR:-$(pwd)/run}
BUILD_DIR=${BUILD_DIR:-$(pwd)/build}
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
MODULE="$BUILD_DIR/lib/mod_kelvoserver.so"

mkdir -p "$RUN_DIR"
RUN_DIR=$(cd "$RUN_DIR" && pwd)

# An existing configuration is the administrator's: never overwrite it.
if [ ! -e "$RUN_DIR/kelvoserver.ini" ]; then
    cp "$SOURCE_DIR/scripts/kelvoserver.ini.default" "$RUN_DIR/kelvoserver.ini"
    echo "run: wrote $RUN_DIR/kelvoserver.ini"
fi

# Apache's threads would each get a malloc arena of their own; two keep the child smaller at no
# measurable cost to throughput.
export MALLOC_ARENA_MAX=${MALLOC_ARENA_MAX:-2}

# The database engine stamps times with its local clock; the server's own times are UTC.
export TZ=UTC

# The embedded database engine keeps its lock files here; the Apache child must own them.
mkdir -p "$RUN_DIR/firebird"
export FIREBIRD_LOCK="$RUN_DIR/firebird"
export FIREBIRD_TMP="$RUN_DIR/firebird"

# Create the database on first run (kelvo-setup refuses to touch an existing one).
SETUP="$BUILD_DIR/bin/kelvo-setup"
if [ -x "$SETUP" ]; then
    "$SETUP" --config "$RUN_DIR/kelvoserver.ini" --if-missing
fi

"$SOURCE_DIR/scripts/apache-conf.sh" "$RUN_DIR" "$PORT" "$MODULE"
echo "run: serving http://127.0.0.1:$PORT/ (Ctrl-C stops)"

# Apache stops with this script: on Ctrl-C, on SIGTERM, and when whoever started this script
# (make) goes away, since --pdeathsig hands the parent's death on as a SIGTERM.
setpriv --pdeathsig TERM apache2 -f "$RUN_DIR/httpd.conf" -DFOREGROUND &
APACHE_PID=$!
stop() {
    kill -TERM "$APACHE_PID" 2>/dev/null || true
    wait "$APACHE_PID" 2>/dev/null || true
    echo "run: stopped"
    exit 0
}
trap stop INT TERM HUP
wait "$APACHE_PID"
