#!/usr/bin/env bash
# Installs the Debian packages that building and testing tabulon needs, and the test-only npm
# packages of tests/parquet_reader (node and npm from Debian when the machine has none).
# Idempotent: when everything is in place it only checks and exits.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build clang clang-format lld libclang-rt-dev pkg-config
  libexpat1-dev libmbedtls-dev libargtable2-dev libstb-dev zlib1g-dev libzstd-dev
  nlohmann-json3-dev
  libgtest-dev googletest libbenchmark-dev unicode-data man-db groff-base
  slurm-wlm munge jq
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# node and npm may come from elsewhere than Debian; only a machine without them gets Debian's.
if ! command -v node >/dev/null 2>&1; then missing+=(nodejs); fi
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  # Another apt or dpkg (an unattended upgrade, a second worktree's set-up) may hold the locks for
  # a while: wait for them instead of failing.
  lock_wait=(-o DPkg::Lock::Timeout=600)
  "${sudo_cmd[@]}" apt-get "${lock_wait[@]}" update -qq
  "${sudo_cmd[@]}" apt-get "${lock_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Parquet tests' independent reader: installed from the lock file, again only when the lock
# file changed since the last install.
reader=tests/parquet_reader
if ! cmp -s "$reader/package-lock.json" "$reader/node_modules/.installed-lock.json"; then
  echo "setup: installing the npm packages of $reader" >&2
  (cd "$reader" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$reader/package-lock.json" "$reader/node_modules/.installed-lock.json"
fi
