# The module's export tables: a header (count, signature), one 8-byte entry
# per export (address, offset of the name from the table start), the names.
        .section .fexports,"ax",@0x80000001
fexports_start:
        .long   2, 0x5eed0001
        .long   demo_square, name_square - fexports_start
        .long   demo_run, name_run - fexports_start
name_square:
        .asciz  "demo_square"
name_run:
        .asciz  "demo_run"
        .balign 4

        .section .dexports,"a",@0x80000001
dexports_start:
        .long   1, 0x5eed0002
        .long   squares, name_squares - dexports_start
name_squares:
        .asciz  "squares"
        .balign 4
