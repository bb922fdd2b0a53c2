#!/usr/bin/env bash
# Installs every build, test and tool dependency of the kit from Debian's packages.
# Non-interactive and idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config ccache
  libopenblas-dev libspeexdsp-dev libcurl4-openssl-dev libssl-dev openssl
  nlohmann-json3-dev libcpp-httplib-dev libsndfile1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  ca-certificates
)
# Extra groups, asked for by name: "fuzz" (clang + runtimes), "demo" (speech synthesiser).
for group in "$@"; do
  case "$group" in
    fuzz) PACKAGES+=(clang libclang-rt-14-dev llvm) ;;
    demo) PACKAGES+=(espeak-ng) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq || true
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
