#!/bin/sh
# Installs every Debian package that building, testing and running the server need.
# Does nothing (and needs no network) when they are all present already.
set -eu

PACKAGES="
build-essential cmake pkg-config
apache2 apache2-dev
libfbclient2 firebird-dev firebird3.0-server-core firebird3.0-utils
rapidjson-dev libssl-dev libcurl4-openssl-dev
libgtest-dev libgmock-dev libbenchmark-dev
curl wrk python3 python3-yaml
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

echo "setup: installing$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || true
# The Firebird server package asks for a SYSDBA password through debconf; the embedded
# engine does not need the server running, so accept the defaults.
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
# Debian starts the packaged Apache and Firebird services on install; our runs use their own
# configuration and ports, so leave the system services as the administrator set them.
