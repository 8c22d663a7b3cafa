# Sourced by the scripts that run the Windows build under Wine (test-windows, screenshots-windows):
# a private Wine prefix inside a build directory, and a test certificate authority for the loopback
# HTTPS server. Nothing is written outside the build directory.

# Usage: use_private_wine_prefix BUILD_DIR
# Sets root (the build directory, absolute), wine and wineserver; exports the prefix's own home,
# no menu entries, no debug noise; starts the one wine server that all runs share and makes the
# prefix on the first run. The caller ends the server ("$wineserver" -k) when it is done.
use_private_wine_prefix() {
  root=$(cd "$1" && pwd)
  export WINEPREFIX="$root/wine-prefix"
  export HOME="$root/wine-home"
  export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
  export LANG=C.UTF-8 LC_ALL=C.UTF-8
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
  export WINEARCH=win64
  # The stand-in tar.exe is found on the prefix's PATH, where Windows 10 has its own.
  export WINEPATH="Z:${root//\//\\}\\wine-path"
  mkdir -p "$HOME" "$WINEPREFIX"
  wine=/usr/lib/wine/wine64
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
  [ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver64
  "$wineserver" -p || true
  [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1 || true
  "$wineserver" -p || true
}

# Usage: make_test_authority DIR
# DIR/ca.pem (and ca.der) is a test certificate authority, DIR/server.pem a certificate for
# localhost and 127.0.0.1 that it signed, DIR/rogue.pem one for the same names that it did not
# sign; each with its .key. Made once: an existing DIR/rogue.pem means all are there.
make_test_authority() {
  local tls=$1
  mkdir -p "$tls"
  [ -f "$tls/rogue.pem" ] && return 0
  (cd "$tls"
   openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Morvell Test CA" -keyout ca.key -out ca.pem \
     -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
   openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
   printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >server.ext
   openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 -extfile server.ext \
     -out server.pem 2>/dev/null
   openssl x509 -in ca.pem -outform DER -out ca.der
   openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
     -keyout rogue.key -out rogue.pem 2>/dev/null)
}
