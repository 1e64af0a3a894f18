# Sourced by the trial scripts that time builds of the CLI against each other, after they `cd` to
# the repository root. `trials_setup NAME DEFAULT_FILES DEFAULT_ROUNDS "$@"` reads the scripts'
# shared arguments, [FILES] [ROUNDS] BUILD_DIR..., into `files`, `rounds` and `builds` (build/o3
# when none is given), and makes `work`, a scratch directory removed when the script exits.
trials_setup() {
  local name=$1 default_files=$2 default_rounds=$3
  shift 3
  files=${1:-$default_files}
  rounds=${2:-$default_rounds}
  shift 2 || true
  builds=("$@")
  [ ${#builds[@]} -gt 0 ] || builds=(build/o3)
  work=$(mktemp -d "${TMPDIR:-/tmp}/$name.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}
