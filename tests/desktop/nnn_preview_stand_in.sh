#!/bin/sh
# A stand-in for nnn's preview-tui plug-in (4.7), which Debian does not
# package, doing what it does inside tmux with USE_SCOPE=1: nnn runs it with
# the hovered file; it splits the tmux window and, in the new pane, shows
# that file and each one nnn then writes to $NNN_FIFO as
#
#   scope.sh FILE "$cols" "$lines" TEMPORARY_FOLDER True | less -P?n -R
#
# with standard error left on the pane, and with cols and lines empty
# (preview-tui sets them only on its path without scope.sh). A resized pane
# shows the file again.
if [ -z "$PREVIEW_MODE" ]; then
  tmux split-window -e "NNN_FIFO=$NNN_FIFO" -e "PREVIEW_MODE=1" -e "USE_SCOPE=$USE_SCOPE" \
    -dh -p50 "$0" "$1"
  exit 0
fi

state=${TMPDIR:-/tmp}/vexel-nnn-stand-in.$$
pager_pid=$state.pager
selected=$state.selected

preview_file() {
  [ -f "$pager_pid" ] && kill "$(cat "$pager_pid")" 2>/dev/null
  clear
  scope.sh "$1" "$cols" "$lines" "$(mktemp -d)" "True" | less -P?n -R &
  printf '%s' "$!" >"$pager_pid"
}

preview_fifo() {
  while read -r selection; do
    [ -n "$selection" ] || continue
    [ "$selection" = close ] && break
    preview_file "$selection"
    printf '%s' "$selection" >"$selected"
  done <"$NNN_FIFO"
}

preview_file "$PWD/$1"
printf '%s' "$PWD/$1" >"$selected"
preview_fifo &
trap 'preview_file "$(cat "$selected")"; wait' WINCH
trap 'rm -f "$pager_pid" "$selected"' EXIT
wait "$!"
