#include "module/StagedModule.h"

#include <zlib.h>

#include <random>

#include "module/FileInfo.h"
#include "module/ModuleBuildSupport.h"
#include "module/PlaceSections.h"
#include "module/RegionLayout.h"
#include "module/SectionTable.h"
#include "module/WriteModule.h"
#include "support/TestContext.h"
#include "symbols/SymbolTestInput.h"

namespace moduletest {

using namespace symtest;

::testing::AssertionResult stage(ElfBuilder& b, std::vector<uint8_t>& bytes, const std::vector<uint32_t>& kept) {
    if (b.minimumSize < 512) b.minimumSize = 512;
    bytes = b.build();
    ::testing::AssertionResult loaded = loadInput(bytes);
    if (!loaded) return loaded;
    ModuleState& module = ctx.module;
    const uint32_t shnum = ctx.input.image.sectionCount();
    module.indexMap.oldToNew.assign(shnum, -1);
    module.indexMap.oldToNew[0] = 0;
    module.indexMap.newToOld.assign(shnum, 0);
    module.indexMap.keptCount = 1;
    for (uint32_t old : kept) {
        module.indexMap.oldToNew[old] = int32_t(module.indexMap.keptCount);
        module.indexMap.newToOld[module.indexMap.keptCount++] = old;
    }
    FileInfoRecord& info = module.fileInfo;
    info.magic = kFileInfoMagic;
    info.pathOffset = 0x60;
    info.constant5078 = 0x5078;
    info.compressionLevel = uint32_t(-1);
    module.fileInfoSize = 0x80;
    info.bytes.assign(0x80, 0);
    ctx.settings.outputPath = testTempDir() + "/staged.qdl";
    return ::testing::AssertionSuccess();
}

Finished finishBuild() {
    Finished f;
    beginOutputCapture(&f.out);
    f.result = buildSectionTable(ctx);
    if (f.result == 0) f.result = placeSections(ctx);
    if (f.result == 0) f.result = finishRegionSizes(ctx);
    if (f.result == 0) finishSpecialSections(ctx);
    AtomicFile written;
    if (f.result == 0) f.result = writeModuleFile(ctx, written);
    // The check of the written module is not part of this stage: the file
    // takes its name at once.
    if (f.result == 0) {
        EXPECT_EQ(atomicFileRename(written), 0);
    }
    endOutputCapture();
    f.module = readWholeFile(ctx.settings.outputPath);
    return f;
}

CheckedModule checked(const std::vector<uint8_t>& bytes) {
    CheckedModule module;
    module.regionsSetByHand = true;  // the tests stage FileInfo's sizes themselves
    for (const std::string& problem : checkModule(bytes, module)) ADD_FAILURE() << problem;
    return module;
}

uint32_t streamLength(const std::vector<uint8_t>& data, int level) {
    uLongf length = compressBound(uLong(data.size()));
    std::vector<uint8_t> stream(length);
    EXPECT_EQ(compress2(stream.data(), &length, data.data(), uLong(data.size()), level), Z_OK);
    return uint32_t(length);
}

std::vector<uint8_t> counting(uint32_t size) {
    std::vector<uint8_t> data(size);
    for (uint32_t k = 0; k < size; ++k) data[k] = uint8_t(k + 1);
    return data;
}

std::vector<uint8_t> randomBytes(size_t size, unsigned seed) {
    std::vector<uint8_t> data(size);
    std::mt19937 random(seed);
    for (auto& b : data) b = uint8_t(random());
    return data;
}

GroupsInput groupsInput(bool bigEndian) {
    GroupsInput g;
    g.b.bigEndian = bigEndian;
    g.b.flags = 0x8000;
    g.b.entry = 0x02000004;
    g.text = g.b.addSection({.name = ".text", .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000000,
                             .data = g.b.words({0x38600000, 0x4E800020, 0x60000000, 0x60000000}), .addralign = 4});
    g.data = g.b.addSection({.name = ".data", .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000000,
                             .data = std::vector<uint8_t>(256, 0), .addralign = 8});
    g.bss = g.b.addSection(
        {.name = ".bss", .type = SHT_NOBITS, .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000100, .size = 64, .addralign = 8});
    g.rodata = g.b.addSection({.name = ".rodata", .flags = SHF_ALLOC, .addr = 0x10000200, .data = counting(20)});
    g.exports = g.b.addSection({.name = ".fexports", .type = SHT_EXPORT_TABLE, .flags = SHF_ALLOC, .addr = 0xC0000000,
                                .data = std::vector<uint8_t>(16, 0), .addralign = 4});
    g.symtab = g.b.addSymbolTable(
        {{.name = "main", .value = 0x02000000, .size = 8, .info = symbolInfo(STB_GLOBAL, STT_FUNC), .shndx = 1}});
    g.strtab = g.symtab + 1;
    g.rela = g.b.addRela(g.text, {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_ADDR32}}, g.symtab);
    g.names = g.rela + 1;
    return g;
}

void setGroupSizes() {
    ModuleState& module = ctx.module;
    module.fileInfo.dataSize = 0x240;
    module.fileInfo.loadSize = 0x10;
    module.fileInfo.textSize = 0x40;
    module.fileInfo.tempSize = 0x140;
    module.fileInfo.trampAdj = 0x20;
    module.regions[DATA].align = 8;
    module.regions[LOAD].align = 4;
    module.regions[TEXT].align = 16;
}

std::vector<uint8_t> sliceOf(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    return std::vector<uint8_t>(bytes.begin() + long(offset), bytes.begin() + long(offset + length));
}

}  // namespace moduletest
