#!/usr/bin/env bash
# Sets up (if needed) and builds the product, tests and benchmarks.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$repo/scripts/setup.sh"
configure_and_build "$build_dir" -- "$@"
