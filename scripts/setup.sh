#!/usr/bin/env bash
# Installs the Debian packages that building and testing tabulon needs.
# Idempotent: when every package is already installed it only checks and exits.
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang clang-format lld libclang-rt-dev pkg-config
  libexpat1-dev libmbedtls-dev libargtable2-dev libstb-dev zlib1g-dev
  libgtest-dev googletest libbenchmark-dev unicode-data man-db groff-base
  slurm-wlm munge jq
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
# Another apt or dpkg (an unattended upgrade, a second worktree's set-up) may hold the locks for
# a while: wait for them instead of failing.
lock_wait=(-o DPkg::Lock::Timeout=600)
"${sudo_cmd[@]}" apt-get "${lock_wait[@]}" update -qq
"${sudo_cmd[@]}" apt-get "${lock_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
