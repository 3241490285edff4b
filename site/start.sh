#!/usr/bin/env bash
# Brings up the control room's site on the loopback, as root, without systemd:
# MariaDB, TANGO's database server, its access-control server, and the servers
# of devices.json (the feedback on the simulated machine); prints TANGO_HOST.
#
#   site/start.sh            starts whatever is not running (idempotent)
#   site/start.sh restart    restarts the device servers, not the database
#   site/stop.sh             stops everything this script started
#
# Environment (defaults in brackets):
#   ZOR_SITE_DIR        state: database files, pid files, logs [/tmp/zor_site]
#   ZOR_SITE_SQL_PORT   MariaDB's port [13306]
#   ZOR_SITE_TANGO_PORT DataBaseds's port [10000]
#   ZOR_SITE_BIN        where ZorSimServer and ZorFeedbackServer are [build/tango,
#                       else the PATH's]
#   ZOR_SITE_DEVICES    the declarative file [site/devices.json]
#   ZOR_SITE_PYTHON     a Python with PyTango [/usr/bin/python3]
# The Debian packages it needs are installed by `./build.sh site`.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=site/common.sh
. "$here/common.sh"

start_mariadb() {
  if alive mariadbd; then return 0; fi
  mkdir -p "$DIR/mysql"
  if [ ! -d "$DIR/mysql/mysql" ]; then
    mariadb-install-db --user=root --datadir="$DIR/mysql" --auth-root-authentication-method=normal \
      >"$DIR/log/mariadb-install.log" 2>&1 || die "mariadb-install-db failed, see $DIR/log/mariadb-install.log"
  fi
  # Not strict: TANGO's servers insert rows without every column.
  mariadbd --user=root --datadir="$DIR/mysql" --socket="$DIR/mysql.sock" --bind-address=127.0.0.1 \
    --port="$SQL_PORT" --sql-mode=NO_ENGINE_SUBSTITUTION --pid-file="$DIR/run/mariadbd.pid.own" >"$DIR/log/mariadbd.log" 2>&1 &
  echo $! >"$DIR/run/mariadbd.pid"
  wait_for "MariaDB on port $SQL_PORT" "$DIR/log/mariadbd.log" sql -e "SELECT 1"
  if ! sql -e "USE tango; SELECT 1 FROM device LIMIT 1" >/dev/null 2>&1; then
    sql -e "CREATE DATABASE IF NOT EXISTS tango;
            CREATE USER IF NOT EXISTS 'tango'@'localhost' IDENTIFIED BY 'tango';
            CREATE USER IF NOT EXISTS 'tango'@'127.0.0.1' IDENTIFIED BY 'tango';
            GRANT ALL ON tango.* TO 'tango'@'localhost'; GRANT ALL ON tango.* TO 'tango'@'127.0.0.1';"
    sql tango </usr/share/dbconfig-common/data/tango-db/install/mysql >"$DIR/log/schema.log" 2>&1 ||
      die "loading TANGO's schema failed, see $DIR/log/schema.log"
  fi
}

start_databaseds() {
  if alive DataBaseds; then return 0; fi
  MYSQL_HOST=127.0.0.1:$SQL_PORT MYSQL_USER=tango MYSQL_PASSWORD=tango MYSQL_DATABASE=tango \
    /usr/lib/tango/DataBaseds 2 -ORBendPoint "giop:tcp:127.0.0.1:$TANGO_PORT" >"$DIR/log/DataBaseds.log" 2>&1 &
  echo $! >"$DIR/run/DataBaseds.pid"
  wait_for "DataBaseds on port $TANGO_PORT" "$DIR/log/DataBaseds.log" \
    "$PY" -c "import tango; tango.DeviceProxy('sys/database/2').ping()"
}

start_access_control() {
  if alive TangoAccessControl; then return 0; fi
  # SUPER_TANGO: TANGO's own exemption, so that it can export itself while
  # the database asks it (not yet running) who may write.
  SUPER_TANGO=true MYSQL_HOST=127.0.0.1:$SQL_PORT MYSQL_USER=tango MYSQL_PASSWORD=tango MYSQL_DATABASE=tango \
    /usr/lib/tango/TangoAccessControl 1 >"$DIR/log/TangoAccessControl.log" 2>&1 &
  echo $! >"$DIR/run/TangoAccessControl.pid"
  wait_for "TangoAccessControl" "$DIR/log/TangoAccessControl.log" \
    "$PY" -c "import tango; tango.DeviceProxy('sys/access_control/1').ping()"
}

start_servers() {
  while read -r exe instance device; do
    local name="$exe.$instance"
    if alive "$name"; then continue; fi
    local path
    path=$(server_path "$exe") || die "$exe not found in $BIN nor on the PATH (build it: cmake --build build --target $exe)"
    "$path" "$instance" >"$DIR/log/$name.log" 2>&1 &
    echo $! >"$DIR/run/$name.pid"
    wait_for "$exe $instance" "$DIR/log/$name.log" \
      "$PY" -c "import tango; tango.DeviceProxy('$device').ping()"
  done < <("$PY" "$here/load_devices.py" "$DEVICES" --servers)
}

mkdir -p "$DIR/run" "$DIR/log"
case "${1:-start}" in
  start)
    check_tools
    start_mariadb
    start_databaseds
    # Before the loader: once the site has access control, the database
    # refuses writes while TangoAccessControl is down.
    start_access_control
    # The loader is the site's administrator: exempt as well.
    SUPER_TANGO=true "$PY" "$here/load_devices.py" "$DEVICES"
    SUPER_TANGO=true "$PY" "$here/load_devices.py" "$DEVICES" --access
    start_servers
    ;;
  restart)
    alive DataBaseds || die "the database is not running: start the site first (site/start.sh)"
    stop_servers
    start_servers
    ;;
  *) die "usage: site/start.sh [start|restart]" ;;
esac
echo "TANGO_HOST=$TANGO_HOST"
