# search_archives.sh: the archives the desktop-search tests index, and what
# watches the indexers' processes. Source it after temporary_install.sh.
#
#   make_search_archives "$home/archives" "$work/src"
#   for i in "${!words[@]}"; do search "${words[$i]}" must find "${names[$i]}"; done
#
# Each archive holds a file named by a word of its own (`words`, the archive
# a search for it must find in `names`); all but the GBK one also hold
# 项目/项目计划书.txt (`chinese_word`, found in `chinese_names`); the GBK
# ZIP holds 季度/季度报告.txt, names stored as GBK bytes without the UTF-8
# flag (`gbk_word`, `gbk_name`).

# make_search_archives FOLDER SCRATCH: writes the archives into FOLDER,
# making them from files in SCRATCH.
make_search_archives() {
  local folder=$1 src=$2 word name
  mkdir -p "$folder" "$src/项目" "$src/季度"
  printf 'x\n' >"$src/项目/项目计划书.txt"
  words=() names=() chinese_names=()
  chinese_word=项目计划书
  # add WORD NAME COMMAND...: COMMAND runs in SCRATCH, which holds 项目/
  # and WORD.txt, and writes FOLDER/NAME.
  add() {
    word=$1 name=$2
    shift 2
    printf 'x\n' >"$src/$word.txt"
    (cd "$src" && "$@" "$folder/$name" "$word.txt" 项目) >/dev/null || fail "could not make $name"
    rm "$src/$word.txt"
    words+=("$word") names+=("$name") chinese_names+=("$name")
  }
  # Info-ZIP writes UTF-8 names without the flag, with a Unicode Path field.
  add zipmember a.zip zip -qr
  add jarmember b.jar zip -qr
  add targzmember c.tar.gz bsdtar -czf
  add tarxzmember d.tar.xz bsdtar -cJf
  if command -v 7zz >/dev/null; then add sevenzipmember e.7z 7zz a -bd; fi
  gbk_word=季度报告 gbk_name=f.zip
  printf 'x\n' >"$src/季度/$gbk_word.txt"
  printf 'x\n' >"$src/gbkmember.txt"
  (cd "$src" && LC_ALL=C.UTF-8 bsdtar --format zip --options zip:hdrcharset=GBK \
    -cf "$folder/$gbk_name" gbkmember.txt 季度) || fail "could not make the GBK ZIP"
  words+=(gbkmember) names+=("$gbk_name")
  # Files that must not be found by the words above: text and a broken "ZIP".
  printf 'plain text\n' >"$folder/notes.txt"
  printf 'not an archive\n' >"$folder/broken.zip"
}

# cpu_ticks PID: the CPU time the process has used, in clock ticks.
cpu_ticks() {
  awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo gone
}

# expect_quiet PID NAME [may-end]: fails unless the process uses no CPU
# for 3 seconds (nothing left running in it), and unless it still exists
# (or ends normally within them, with may-end).
expect_quiet() {
  local pid=$1 name=$2 before after
  before=$(cpu_ticks "$pid")
  sleep 3
  after=$(cpu_ticks "$pid")
  [[ $before != gone && $after == gone && ${3:-} == may-end ]] && return 0
  [[ $before != gone && $after != gone ]] || fail "$name ($pid) is gone"
  # A few ticks for the process's own idle work.
  ((after - before <= 10)) || fail "$name ($pid) kept running: $((after - before)) ticks of CPU in 3 s"
}

# expect_alone PID NAME: fails if another process of PID's program (the
# same executable, with this test's HOME) runs beside it: a fork of the
# indexer's process left behind by a listing.
expect_alone() {
  local pid=$1 name=$2 exe proc other
  exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || return 0
  for proc in /proc/[0-9]*; do
    other=${proc#/proc/}
    [[ $other != "$pid" && $(readlink "$proc/exe" 2>/dev/null) == "$exe" ]] || continue
    tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qxF "HOME=$HOME" || continue
    fail "$name: another $exe is still running: $other"
  done
}
