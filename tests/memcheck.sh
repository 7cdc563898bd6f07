#!/usr/bin/env bash
# A complete append and a complete split under valgrind's memcheck; any error fails.
#   memcheck.sh TOOL SPLIT_DRIVER WORK_DIR
set -euo pipefail
tool=$1 split=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
cd "$work"
memcheck=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
          --errors-for-leak-kinds=definite,indirect --quiet)

head -c 300000 /dev/urandom > a.bin
head -c 200000 /dev/urandom > b.bin
cat a.bin b.bin > expected
"${memcheck[@]}" "$tool" a.bin b.bin out.bin > /dev/null
cmp out.bin expected
[ ! -e a.bin ] && [ ! -e b.bin ]

# A 1000-byte header whose length field (0x3e8, little-endian) sits at byte 4.
{ head -c 4 /dev/urandom; printf '\xe8\x03\x00\x00'; head -c 250000 /dev/urandom; } > src.bin
cp src.bin source
"${memcheck[@]}" "$split" 4 src.bin h.bin b.bin > /dev/null
cat h.bin b.bin | cmp - source
[ "$(stat -c %s h.bin)" -eq 1000 ] && [ ! -e src.bin ]
echo "memcheck: append and split clean"
