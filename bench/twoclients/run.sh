#!/usr/bin/env bash
# A source-shaped tree of 4,000 files written on one headless Quorva client
# until a second client of the same devcloud account holds it byte for byte,
# then an update of 30% of the files; beside two Syncthing instances on
# loopback given the same tree in the same run. Then each direction alone.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../common/figure.sh"
prog="$BUILD/app/Quorva"
[ -x "$prog" ] || { echo "missing $prog"; exit 1; }
command -v syncthing >/dev/null || { echo "syncthing is needed (scripts/install-deps bench)"; exit 1; }
cd "$here/../.."
exec python3 "$here/twoclients.py" "$prog" "$@"
