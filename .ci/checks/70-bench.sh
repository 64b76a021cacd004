#!/usr/bin/env bash
# Builds the benchmarks and prints the performance figures. Fails only on the
# deterministic targets (instruction count, linear growth); see the header of
# bench/run_figures.sh for why the wall-time ratio is reported, not enforced.
set -euo pipefail
cd "$(dirname "$0")/../.."
HYPERFINE_RUNS=100 bash bench/run_figures.sh
