#!/bin/sh
# Runs a command in a private D-Bus session that has a fresh GNOME Keyring of its own,
# unlocked, for the tests of the Secret Service backend. Needs no display and works as
# root; the developer's own session and keyrings are never touched.
#   run_in_keyring.sh COMMAND [ARG...]
set -eu

if [ "${FOLIUM_KEYRING_SESSION:-}" != 1 ]; then
  home=$(mktemp -d "${TMPDIR:-/tmp}/folium-keyring.XXXXXX")
  trap 'rm -rf "$home"' EXIT
  mkdir -m 700 "$home/runtime"
  export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" FOLIUM_KEYRING_SESSION=1
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL
  status=0
  dbus-run-session -- "$0" "$@" || status=$?
  exit "$status"
fi

# Inside the session. The daemon creates the login keyring with this password, unlocked,
# and makes it the default one.
printf 'folium-test' | gnome-keyring-daemon --daemonize --unlock --components=secrets >/dev/null
# The daemon claims its bus name shortly after it returns; a client arriving before would
# start a second daemon through D-Bus activation.
tries=0
until [ "$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
  --method org.freedesktop.DBus.NameHasOwner org.freedesktop.secrets 2>/dev/null)" = "(true,)" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 300 ]; then
    echo "run_in_keyring.sh: gnome-keyring-daemon did not come up on the session bus" >&2
    exit 1
  fi
  sleep 0.1
done

export FOLIUM_TEST_KEYRING=1
exec "$@"
