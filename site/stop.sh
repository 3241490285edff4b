#!/usr/bin/env bash
# Stops everything site/start.sh started: the device servers, the
# access-control server, DataBaseds, MariaDB. The state stays in ZOR_SITE_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=site/common.sh
. "$here/common.sh"
stop_servers
for name in TangoAccessControl DataBaseds mariadbd; do stop_one "$name"; done
echo "site stopped"
