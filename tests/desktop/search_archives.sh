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
  # 7-Zip is 7zz on Debian 12, 7z on Debian 13.
  local seven
  if seven=$(command -v 7zz || command -v 7z); then add sevenzipmember e.7z "$seven" a -bd; fi
  # Load: fifteen more ZIPs, each found by a member of its own, listed one
  # after another by the same extractor process, all of which must be
  # found (no listing may come back empty).
  local letter
  for letter in a b c d e f g h i j k l m n o; do add "loadmember$letter" "load-$letter.zip" zip -qr; done
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

# expect_quiet PID NAME [may-end]: fails unless the process comes to rest
# within 15 s: a 3-second stretch with almost no CPU (an indexer may still
# be tidying up after a large file; something of ours left running would
# keep it busy far longer). It must still exist, or, with may-end, have
# ended normally before it was ever found busy.
expect_quiet() {
  local pid=$1 name=$2 before after used=""
  for _ in 1 2 3 4 5; do
    before=$(cpu_ticks "$pid")
    # An indexer that ends itself once idle may be gone before the first look.
    if [[ $before == gone && ${3:-} == may-end && -z $used ]]; then return 0; fi
    sleep 3
    after=$(cpu_ticks "$pid")
    if [[ $before != gone && $after == gone && ${3:-} == may-end && -z $used ]]; then return 0; fi
    [[ $before != gone && $after != gone ]] || fail "$name ($pid) ended${used:+ after $used ticks of CPU in 3 s}"
    used=$((after - before))
    # A few ticks for the process's own idle work.
    ((used <= 10)) && return 0
  done
  fail "$name ($pid) kept running: $used ticks of CPU in the last 3 s of 15"
}

# processes_of PROGRAM...: the processes running one of these executables
# with this test's HOME, one id a line.
processes_of() {
  local proc program
  for proc in /proc/[0-9]*; do
    for program in "$@"; do
      [[ $(readlink "$proc/exe" 2>/dev/null) == "$program" ]] || continue
      tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qxF "HOME=$HOME" && echo "${proc#/proc/}"
    done
  done
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
