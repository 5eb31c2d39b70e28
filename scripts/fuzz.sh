#!/usr/bin/env bash
# Fuzzes opening and pumping FFStream with libFuzzer for a bounded time:
#   bash scripts/fuzz.sh [seconds]   (default 180)
# The seed corpus is made with ffmpeg into a temporary folder; crashing inputs
# are kept in $FUZZ_BUILD_DIR/artifacts (default build-fuzz/artifacts).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}

bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNELVO_BUILD_FUZZ=ON -DNELVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target fuzz_ffstream -j"$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seeds="$work/seeds"
corpus="$work/corpus"
artifacts="$build_dir/artifacts"
mkdir -p "$seeds" "$corpus" "$artifacts"

# Short, small files of every container and codec the program meets.
make_seed() {
    local out=$1
    shift
    ffmpeg -hide_banner -loglevel error -nostdin -y "$@" "$seeds/$out" || echo "seed $out not made" >&2
}
mono="sine=frequency=440:sample_rate=8000:duration=0.25"
stereo="aevalsrc=sin(440*2*PI*t)|sin(660*2*PI*t):s=22050:d=0.25"
make_seed tone.wav -f lavfi -i "$stereo" -c:a pcm_s16le
make_seed tone8.wav -f lavfi -i "$mono" -c:a pcm_u8
make_seed float.wav -f lavfi -i "$mono" -c:a pcm_f32le
make_seed tone.aiff -f lavfi -i "$mono" -c:a pcm_s16be
make_seed tone.flac -f lavfi -i "$stereo" -c:a flac
make_seed tone.mp3 -f lavfi -i "$stereo" -c:a libmp3lame -b:a 32k
make_seed tone.ogg -f lavfi -i "$stereo" -c:a libvorbis
make_seed tone.opus -f lavfi -i "$mono" -c:a libopus -b:a 16k
make_seed tone.m4a -f lavfi -i "$stereo" -c:a aac -b:a 32k
make_seed six.wav -f lavfi -i "aevalsrc=sin(440*2*PI*t)|0|0|0|0|0:c=5.1:s=8000:d=0.2" -c:a pcm_s16le
make_seed clip.mkv -f lavfi -i "testsrc=size=16x16:rate=5:duration=0.4" -f lavfi -i "$mono" \
    -map 0:v -map 1:a -c:v mpeg4 -c:a libvorbis -shortest
make_seed clip.mp4 -f lavfi -i "testsrc=size=16x16:rate=5:duration=0.4" -f lavfi -i "$mono" \
    -map 0:v -map 1:a -c:v mpeg4 -c:a aac -shortest
printf 'ffconcat version 1.0\nfile tone.wav\n' > "$seeds/list.ffconcat"

echo "fuzzing FFStream for ${seconds}s with $(ls "$seeds" | wc -l) seeds"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
    "$build_dir/fuzz/fuzz_ffstream" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
    -rss_limit_mb=2560 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$seeds"
