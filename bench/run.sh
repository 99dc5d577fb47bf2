#!/bin/sh
# `make bench`: HTTP throughput of the module against a trivial module in the same Apache, then
# the micro-benchmarks. Figures are ratios within one run; absolute numbers depend on the machine.
#
#   ROUNDS=3 DURATION=5 CONNECTIONS=32 THREADS=32 ./bench/run.sh
set -eu
BUILD_DIR=${BUILD_DIR:-$(pwd)/build}
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS=${ROUNDS:-3}
DURATION=${DURATION:-5}
CONNECTIONS=${CONNECTIONS:-32}
THREADS=${THREADS:-32}
RESULTS=${RESULTS:-$BUILD_DIR/bench-results}
mkdir -p "$RESULTS"

exec python3 "$SOURCE_DIR/bench/http_bench.py" --build "$BUILD_DIR" --source "$SOURCE_DIR" \
    --rounds "$ROUNDS" --duration "$DURATION" --connections "$CONNECTIONS" --threads "$THREADS" \
    --results "$RESULTS"
