# Shared by the scripts in scripts/: installs what a fresh machine lacks, then builds.
# shellcheck shell=bash

KORVANI_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
KORVANI_PACKAGES=(cmake g++ clang-14 make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libboost-json1.81-dev libcpp-httplib-dev libssl-dev python3)
# What only the tests need (./scripts/test installs them): the libraries `pkg-config --static
# libcurl` names, which the static install's consumer test links through pkg-config, the browser
# tests' Chromium and its driver, and nghttp2 for the HTTP/2 test server.
KORVANI_TEST_PACKAGES=(libldap-dev libzstd-dev librtmp-dev libssh2-1-dev libpsl-dev libkrb5-dev
  chromium chromium-driver libnghttp2-dev)
# What only the benchmarks need (./scripts/bench installs it): valgrind, whose callgrind counts
# the instructions of a payment.
KORVANI_BENCH_PACKAGES=(valgrind)

korvani_log() { printf '==> %s\n' "$*" >&2; }

# Installs the Debian packages that are missing (extra ones may be named as arguments).
korvani_install_deps() {
  local missing=() pkg
  for pkg in "${KORVANI_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local cmd="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    korvani_log "missing packages: ${missing[*]}"
    korvani_log "run as root: $cmd"
    exit 2
  fi
  korvani_log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

korvani_jobs() { nproc 2>/dev/null || echo 2; }

# korvani_build DIR [cmake options...]: configures (once) and builds a tree.
korvani_build() {
  local dir="$1"
  shift
  cmake -S "$KORVANI_ROOT" -B "$dir" -G "Unix Makefiles" "$@" >/dev/null
  cmake --build "$dir" -j "$(korvani_jobs)"
}
