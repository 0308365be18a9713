#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The example commands of the README and of the manual pages, run against a real tree
# laid out as the README describes it (~/Videos holding Films/a.mkv and its subtitles
# Films/a.srt; /srv/media and /srv/music for the pages) and compared with the outputs
# the documents give. Every command line of a code block in the README or the section 1
# page must have its case below, so an example that is added or changed fails here until
# its output is checked too. The examples that serve run with --port 0 and on 127.0.0.1
# (for 192.0.2.10), and take "roots" and "quit" at the console; the control examples
# talk to a server of this script's, on the socket they name ./ctl.
#   examples_test.sh PROGRAM SOURCE-DIR
set -euo pipefail
program_path=$1
src=$2
name=$(basename "$program_path")
readme=$src/README.md
page1=$src/man/$name.1.scd
page3=$src/man/vorn3s.3.scd

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME=$tmp/home
PATH="$(dirname "$program_path"):$PATH"
export PATH
mkdir -p "$HOME/Videos/Films" "$tmp/srv/media" "$tmp/srv/music"
: >"$HOME/Videos/Films/a.mkv"
printf '1\n00:00:01,000 --> 00:00:02,000\nHello.\n' >"$HOME/Videos/Films/a.srt"
videos=$(realpath "$HOME/Videos")
srt64=$(base64 -w0 "$HOME/Videos/Films/a.srt")
handshake='{"Version":3,"Platform":"quorvane-c"}'
a_mkv='{"Name":"a.mkv","ContentType":"video","FileType":".mkv","Folder":"Videos","FullName":"Films/a.mkv"}'
a_srt='{"Name":"a.srt","ContentType":"video","FileType":".srt","Folder":"Videos","FullName":"Films/a.srt"}'
films='{"Name":"Films","FullName":"Films","HasSubFolder":true}'
root_json() { printf '{"Name":"%s","Path":"%s","Kind":"folder"}' "$(basename "$1")" "$1"; }

# A server with a control socket for the control examples, which name it ./ctl; it is
# stopped by its own id at the end.
"$program_path" serve --bind 127.0.0.1 --port 0 --root "$HOME/Videos" --control "$tmp/ctl" \
  </dev/null >"$tmp/ctl-server.out" 2>&1 &
ctl_server=$!
trap 'kill "$ctl_server" 2>/dev/null; wait "$ctl_server" 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 100); do [ -S "$tmp/ctl" ] && break; sleep 0.1; done

failures=0
passed=0
fail() {
  failures=$((failures + 1))
  echo "FAILED: $*" >&2
}

# The command lines of a document's code blocks, one a line, continuations joined:
# the README's indented blocks that start with build/PROGRAM, the page's ``` blocks
# (where scdoc writes a backslash twice) that start with PROGRAM.
readme_commands() {
  awk -v start="    build/$name " '
    index($0, start) == 1 || cont { line = line (cont ? " " : "") $0; cont = sub(/ *\\$/, "", line)
      if (!cont) { sub(/^ +/, "", line); gsub(/ +/, " ", line); print line; line = "" } }' "$readme"
}
page_commands() {
  awk -v start="$name " '
    /^```/ { inside = !inside; next }
    inside && (index($0, start) == 1 || cont) { line = line (cont ? " " : "") $0
      cont = sub(/ *\\\\$/, "", line)
      if (!cont) { gsub(/ +/, " ", line); print line; line = "" } }' "$1"
}

# want_for COMMAND: sets the status, standard output and standard error the command
# gives, and the console input it is run with; 1 when the command has no case here.
want_for() {
  input=""
  want_err=""
  want_status=0
  case "$1" in
    "$name serve --bind 127.0.0.1 --root ~/Videos" | \
      "$name serve --bind 192.0.2.10 --root ~/Videos --set max_string=1048576")
      input=$'roots\nquit\n'
      want_out="listening 127.0.0.1:PORT roots=1 handshake=$handshake
root 0 $(root_json "$videos")" ;;
    "$name serve --bind 127.0.0.1 --port 0 --root /srv/media --root /srv/music")
      input=$'roots\nquit\n'
      want_out="listening 127.0.0.1:PORT roots=2 handshake=$handshake
root 0 $(root_json "$(realpath "$tmp/srv/media")")
root 1 $(root_json "$(realpath "$tmp/srv/music")")" ;;
    "$name serve --bind 192.0.2.10 --set max_string=1048576 --root /srv/media")
      input=$'roots\nquit\n'
      want_out="listening 127.0.0.1:PORT roots=1 handshake=$handshake
root 0 $(root_json "$(realpath "$tmp/srv/media")")" ;;
    "$name listing ~/Videos Films --files") want_out="[$a_mkv,$a_srt]" ;;
    "$name listing ~/Videos") want_out="[$films]" ;;
    "$name resolve ~/Videos Films/a.mkv") want_out="0 resolved $videos/Films/a.mkv" ;;
    "$name subtitles \"\$(realpath ~/Videos)\" '{\"FullName\":\"Films/a.mkv\"}'")
      want_out="[{\"Name\":\"a.srt\",\"Base64\":\"$srt64\"}]" ;;
    "$name subtitles ~/Videos '{\"Name\":\"a.mkv\"}'") want_out="" want_status=1 ;;
    "$name frame handshake") want_out=00000cf8 ;;
    "$name frame seekread") want_out=000004000000000000001000 ;;
    "$name handshake") want_out=$handshake ;;
    "$name version") want_out=1.0.0 ;;
    "$name serve --bind 127.0.0.1 --set max_string=1")
      want_out="" want_err="set: max_string: out of range" want_status=1 ;;
    "$name serve --bind 127.0.0.1 --max-connections 0")
      want_out="" want_err="set: max_connections: out of range" want_status=1 ;;
    "$name serve --bind 127.0.0.1 --root ~/Videos --control ./ctl --log ./access.log")
      input=$'roots\nquit\n'
      want_out="listening 127.0.0.1:PORT roots=1 handshake=$handshake
root 0 $(root_json "$videos")" ;;
    "$name control ./ctl status") want_out="running=1 port=PORT conns=0" ;;
    "$name control ./ctl set max_string 1048576") want_out="set 0 ok" ;;
    "$name control ./ctl")
      input=$'roots\n'
      want_out="root 0 $(root_json "$videos")" ;;
    *) return 1 ;;
  esac
}

# A JSON array's records one a line and sorted, as the listings follow the file system's
# order; the port the system chose as PORT.
normal() {
  sed -e 's/},{/}\n{/g' -e 's/^\(listening [0-9.]*\):[0-9][0-9]*/\1:PORT/' \
    -e 's/^\(running=1 port=\)[0-9][0-9]*/\1PORT/' | sort
}

run_example() {  # run_example DOCUMENT COMMAND
  local doc=$1 cmd=$2 run status=0
  if ! want_for "$cmd"; then
    fail "$doc: no checked output for the example: $cmd"
    return
  fi
  run=${cmd//\/srv\//$tmp\/srv\/}
  run=${run//.\/access.log/$tmp\/access.log}
  if [[ $cmd == "$name serve "* ]]; then
    # A socket of its own: the script's server holds ./ctl.
    run=${run//.\/ctl/$tmp\/ctl-serve}
    run=${run//192.0.2.10/127.0.0.1}
    [[ $run == *" --port "* ]] || run="$run --port 0"
  fi
  run=${run//.\/ctl/$tmp\/ctl}
  printf '%s' "$input" | timeout 20 bash -c "$run" >"$tmp/out" 2>"$tmp/err" || status=$?
  if [ "$status" -ne "$want_status" ] || [ "$(normal <"$tmp/out")" != "$(printf '%s\n' "$want_out" | normal)" ] ||
    [ "$(cat "$tmp/err")" != "$want_err" ]; then
    fail "$doc: $cmd"
    echo "  status $status, wanted $want_status; standard output, then error:" >&2
    sed 's/^/  | /' "$tmp/out" "$tmp/err" >&2
    return
  fi
  passed=$((passed + 1))
}

# Examples in the text, each with the words that show it there.
inline_example() {  # inline_example DOCUMENT COMMAND TEXT...
  local doc=$1 cmd=$2 text
  shift 2
  for text in "$@"; do
    grep -qF -- "$text" "$doc" || { fail "$doc no longer shows '$text'"; return; }
  done
  run_example "$doc" "$cmd"
}

mapfile -t from_readme < <(readme_commands)
mapfile -t from_page < <(page_commands "$page1")
[ "${#from_readme[@]}" -ge 4 ] || fail "$readme: the example commands are not found"
[ "${#from_page[@]}" -ge 4 ] || fail "$page1: the example commands are not found"
for cmd in "${from_readme[@]}"; do run_example "$readme" "${cmd#build/}"; done
for cmd in "${from_page[@]}"; do run_example "$page1" "$cmd"; done

inline_example "$readme" "$name frame handshake" '`frame handshake`' '(`00000cf8`)'
inline_example "$readme" "$name serve --bind 127.0.0.1 --root ~/Videos" \
  "\`listening 127.0.0.1:3320 roots=1 handshake=$handshake\`"
inline_example "$readme" "$name listing ~/Videos Films --files" "\`$a_mkv\`"
inline_example "$readme" "$name listing ~/Videos" '`listing ~/Videos` the sub-folders' "\`[$films]\`"
inline_example "$readme" "$name subtitles ~/Videos '{\"Name\":\"a.mkv\"}'" \
  "\`'{\"Name\":\"a.mkv\"}'\` finds" 'nothing here and prints an empty line with status 1'
inline_example "$readme" "$name serve --bind 127.0.0.1 --max-connections 0" \
  '`set: max_connections: out of range`'
inline_example "$page1" "$name frame handshake" '*frame handshake* prints' '*00000cf8*'
inline_example "$page1" "$name frame seekread" '*frame seekread* prints' '*000004000000000000001000*'
inline_example "$page1" "$name handshake" "*$handshake*"
inline_example "$page1" "$name version" 'Prints the version, *1.0.0*.'
inline_example "$page1" "$name serve --bind 127.0.0.1 --set max_string=1" '*set: max_string: out of range*'
inline_example "$page1" "$name listing ~/Videos Films --files" '*listing ~/Videos Films --files*'

# The library page's two records: the file record of the listing of Films, and the
# folder listing of the root itself.
records=$(sed -n '/^{"Name":"a.mkv"/,/^{"Name":"Films"/p' "$page3" | tr -d '\n' | sed 's/} *{/}\n{/; s/\([,{]\) /\1/g')
if [ "$records" = "$a_mkv"$'\n'"$films" ]; then passed=$((passed + 1)); else
  fail "$page3: the listing records are not the library's: $records"
fi

echo "examples: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
