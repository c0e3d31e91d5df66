#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/Output.h"
#include "driver/VerifyModule.h"
#include "elf/ElfFormat.h"

namespace {

// The section headers of a written module, little-endian (host order) to keep
// them readable here. Only the headers matter to the check, so no contents
// are written.
struct ModuleHeaders {
    uint32_t shoff = 0x40;
    uint32_t eof = 0x340;
    std::vector<Elf32_Shdr> sections;

    static Elf32_Shdr section(uint32_t type, uint32_t flags, uint32_t addr, uint32_t offset, uint32_t size) {
        Elf32_Shdr sh{};
        sh.sh_type = type;
        sh.sh_flags = flags;
        sh.sh_addr = addr;
        sh.sh_offset = offset;
        sh.sh_size = size;
        return sh;
    }

    // Header table 0x40..0x180; CRCs, FileInfo, then one section per region.
    static ModuleHeaders sound() {
        ModuleHeaders m;
        m.sections = {
            Elf32_Shdr{},
            section(SHT_SECTION_CRCS, 0, 0, 0x180, 0x20),
            section(SHT_FILE_INFO, 0, 0, 0x1C0, 0x60),
            section(SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, 0x10000000, 0x240, 0x40),   // DATA
            section(SHT_PROGBITS, SHF_ALLOC, 0xC0000000, 0x280, 0x40),               // Read
            section(SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x2C0, 0x40),  // TEXT
            section(SHT_SYMTAB, 0, 0, 0x300, 0x40),                                  // TEMP
            section(SHT_NOBITS, SHF_ALLOC | SHF_WRITE, 0x10000040, 0x340, 0x100),
        };
        return m;
    }

    std::vector<uint8_t> bytes() const {
        size_t tableEnd = shoff + sections.size() * sizeof(Elf32_Shdr);
        std::vector<uint8_t> out(std::max<size_t>(eof, tableEnd), 0);
        Elf32_Ehdr eh{};
        memcpy(eh.e_ident, "\x7F" "ELF", 4);
        eh.e_ident[EI_DATA] = ELFDATA2LSB;
        eh.e_shoff = shoff;
        eh.e_shentsize = sizeof(Elf32_Shdr);
        eh.e_shnum = uint16_t(sections.size());
        eh.e_ehsize = sizeof(Elf32_Ehdr);
        memcpy(out.data(), &eh, sizeof eh);
        memcpy(out.data() + shoff, sections.data(), sections.size() * sizeof(Elf32_Shdr));
        return out;
    }
};

struct Verified {
    int result;
    std::string out;
};

Verified verify(const ModuleHeaders& m) {
    std::vector<uint8_t> bytes = m.bytes();
    std::string out;
    beginOutputCapture(&out);
    int result = verifyModuleLayout(bytes.data(), m.eof);
    endOutputCapture();
    return {result, out};
}

std::string dump(uint32_t secHdrs, uint32_t crcs, uint32_t fileInfo, uint32_t dataMin, uint32_t dataMax,
                 uint32_t readMin, uint32_t readMax, uint32_t textMin, uint32_t textMax, uint32_t tempMin,
                 uint32_t tempMax) {
    char text[1024];
    snprintf(text, sizeof text,
             "foff_SecHdrs  = 0x%08X\nfoff_CRCs     = 0x%08X\nfoff_FileInfo = 0x%08X\n"
             "foff_DataMin  = 0x%08X\nfoff_DataMax  = 0x%08X\nfoff_ReadMin  = 0x%08X\n"
             "foff_ReadMax  = 0x%08X\nfoff_TextMin  = 0x%08X\nfoff_TextMax  = 0x%08X\n"
             "foff_TempMin  = 0x%08X\nfoff_TempMax  = 0x%08X\n",
             secHdrs, crcs, fileInfo, dataMin, dataMax, readMin, readMax, textMin, textMax, tempMin, tempMax);
    return text;
}

// The values of the sound layout, as the dump shows them.
std::string soundDump() {
    return dump(0x40, 0x180, 0x1C0, 0x240, 0x280, 0x280, 0x2C0, 0x2C0, 0x300, 0x300, 0x340);
}

TEST(VerifyModuleLayoutTest, SoundLayoutPassesSilently) {
    Verified v = verify(ModuleHeaders::sound());
    EXPECT_EQ(v.result, 0);
    EXPECT_EQ(v.out, "");
}

TEST(VerifyModuleLayoutTest, TempEndingAtEofPassesOneBytePastFails) {
    ModuleHeaders m = ModuleHeaders::sound();
    EXPECT_EQ(verify(m).result, 0);
    m.eof = 0x33F;
    Verified v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out, "***Error: TempMax > eof. break.\n" + soundDump());
}

TEST(VerifyModuleLayoutTest, TempStartingPastEofFails) {
    ModuleHeaders m = ModuleHeaders::sound();
    m.sections[6].sh_offset = 0x400;
    m.sections[6].sh_size = 0x10;
    Verified v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out, "***Error: TempMin > eof. break.\n" +
                         dump(0x40, 0x180, 0x1C0, 0x240, 0x280, 0x280, 0x2C0, 0x2C0, 0x300, 0x400, 0x410));
}

TEST(VerifyModuleLayoutTest, SectionEndBeyond4GiBIsPastEof) {
    ModuleHeaders m = ModuleHeaders::sound();
    m.sections[6].sh_size = 0xFFFFFFF0;  // 0x300 + size wraps in 32 bits
    Verified v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out, "***Error: TempMax > eof. break.\n" +
                         dump(0x40, 0x180, 0x1C0, 0x240, 0x280, 0x280, 0x2C0, 0x2C0, 0x300, 0x300, 0xFFFFFFFF));
}

TEST(VerifyModuleLayoutTest, DuplicateSpecialSectionsFailWithoutDump) {
    ModuleHeaders m = ModuleHeaders::sound();
    m.sections.push_back(ModuleHeaders::section(SHT_FILE_INFO, 0, 0, 0x200, 0x10));
    Verified v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out, "***Error: more than one fileinfo section in target file! return -1.\n");

    m = ModuleHeaders::sound();
    m.sections.push_back(ModuleHeaders::section(SHT_SECTION_CRCS, 0, 0, 0x1A0, 0x10));
    v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out, "***Error: more than one crcs section in target file! return -1.\n");

    // A second one of size 0 is not a section at all.
    m = ModuleHeaders::sound();
    m.sections.push_back(ModuleHeaders::section(SHT_SECTION_CRCS, 0, 0, 0x1A0, 0));
    EXPECT_EQ(verify(m).result, 0);
}

TEST(VerifyModuleLayoutTest, MissingOrEmptyCrcsOrFileInfoIsABadSpot) {
    const std::string message = "***Error: SecHrs, FileInfo, or CRCs in bad spot in file. Return -1.\n";
    ModuleHeaders m = ModuleHeaders::sound();
    m.sections[1].sh_type = SHT_PROGBITS;  // no CRC section left; it counts as TEMP now
    Verified v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out, message + dump(0x40, 0xFFFFFFFF, 0x1C0, 0x240, 0x280, 0x280, 0x2C0, 0x2C0, 0x300, 0x180,
                                    0x340));

    m = ModuleHeaders::sound();
    m.sections[2].sh_size = 0;
    v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out, message + dump(0x40, 0x180, 0xFFFFFFFF, 0x240, 0x280, 0x280, 0x2C0, 0x2C0, 0x300, 0x300,
                                    0x340));
}

TEST(VerifyModuleLayoutTest, HeadersOrSpecialSectionsAfterDataAreABadSpot) {
    const std::string message = "***Error: SecHrs, FileInfo, or CRCs in bad spot in file. Return -1.\n";
    ModuleHeaders m = ModuleHeaders::sound();
    m.sections[2].sh_offset = 0x240;  // FileInfo at DataMin
    Verified v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out.substr(0, message.size()), message);

    m = ModuleHeaders::sound();
    m.shoff = 0x240;
    m.eof = 0x400;
    v = verify(m);
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.out, message + dump(0x240, 0x180, 0x1C0, 0x240, 0x280, 0x280, 0x2C0, 0x2C0, 0x300, 0x300,
                                    0x340));

    // Their order among themselves is not checked.
    m = ModuleHeaders::sound();
    m.sections[1].sh_offset = 0x1C0;
    m.sections[2].sh_offset = 0x180;
    m.sections[2].sh_size = 0x20;
    EXPECT_EQ(verify(m).result, 0);
}

TEST(VerifyModuleLayoutTest, RegionOrderFailures) {
    struct Case {
        const char* message;
        uint32_t section, offset, size;
    };
    const Case cases[] = {
        {"***Error: DataMin > ReadMin. break.\n", 3, 0x2C0, 0x40},   // DATA behind LOAD
        {"***Error: DataMax > ReadMin. break.\n", 3, 0x240, 0x48},   // DATA runs into LOAD
        {"***Error: ReadMin > TextMin. break.\n", 4, 0x300, 0x40},   // LOAD behind TEXT
        {"***Error: ReadMax > TextMin. break.\n", 4, 0x280, 0x48},   // LOAD runs into TEXT
        {"***Error: TextMin > TempMin. break.\n", 5, 0x308, 0x10},   // TEXT behind TEMP
        {"***Error: TextMax > TempMin. break.\n", 5, 0x2C0, 0x48},   // TEXT runs into TEMP
    };
    for (const Case& c : cases) {
        ModuleHeaders m = ModuleHeaders::sound();
        m.sections[c.section].sh_offset = c.offset;
        m.sections[c.section].sh_size = c.size;
        Verified v = verify(m);
        EXPECT_EQ(v.result, -1) << c.message;
        ASSERT_GE(v.out.size(), strlen(c.message));
        EXPECT_EQ(v.out.substr(0, strlen(c.message)), c.message);
        EXPECT_EQ(v.out.find("foff_SecHdrs  = 0x00000040\n"), strlen(c.message)) << c.message;
    }

    ModuleHeaders m = ModuleHeaders::sound();
    m.sections[3].sh_offset = 0x2C0;
    EXPECT_EQ(verify(m).out, "***Error: DataMin > ReadMin. break.\n" +
                                 dump(0x40, 0x180, 0x1C0, 0x2C0, 0x300, 0x280, 0x2C0, 0x2C0, 0x300, 0x300, 0x340));
}

// A failing eof shows where each section was counted.
std::string regionDumpFor(uint32_t type, uint32_t flags, uint32_t addr) {
    ModuleHeaders m = ModuleHeaders::sound();
    m.sections.push_back(ModuleHeaders::section(type, flags, addr, 0x340, 0x40));
    m.eof = 0x300;
    return verify(m).out;
}

TEST(VerifyModuleLayoutTest, DataRangeBoundaries) {
    // 0x10000000 and 0xBFFFFFFF are DATA.
    for (uint32_t addr : {0x10000000u, 0xBFFFFFFFu})
        EXPECT_EQ(regionDumpFor(SHT_PROGBITS, SHF_ALLOC, addr),
                  "***Error: DataMax > ReadMin. break.\n" +
                      dump(0x40, 0x180, 0x1C0, 0x240, 0x380, 0x280, 0x2C0, 0x2C0, 0x300, 0x300, 0x340))
            << std::hex << addr;
    // 0x0FFFFFFF and 0xC0000000 are Read.
    for (uint32_t addr : {0x0FFFFFFFu, 0xC0000000u})
        EXPECT_EQ(regionDumpFor(SHT_PROGBITS, SHF_ALLOC, addr),
                  "***Error: ReadMax > TextMin. break.\n" +
                      dump(0x40, 0x180, 0x1C0, 0x240, 0x280, 0x280, 0x380, 0x2C0, 0x300, 0x300, 0x340))
            << std::hex << addr;
}

TEST(VerifyModuleLayoutTest, ExecutableTablesArePlacedByAddress) {
    const std::string dataDump = "***Error: DataMax > ReadMin. break.\n" +
                                 dump(0x40, 0x180, 0x1C0, 0x240, 0x380, 0x280, 0x2C0, 0x2C0, 0x300, 0x300, 0x340);
    EXPECT_EQ(regionDumpFor(SHT_IMPORT_TABLE, SHF_ALLOC | SHF_EXECINSTR, 0x10000100), dataDump);
    EXPECT_EQ(regionDumpFor(SHT_EXPORT_TABLE, SHF_ALLOC | SHF_EXECINSTR, 0x10000100), dataDump);
    // Without SHF_ALLOC such a table is TEMP.
    EXPECT_EQ(regionDumpFor(SHT_IMPORT_TABLE, SHF_EXECINSTR, 0x10000100),
              "***Error: TempMax > eof. break.\n" +
                  dump(0x40, 0x180, 0x1C0, 0x240, 0x280, 0x280, 0x2C0, 0x2C0, 0x300, 0x300, 0x380));
    // Any other executable section is TEXT whatever its address.
    EXPECT_EQ(regionDumpFor(SHT_PROGBITS, SHF_EXECINSTR, 0x10000100),
              "***Error: TextMax > TempMin. break.\n" +
                  dump(0x40, 0x180, 0x1C0, 0x240, 0x280, 0x280, 0x2C0, 0x2C0, 0x380, 0x300, 0x340));
}

TEST(VerifyModuleLayoutTest, EmptyDataCollapsesBehindCrcsAndFileInfo) {
    // Only NOBITS data: the DATA region is empty and starts where the
    // special sections end, so the module is sound.
    ModuleHeaders m = ModuleHeaders::sound();
    m.sections[3].sh_type = SHT_NOBITS;
    Verified v = verify(m);
    EXPECT_EQ(v.result, 0);
    EXPECT_EQ(v.out, "");

    m.eof = 0x33F;
    EXPECT_EQ(verify(m).out, "***Error: TempMax > eof. break.\n" +
                                 dump(0x40, 0x180, 0x1C0, 0x220, 0x220, 0x280, 0x2C0, 0x2C0, 0x300, 0x300, 0x340));

    // The largest end counts: CRCs behind FileInfo.
    m.sections[1].sh_offset = 0x230;
    m.sections[1].sh_size = 0x30;
    EXPECT_EQ(verify(m).out, "***Error: TempMax > eof. break.\n" +
                                 dump(0x40, 0x230, 0x1C0, 0x260, 0x260, 0x280, 0x2C0, 0x2C0, 0x300, 0x300, 0x340));

    // Empty regions behind collapse onto the one before.
    m = ModuleHeaders::sound();
    m.sections.resize(3);
    m.eof = 0x21F;
    EXPECT_EQ(verify(m).out, "***Error: TempMin > eof. break.\n" +
                                 dump(0x40, 0x180, 0x1C0, 0x220, 0x220, 0x220, 0x220, 0x220, 0x220, 0x220, 0x220));
}

TEST(VerifyModuleLayoutTest, HeaderTablePastTheEndIsRefused) {
    ModuleHeaders m = ModuleHeaders::sound();
    std::vector<uint8_t> bytes = m.bytes();
    std::string out;
    beginOutputCapture(&out);
    int result = verifyModuleLayout(bytes.data(), 0x40 + 7 * 40);  // one header short
    endOutputCapture();
    EXPECT_EQ(result, -1);
    EXPECT_NE(out.find("***Error: "), std::string::npos);
    EXPECT_EQ(out.find("foff_"), std::string::npos);
}

}  // namespace
