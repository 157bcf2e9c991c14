#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz/ with clang against libFuzzer, under ASan and UBSan,
# in build/libfuzzer (the project's own builds stay with GCC), and optionally runs them.
#
#   tests/fuzz/build-libfuzzer.sh                          build every libFuzzer target
#   tests/fuzz/build-libfuzzer.sh run [SECONDS] [TARGET]   build, then fuzz TARGET (decode, the
#                                                          default, registry, smtp_session, dns,
#                                                          compose or envelope) for SECONDS
#                                                          (600 by default)
#   tests/fuzz/build-libfuzzer.sh ci [SECONDS]             build, then fuzz every target for
#                                                          SECONDS (60 by default), two at a
#                                                          time; fails when any of them finds a
#                                                          crash, a leak or a hang
#
# A run starts from the checked-in corpus (tests/fuzz/TARGET/corpus with its .dict; the decoder
# also takes its test messages) and writes what it finds new to build/libfuzzer/TARGET-corpus,
# never into the source tree; a crashing input lands in build/libfuzzer/artifacts/ as
# TARGET-crash-<sha1> (leak-, timeout-, oom- likewise). FAXMAIL_JOBS sets the build's jobs.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD
build_dir=$source_dir/build/libfuzzer
targets=(decode registry smtp_session dns compose envelope)
# An input that runs longer than this is a hang: no target needs a second for any input.
input_timeout=25
# The decoder's 64 Ki-entry escape table is built at compile time: more steps than clang's
# default budget for constant evaluation (GCC's is larger).
constexpr_steps=-fconstexpr-steps=16777216

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$build_dir" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFAXMAIL_BUILD_TESTS=ON -DFAXMAIL_BUILD_BENCH=OFF \
  -DFAXMAIL_SANITIZE=address,undefined \
  -DFAXMAIL_LIBFUZZER=ON -DFAXMAIL_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $constexpr_steps" >/dev/null
cmake --build "$build_dir" -j"${FAXMAIL_JOBS:-2}" --target decode_libfuzzer \
  registry_format_libfuzzer smtp_session_libfuzzer dns_response_libfuzzer compose_libfuzzer \
  envelope_libfuzzer

# The command line that fuzzes target $1 for $2 seconds (in the array "command").
command_for() {
  local target=$1 seconds=$2 binary dict
  local extra=()
  case "$target" in
    decode)
      binary=tests/fuzz/decode/decode_libfuzzer; dict=tests/fuzz/decode/decode.dict
      extra=("$source_dir/tests/unit/decode/data") ;;
    registry)
      binary=tests/fuzz/registry/registry_format_libfuzzer; dict=tests/fuzz/registry/registry.dict ;;
    smtp_session)
      binary=tests/fuzz/smtp_session/smtp_session_libfuzzer
      dict=tests/fuzz/smtp_session/smtp_session.dict ;;
    dns)
      binary=tests/fuzz/dns/dns_response_libfuzzer; dict=tests/fuzz/dns/dns.dict ;;
    compose)
      binary=tests/fuzz/compose/compose_libfuzzer; dict=tests/fuzz/compose/compose.dict ;;
    envelope)
      binary=tests/fuzz/envelope/envelope_libfuzzer; dict=tests/fuzz/envelope/envelope.dict ;;
    *)
      echo "unknown target $target (${targets[*]})" >&2
      return 2 ;;
  esac
  mkdir -p "$build_dir/$target-corpus" "$build_dir/artifacts"
  command=("$build_dir/$binary" -max_total_time="$seconds" -timeout="$input_timeout"
    -rss_limit_mb=2048 -print_final_stats=1 -dict="$source_dir/$dict"
    -artifact_prefix="$build_dir/artifacts/$target-"
    "$build_dir/$target-corpus" "$source_dir/tests/fuzz/$target/corpus" ${extra[@]+"${extra[@]}"})
}

case "${1:-}" in
  run)
    command_for "${3:-decode}" "${2:-600}"
    cd "$build_dir"
    exec "${command[@]}" ;;
  ci)
    seconds=${2:-60}
    cd "$build_dir"
    failed=()
    # Two at a time: the machines this runs on have two cores.
    for ((i = 0; i < ${#targets[@]}; i += 2)); do
      pids=()
      names=()
      for target in "${targets[@]:i:2}"; do
        command_for "$target" "$seconds"
        "${command[@]}" >"$build_dir/$target.log" 2>&1 &
        pids+=($!)
        names+=("$target")
      done
      for j in "${!pids[@]}"; do
        if wait "${pids[j]}"; then
          echo "fuzz ${names[j]}: clean, $(grep -E '^stat::number_of_executed_units' \
            "$build_dir/${names[j]}.log" | awk '{print $2}') executions in $seconds s"
        else
          echo "fuzz ${names[j]}: FAILED (log: $build_dir/${names[j]}.log)" >&2
          tail -n 40 "$build_dir/${names[j]}.log" >&2
          failed+=("${names[j]}")
        fi
      done
    done
    if [ ${#failed[@]} -gt 0 ]; then
      echo "fuzz targets with findings: ${failed[*]}" >&2
      exit 1
    fi ;;
  "") ;;
  *)
    echo "usage: $0 [run [SECONDS] [TARGET] | ci [SECONDS]]" >&2
    exit 2 ;;
esac
