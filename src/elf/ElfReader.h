// Validation of an ELF image in memory and its conversion to host order.
#pragma once

#include "elf/InputState.h"

#include <cstdint>
#include <functional>

#include "elf/ElfImage.h"

// Validates the image and converts its tables to host order in place.
// 0, or an error code 0xBAD000nn. Prints nothing.
uint32_t readElfImage(uint8_t* bytes, uint32_t count, ElfImage* image);

// The same checks without converting anything: the headers are converted in
// copies and the entries one at a time. For a file whose tables share no
// bytes with each other or with the headers (a module this tool wrote), the
// code readElfImage gives. Writes nothing.
uint32_t checkElfImage(const uint8_t* bytes, uint32_t count);

// Reads the input file while the command line is parsed; sets the input
// image, sdaBase, sda2Base, isQdx and checkNoSda. 0, -1 or a reader code.
// `headersRead`, when given, is called once the headers are read and every
// placed section is known to lie in the file, before the symbol and
// relocation tables are read and converted: the image is then in the
// context, hasImage not yet set.
int loadInputElf(ElfContext& ctx, int nameLength, const char* name, uint8_t* bytes, uint32_t count,
                 const std::function<void()>& headersRead = nullptr);
