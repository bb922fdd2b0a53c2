#!/usr/bin/env bash
# Installs every build, test and tool dependency of the kit from Debian's packages.
# Non-interactive and idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config ccache
  libopenblas-dev libspeexdsp-dev libcurl4-openssl-dev libssl-dev openssl
  nlohmann-json3-dev libcpp-httplib-dev libsndfile1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  pybind11-dev python3-dev python3-numpy python3-pytest
  ca-certificates
)
# Extra groups, asked for by name: "fuzz" (clang + runtimes), "demo" (speech synthesiser),
# "coverage" (gcovr, for scripts/coverage.sh),
# "live" (the JACK server, library and tools, for mvsdk-live and its tests),
# "arm64" (cross toolchain, user-mode emulator and the arm64 builds of every library, through
# Debian multiarch; see scripts/build-arm64.sh).
ARM64=0
for group in "$@"; do
  case "$group" in
    fuzz) PACKAGES+=(clang libclang-rt-14-dev llvm) ;;
    demo) PACKAGES+=(espeak-ng) ;;
    coverage) PACKAGES+=(gcovr) ;;
    live) PACKAGES+=(jackd2 libjack-jackd2-dev) ;;
    arm64)
      ARM64=1
      PACKAGES+=(crossbuild-essential-arm64 qemu-user
        libopenblas-dev:arm64 libspeexdsp-dev:arm64 libcurl4-openssl-dev:arm64 libssl-dev:arm64
        libcpp-httplib-dev:arm64 libsndfile1-dev:arm64
        libgtest-dev:arm64 libgmock-dev:arm64 libbenchmark-dev:arm64) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# The :arm64 packages need the architecture known to dpkg before apt can see them.
NEED_UPDATE=0
if [ "$ARM64" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
  NEED_UPDATE=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
# jackd2 asks whether to allow real-time priority to the audio group; the answer is no (the tool
# and its tests run without it), preseeded so that the install never stops to ask.
if printf '%s\n' "${missing[@]}" | grep -qx jackd2; then
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
fi
if [ "$NEED_UPDATE" -eq 1 ]; then
  $SUDO apt-get update -qq
else
  $SUDO apt-get update -qq || true
fi
$SUDO apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
