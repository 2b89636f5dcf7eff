#!/usr/bin/env bash
# Makes a speech recording for the client's disk sound driver: raw unsigned
# 8-bit mono at 8000 samples per second. sox runs without dither (-D), so the
# same text always gives the same bytes.
#   tests/voice/make_speech.sh "text to say" /absolute/path/speech.raw
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 TEXT OUTPUT.raw" >&2
  exit 2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
espeak-ng -w "$work/speech.wav" "$1"
sox -D "$work/speech.wav" -t raw -r 8000 -c 1 -b 8 -e unsigned-integer "$2"
