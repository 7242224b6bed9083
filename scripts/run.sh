#!/usr/bin/env bash
# scripts/run.sh [args]: installs what is missing, builds and runs the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh plain >/dev/null
exec build/plain/tools/qvports "$@"
