# temporary_install.sh: what the scripts that install the build somewhere
# temporary share. Source it with `build` set to the build folder.
#
#   require_tools "scripts/install-deps.sh desktop" recollindex bsdtar
#   start_temporary_install vexel-recoll     # $work: a fresh folder
#   cmake --install "$build" --prefix "$work/prefix"
#
# The build folder's install manifest (a real installation's, which the
# README's uninstall command reads) is set aside and put back on exit, and
# $work is removed; a script with more to clean up defines `on_exit`.

# fail MESSAGE: ends the test as failed.
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# skip_unless_ci MESSAGE: ends the test as skipped (77) for want of what
# MESSAGE says; under CI (VEXEL_CI set to anything but "" or 0), which
# installs everything the tests use, as failed.
skip_unless_ci() {
  if [[ -n ${VEXEL_CI:-} && ${VEXEL_CI:-} != 0 ]]; then
    fail "$*, and CI (VEXEL_CI=$VEXEL_CI) installs it"
  fi
  echo "SKIP: $*"
  exit 77
}

# require_tools HOW TOOL...: skip_unless_ci when a tool is missing; HOW says
# how to install it.
require_tools() {
  local how=$1 tool
  shift
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      skip_unless_ci "$tool is not installed ($how)"
    fi
  done
}

# start_temporary_install NAME: makes $work and arranges the clean-up.
start_temporary_install() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1-XXXXXX")
  manifest=$build/install_manifest.txt
  saved_manifest=""
  if [[ -f $manifest ]]; then
    saved_manifest=$work/saved-manifest.txt
    cp "$manifest" "$saved_manifest"
  fi
  trap finish_temporary_install EXIT
}

finish_temporary_install() {
  if declare -F on_exit >/dev/null; then on_exit || true; fi
  if [[ -n $saved_manifest ]]; then mv -f "$saved_manifest" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$work"
}
