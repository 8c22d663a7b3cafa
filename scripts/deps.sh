# Sourced by the scripts: installs the Debian packages the project needs when they are missing.
# Usage: need_packages pkg...
need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null || true
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
}

BUILD_PACKAGES=(build-essential cmake pkg-config libgtk2.0-dev nlohmann-json3-dev libcurl4-openssl-dev
  libssl-dev libarchive-dev libarchive-tools unzip zip libgtest-dev xvfb xauth xdotool openssl
  python3 python3-yaml ca-certificates procps curl fonts-wqy-zenhei clang libclang-rt-14-dev)

# The Windows cross build and its tests under Wine (scripts/test-windows), and the release build
# (scripts/release-windows: the checksum with pefile, signing with osslsigncode, morvell-pack with g++);
# locales for a Chinese locale that some Wine tests run in.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 libz-mingw-w64-dev cmake python3 openssl libgtest-dev xvfb
  nlohmann-json3-dev osslsigncode python3-pefile g++ locales)
