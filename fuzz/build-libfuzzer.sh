#!/bin/bash
# Builds the fuzz targets with libFuzzer, ASan and UBSan (clang, 32-bit, as
# the module runs) into BUILD_DIR/fuzz/ (BUILD_DIR defaults to build).
# Each binary is fuzz/<target> there: partitions, volume, file_record,
# data_runs, index_root, index_alloc. See fuzz/README.md to run them.
#
#   fuzz/build-libfuzzer.sh [BUILD_DIR]
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$SRC/build}
mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)
OUT="$BUILD/fuzz"
OBJ="$OUT/libfuzzer-obj"
mkdir -p "$OBJ"

CXX=${CXX:-clang++}
# vptr checks need RTTI, which the module is built without.
SAN="-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined"
COMMON="-m32 -std=c++17 -O1 -g -fno-omit-frame-pointer -D_FILE_OFFSET_BITS=64 -I$SRC"

compile() {  # compile SOURCE OBJECT EXTRA_FLAGS...
    local source=$1 object=$2
    shift 2
    if [ ! -e "$object" ] || [ "$source" -nt "$object" ]; then
        # shellcheck disable=SC2086
        $CXX $COMMON $SAN -fsanitize=fuzzer-no-link "$@" -c "$source" -o "$object"
    fi
}

objects=()
# The module's own sources, built as its host library is.
while IFS= read -r source; do
    object="$OBJ/module-$(echo "${source#"$SRC"/}" | tr '/' '_').o"
    compile "$source" "$object" -fno-exceptions -fno-rtti
    objects+=("$object")
done < <(find "$SRC/ntfs_recovery_pei" -name '*.cpp' | sort)
# The simulated platform and the fuzz support code.
for source in "$SRC"/host/platform/BlockDevice.cpp \
              "$SRC"/host/platform/RecoveryBlockIo.cpp \
              "$SRC"/host/platform/PpiDatabase.cpp \
              "$SRC"/host/pei/SimulatedPeiPlatform.cpp \
              "$SRC"/fuzz/FuzzInput.cpp "$SRC"/fuzz/FuzzPlatform.cpp; do
    object="$OBJ/host-$(basename "$source" .cpp).o"
    compile "$source" "$object"
    objects+=("$object")
done

for pair in partitions:FuzzPartitions volume:FuzzVolume \
            file_record:FuzzFileRecord data_runs:FuzzDataRuns \
            index_root:FuzzIndexRoot index_alloc:FuzzIndexAllocation; do
    name=${pair%%:*}
    source="$SRC/fuzz/${pair#*:}.cpp"
    compile "$source" "$OBJ/target-$name.o"
    # shellcheck disable=SC2086
    $CXX $COMMON $SAN -fsanitize=fuzzer "$OBJ/target-$name.o" "${objects[@]}" \
        -o "$OUT/$name"
    echo "built $OUT/$name"
done
