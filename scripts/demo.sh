#!/usr/bin/env bash
# Sets up, builds, makes a small demo folder (generated here, nothing downloaded) and
# serves it on 127.0.0.1 with the operator console. Usage: scripts/demo.sh [PORT]
set -euo pipefail
cd "$(dirname "$0")/.."
port="${1:-3320}"

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target quorvane-tessaline-vorn-v3-tcp-media-server >/dev/null

demo=demo/Media
if [ ! -d "$demo" ]; then
  mkdir -p "$demo/Series/Season 1" "$demo/Music"
  # Media-named files of known sizes; their bytes are random, a player only reads them.
  head -c 1048576 /dev/urandom > "$demo/Harbour Lights.mkv"
  head -c 262144 /dev/urandom > "$demo/Series/Season 1/Episode 01.mp4"
  head -c 65536 /dev/urandom > "$demo/Music/Theme.mp3"
  printf '1\n00:00:01,000 --> 00:00:04,000\nHello from the demo.\n' > "$demo/Harbour Lights.srt"
  printf '1\n00:00:01,000 --> 00:00:04,000\nHallo aus der Demo.\n' > "$demo/Harbour Lights.de.srt"
  printf 'WEBVTT\n\n00:01.000 --> 00:04.000\nEpisode one.\n' > "$demo/Series/Season 1/Episode 01.vtt"
fi

echo "Console: status | roots | add PATH | remove PATH | quit   (Ctrl-C also stops)" >&2
exec build/quorvane-tessaline-vorn-v3-tcp-media-server serve --bind 127.0.0.1 --port "$port" --root "$demo"
