#!/usr/bin/env bash
# feed_wav end to end on real speech from espeak-ng (resampled by sox): the frame stream, the
# summary, the exit codes, and what a user sees for wrong or damaged input.
#   feed_wav_cli_test.sh PATH/TO/feed_wav
set -uo pipefail
feed=$1
work=$(mktemp -d /tmp/feed_wav_cli.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Checks a frame stream: every frame whole, the expected first and last frames, and the counts
# matching the summary on standard error. Prints "A E channels" on success.
check_stream() {
  python3 - "$@" <<'PY'
import re, struct, sys
out, err, first, channels_expected = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
data = open(out, 'rb').read()
frames, p = [], 0
while p < len(data):
    if p + 5 > len(data):
        sys.exit('partial frame header at byte %d' % p)
    kind, n = chr(data[p]), struct.unpack('<I', data[p + 1:p + 5])[0]
    if p + 5 + n > len(data):
        sys.exit('frame %d runs past the end' % len(frames))
    frames.append((kind, data[p + 5:p + 5 + n]))
    p += 5 + n
kinds = ''.join(k for k, _ in frames)
if not kinds.startswith(first) or not kinds.endswith('Q') or kinds.count('Q') != 1:
    sys.exit('unexpected frame order: ' + kinds[:40] + '...' + kinds[-10:])
for k, payload in frames:
    if k == 'A' and (len(payload) % 2 != 1 or payload[0] > 1):
        sys.exit('bad A payload of %d bytes' % len(payload))
    if k == 'E' and len(payload) != 1:
        sys.exit('bad E payload')
channels = ''.join(sorted(set(str(pl[0]) for k, pl in frames if k in 'AE')))
if channels != channels_expected:
    sys.exit('frames on channels %r, expected %r' % (channels, channels_expected))
summary = open(err).read()
m = re.search(r'^feed_wav: (\d+) blocks \(channel 0: (\d+), channel 1: (\d+)\), (\d+) utterances '
              r'\(channel 0: (\d+), channel 1: (\d+)\), (\d+) frames \(A (\d+), E (\d+), L (\d+), Q 1\)$',
              summary, re.M)
if not m:
    sys.exit('no summary line in: ' + summary)
if int(m.group(7)) != len(frames) or int(m.group(8)) != kinds.count('A') or \
   int(m.group(9)) != kinds.count('E') or int(m.group(10)) != kinds.count('L'):
    sys.exit('summary does not match the stream: ' + summary)
if int(m.group(4)) < 1 or int(m.group(9)) != int(m.group(4)):
    sys.exit('every utterance should end with one E: ' + summary)
print(kinds.count('A'), kinds.count('E'), channels)
PY
}

espeak-ng -w "$work/raw.wav" "The quick brown fox jumps over the lazy dog near the river bank." ||
  { echo "espeak-ng failed"; exit 1; }
sox "$work/raw.wav" -r 16000 -c 1 -b 16 "$work/speech.wav" pad 0 1 || { echo "sox failed"; exit 1; }
sox -n -r 16000 -c 1 -b 16 "$work/silence.wav" trim 0 2 || { echo "sox failed"; exit 1; }

# Speech then a second of silence, with an options frame first.
"$feed" --options 'en|none|0|0|60' "$work/speech.wav" >"$work/out" 2>"$work/err"
rc=$?
[ "$rc" -eq 0 ] || fail "speech: exit $rc: $(cat "$work/err")"
check_stream "$work/out" "$work/err" "LAAA" "0" >/dev/null || fail "speech: stream check"
grep -q "channel 1: 0)" "$work/err" || fail "speech: channel 1 had blocks"

# The other side on channel 1, silence on the microphone.
"$feed" "$work/silence.wav" "$work/speech.wav" >"$work/out2" 2>"$work/err2"
rc=$?
[ "$rc" -eq 0 ] || fail "two files: exit $rc: $(cat "$work/err2")"
check_stream "$work/out2" "$work/err2" "AAA" "1" >/dev/null || fail "two files: stream check"

# Real-time pacing and a linger still end with Q (timing itself is not asserted).
sox -n -r 16000 -c 1 -b 16 "$work/short.wav" trim 0 0.35
"$feed" --realtime --linger 0.2 --set gain=6 --set boost=1 "$work/short.wav" >"$work/out3" 2>"$work/err3"
rc=$?
[ "$rc" -eq 0 ] || fail "realtime: exit $rc"
[ "$(od -An -tx1 "$work/out3" | tr -d ' \n')" = "5100000000" ] || fail "realtime: expected only Q"
grep -q "^feed_wav: 4 blocks (channel 0: 4, channel 1: 0)" "$work/err3" || fail "realtime: $(cat "$work/err3")"

# Input that is not 16 kHz mono 16-bit PCM, damaged, or missing: exit 2, a clear message,
# nothing on standard output.
sox "$work/speech.wav" -r 44100 -c 2 "$work/stereo.wav"
sox "$work/speech.wav" -e floating-point -b 32 "$work/float.wav"
head -c 600 /dev/urandom >"$work/garbage.wav"
expect_error() {
  local expected=$1; shift
  "$feed" "$@" >"$work/eout" 2>"$work/eerr"
  local rc=$?
  [ "$rc" -eq 2 ] || fail "$*: exit $rc, expected 2"
  [ ! -s "$work/eout" ] || fail "$*: wrote to standard output"
  grep -qF -- "$expected" "$work/eerr" || fail "$*: no \"$expected\" in: $(cat "$work/eerr")"
}
expect_error "found PCM, 44100 Hz, 2 channels, 16-bit; feed_wav needs 16000 Hz mono 16-bit PCM" "$work/stereo.wav"
expect_error "IEEE float" "$work/float.wav"
expect_error "not a WAV file" "$work/garbage.wav"
expect_error "cannot open" "$work/missing.wav"
expect_error "cannot open" "$work/speech.wav" "$work/missing.wav"
expect_error "usage: feed_wav" --bogus "$work/speech.wav"
expect_error "--set gain" --set gain=99 "$work/speech.wav"

# Written by a streaming tool, the data size is a placeholder: the samples present are played, so
# the frames are those of the same speech read from a complete file.
sox "$work/speech.wav" -t raw - | sox -t raw -r 16000 -e signed -b 16 -c 1 - -t wav - 2>/dev/null |
  cat >"$work/streamed.wav"
"$feed" "$work/streamed.wav" >"$work/sout" 2>/dev/null || fail "streamed: exit $?"
"$feed" "$work/speech.wav" >"$work/fout" 2>/dev/null
cmp -s "$work/sout" "$work/fout" || fail "streamed: frames differ from the complete file's"

"$feed" --options 'en|ru|1|0' "$work/short.wav" >/dev/null 2>"$work/werr" || fail "four-field options: exit $?"
grep -q "fewer than five |-separated fields" "$work/werr" || fail "four-field options: no warning"

"$feed" --help >"$work/hout" 2>"$work/herr"
[ $? -eq 0 ] && grep -q "usage: feed_wav" "$work/herr" || fail "--help"

# A reader that ends early: a clean failure exit, not a signal.
"$feed" "$work/speech.wav" 2>"$work/perr" | head -c 10 >/dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -eq 1 ] || fail "closed reader: exit $rc"
grep -q "standard output closed early" "$work/perr" || fail "closed reader: $(cat "$work/perr")"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "feed_wav command-line checks passed"
