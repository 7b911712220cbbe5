# Sourced first by every benchmark: the paths, the Wine environment, the
# timing and payload helpers, and the work folder, made.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ONEFILE_BUILD_DIR:-$root/build}
work=$build/bench
pack=$build/host/onefile-pack
source "$root/scripts/wine-env.sh"
source "$root/bench/timing.sh"
source "$root/bench/payload.sh"
mkdir -p "$work"
