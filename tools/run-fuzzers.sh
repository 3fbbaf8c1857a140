#!/usr/bin/env bash
# Builds each fuzz target of tests/fuzz with clang's libFuzzer (and ASan/UBSan)
# and runs it briefly. Exit 77 (a skip) when clang is not installed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-10}"
if ! command -v clang++ >/dev/null; then
  echo "clang++ is not installed (tools/install-deps.sh installs clang): fuzzing skipped"
  exit 77
fi
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root/src" -I"$root/tests")
clang++ "${flags[@]}" -o "$out/replies" "$root/tests/fuzz/RepliesFuzz.cpp" \
  "$root/src/framework/LineReader.cpp" "$root/src/sock/NumberedReply.cpp" "$root/src/mail/SmtpReply.cpp" \
  "$root/src/tcpip/Pop3Reply.cpp"
clang++ "${flags[@]}" -o "$out/encoders" "$root/tests/fuzz/EncodersFuzz.cpp" \
  "$root/src/mail/MimeEncoders.cpp" "$root/tests/support/MimeDecoders.cpp"
for target in replies encoders; do
  echo "fuzzing $target for ${seconds}s"
  mkdir -p "$out/corpus-$target"
  "$out/$target" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=1024 "$out/corpus-$target" 2>&1 | tail -3
done
echo "fuzzing finished: no crash, no sanitizer report"
