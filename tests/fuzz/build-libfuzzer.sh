#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz/ with clang against libFuzzer, under ASan and UBSan,
# in build/libfuzzer (the project's own builds stay with GCC), and optionally runs one.
#
#   tests/fuzz/build-libfuzzer.sh                          build every libFuzzer target
#   tests/fuzz/build-libfuzzer.sh run [SECONDS] [TARGET]   build, then fuzz TARGET (decode, the
#                                                          default, registry or envelope) for SECONDS
#                                                          (600 by default)
#
# A run starts from the checked-in corpus (tests/fuzz/decode/corpus with decode.dict and the
# decoder's test messages; tests/fuzz/registry/corpus with registry.dict) and writes what it finds new to
# build/libfuzzer/TARGET-corpus, never into the source tree; a crashing input lands in
# build/libfuzzer/ as crash-<sha1>.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD
build_dir=$source_dir/build/libfuzzer
CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$build_dir" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFAXMAIL_BUILD_TESTS=ON -DFAXMAIL_BUILD_BENCH=OFF \
  -DFAXMAIL_SANITIZE=address,undefined \
  -DFAXMAIL_LIBFUZZER=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$build_dir" --target decode_libfuzzer registry_format_libfuzzer envelope_libfuzzer \
  -j"${FAXMAIL_JOBS:-2}"

if [ "${1:-}" = "run" ]; then
  seconds=${2:-600}
  target=${3:-decode}
  mkdir -p "$build_dir/$target-corpus"
  cd "$build_dir"
  case "$target" in
    decode)
      exec ./tests/fuzz/decode/decode_libfuzzer -max_total_time="$seconds" -rss_limit_mb=2048 \
        -print_final_stats=1 -dict="$source_dir/tests/fuzz/decode/decode.dict" \
        "$build_dir/decode-corpus" \
        "$source_dir/tests/fuzz/decode/corpus" "$source_dir/tests/unit/decode/data" ;;
    registry)
      exec ./tests/fuzz/registry/registry_format_libfuzzer -max_total_time="$seconds" \
        -rss_limit_mb=2048 -print_final_stats=1 \
        -dict="$source_dir/tests/fuzz/registry/registry.dict" "$build_dir/registry-corpus" \
        "$source_dir/tests/fuzz/registry/corpus" ;;
    envelope)
      exec ./tests/fuzz/envelope/envelope_libfuzzer -max_total_time="$seconds" \
        -rss_limit_mb=2048 -print_final_stats=1 \
        -dict="$source_dir/tests/fuzz/envelope/envelope.dict" "$build_dir/envelope-corpus" \
        "$source_dir/tests/fuzz/envelope/corpus" ;;
    *)
      echo "unknown target $target (decode, registry or envelope)" >&2
      exit 2 ;;
  esac
fi
