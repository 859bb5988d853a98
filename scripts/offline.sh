#!/usr/bin/env bash
# Runs a command inside a private network namespace that has nothing but loopback (up, multicast
# on), so that whatever it tries to send beyond this machine fails instead of leaving it. Tests
# that need a second interface make their own namespace inside this one.
#   bash scripts/offline.sh ctest --test-dir build --output-on-failure
set -euo pipefail
if [ "$#" -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGUMENT...]" >&2
    exit 2
fi
# As root a network namespace alone will do; anyone else needs a user namespace around it.
option=-rn
if [ "$(id -u)" -eq 0 ]; then
    option=-n
fi
ip=$(PATH="$PATH:/usr/sbin:/sbin" command -v ip || true)
if [ -z "$ip" ]; then
    echo "offline: the ip command (iproute2) is missing" >&2
    exit 1
fi
if ! unshare "$option" true 2>/dev/null; then
    echo "offline: cannot make a private network namespace here (unshare $option failed)" >&2
    exit 1
fi
exec unshare "$option" /bin/sh -c '"$0" link set lo up multicast on && exec "$@"' "$ip" "$@"
