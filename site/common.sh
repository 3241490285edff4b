# What site/start.sh and site/stop.sh share: the settings, the pid files, and
# the waits.
DIR=${ZOR_SITE_DIR:-/tmp/zor_site}
SQL_PORT=${ZOR_SITE_SQL_PORT:-13306}
TANGO_PORT=${ZOR_SITE_TANGO_PORT:-10000}
BIN=${ZOR_SITE_BIN:-$here/../build/tango}
DEVICES=${ZOR_SITE_DEVICES:-$here/devices.json}
PY=${ZOR_SITE_PYTHON:-/usr/bin/python3}  # Debian's, with PyTango
export TANGO_HOST=127.0.0.1:$TANGO_PORT
# TANGO's access control knows a client by USER, which a bare root shell may not set.
export USER=${USER:-$(id -un)}

die() {
  echo "site: $*" >&2
  exit 1
}

sql() { mariadb --protocol=socket --socket="$DIR/mysql.sock" -uroot "$@"; }

alive() {  # alive NAME: its pid file names a running process
  local f="$DIR/run/$1.pid"
  [ -f "$f" ] && kill -0 "$(cat "$f")" 2>/dev/null
}

wait_for() {  # wait_for WHAT LOG COMMAND...: up to 30 s
  local what=$1 log=$2 i
  shift 2
  for i in $(seq 300); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  echo "site: $what does not answer after 30 s; the end of $log:" >&2
  tail -n 20 "$log" >&2
  exit 1
}

stop_one() {  # stop_one NAME: SIGTERM, then SIGKILL after 10 s
  local f="$DIR/run/$1.pid" pid i
  [ -f "$f" ] || return 0
  pid=$(cat "$f")
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    for i in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid"
  fi
  rm -f "$f"
}

stop_servers() {
  local f
  for f in "$DIR"/run/*.pid; do
    [ -e "$f" ] || continue
    case $(basename "$f" .pid) in
      mariadbd | DataBaseds | TangoAccessControl) ;;
      *) stop_one "$(basename "$f" .pid)" ;;
    esac
  done
}

server_path() {
  if [ -x "$BIN/$1" ]; then echo "$BIN/$1"; else command -v "$1"; fi
}

check_tools() {
  [ "$(id -u)" -eq 0 ] || die "runs as root (MariaDB runs as root here, without systemd)"
  local t
  for t in mariadb-install-db mariadbd mariadb /usr/lib/tango/DataBaseds /usr/lib/tango/TangoAccessControl; do
    command -v "$t" >/dev/null || die "$t is missing: run ./build.sh site, which installs it"
  done
  "$PY" -c "import tango" 2>/dev/null || die "PyTango is missing: run ./build.sh site, which installs it"
}
