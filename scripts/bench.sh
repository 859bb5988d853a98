#!/usr/bin/env bash
# Builds and runs every benchmark in bench/. Each program prints its own summary lines of the form
#   name: value unit (ratio R vs BASELINE)
# after Google Benchmark's table; the figures compare against a baseline run in the same process,
# because this machine is shared and noisy.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
for source in bench/*.cpp; do
  [ -e "$source" ] || continue
  name=$(basename "$source" .cpp)
  echo "== $name"
  "$build/bench/$name" "$@"
done
# The Python package's figures, with Debian's interpreter (see bench/bench_python.py).
if [ -d "$build/python/corvane" ]; then
  echo "== bench_python"
  PYTHONPATH="$build/python" /usr/bin/python3 bench/bench_python.py "$build"
fi
# The Ansible collection's cost per run against the Updater it runs (see bench/bench_ansible.py).
echo "== bench_ansible"
/usr/bin/python3 bench/bench_ansible.py "$build"
