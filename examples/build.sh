#!/bin/sh
# Links demo.elf from its sources with the GNU PowerPC cross toolchain.
set -e
cd "$(dirname "$0")"
powerpc-linux-gnu-gcc -O2 -fno-pic -mno-sdata -ffreestanding -c demo.c -o demo.o
powerpc-linux-gnu-as exports.s -o exports.o
powerpc-linux-gnu-ld --emit-relocs --unresolved-symbols=ignore-all -z noexecstack -n -T demo.ld demo.o exports.o -o demo.elf
rm -f demo.o exports.o
