#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes a small demo folder of media that a real player plays, generated here (nothing is
# downloaded): a film in MP4 and an episode in Matroska (H.264 video, MP3 sound, 10 s
# each) and a WAV tone, with subtitles beside each in English and German, told apart by
# the language suffix. Needs gst-launch-1.0 (scripts/setup.sh --demo installs it).
# Usage: scripts/demo-media.sh FOLDER
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: scripts/demo-media.sh FOLDER" >&2; exit 2; }
out=$1
mkdir -p "$out/Series/Season 1" "$out/Music"

# video FILE MUXER PATTERN: 250 frames of a moving test picture at 25 per second, 640x360,
# with a 440 Hz tone of the same 10 s. MP4 keeps its index at the front, so that a player
# reading over the network can start at once.
video() {
  gst-launch-1.0 -q -e \
    videotestsrc num-buffers=250 pattern="$3" horizontal-speed=2 \
    ! video/x-raw,width=640,height=360,framerate=25/1 ! videoconvert \
    ! x264enc speed-preset=veryfast bitrate=600 key-int-max=50 ! video/x-h264,profile=main \
    ! $2 name=mux ! filesink location="$1" \
    audiotestsrc num-buffers=100 samplesperbuffer=4410 freq=440 volume=0.2 \
    ! audio/x-raw,rate=44100,channels=2 ! audioconvert \
    ! lamemp3enc target=bitrate bitrate=96 ! mpegaudioparse ! mux. >/dev/null
}

# srt FILE TEXT...: one cue every three seconds from the first second.
srt() {
  local file=$1 n=0 start=1
  shift
  : >"$file"
  for text in "$@"; do
    n=$((n + 1))
    printf '%d\n00:00:%02d,000 --> 00:00:%02d,500\n%s\n\n' "$n" "$start" $((start + 2)) "$text" >>"$file"
    start=$((start + 3))
  done
}

video "$out/Harbour Lights.mp4" "mp4mux faststart=true" smpte
srt "$out/Harbour Lights.en.srt" "Harbour Lights" "A demo film, ten seconds long." "The end."
srt "$out/Harbour Lights.de.srt" "Hafenlichter" "Ein Demofilm, zehn Sekunden lang." "Ende."

video "$out/Series/Season 1/Episode 01.mkv" matroskamux ball
srt "$out/Series/Season 1/Episode 01.en.srt" "Episode one" "A ball goes round." "To be continued."
srt "$out/Series/Season 1/Episode 01.de.srt" "Folge eins" "Ein Ball kreist." "Fortsetzung folgt."

gst-launch-1.0 -q -e audiotestsrc num-buffers=100 samplesperbuffer=4410 freq=440 volume=0.3 \
  ! audio/x-raw,format=S16LE,rate=44100,channels=2 ! wavenc ! filesink location="$out/Music/Theme.wav" >/dev/null
srt "$out/Music/Theme.en.srt" "A tone of 440 Hz" "The note A" "Silence follows."
srt "$out/Music/Theme.de.srt" "Ein Ton von 440 Hz" "Der Kammerton A" "Dann Stille."
