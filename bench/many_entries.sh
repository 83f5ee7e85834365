# many_entries.sh: sourced by the comparison scripts.
#
# make_many_entries DIR COUNT: makes, unless they are there already,
# DIR/entries-COUNT.zip and DIR/entries-COUNT.tar, each of COUNT tiny files
# in folders of 1,000 (make_many_entries.py).
make_many_entries() {
  local dir=$1 count=$2 kind file
  mkdir -p "$dir"
  for kind in zip tar; do
    file=$dir/entries-$count.$kind
    if [[ ! -s $file ]]; then
      echo "making $file" >&2
      python3 "$(dirname "${BASH_SOURCE[0]}")/make_many_entries.py" "$kind" "$count" "$file"
    fi
  done
}
