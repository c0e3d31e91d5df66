// The reader on inputs linked by the GNU PowerPC cross toolchain, built
// while the test runs (skipped where the toolchain is not installed).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "core/Output.h"
#include "support/TestContext.h"
#include "elf/ElfReader.h"
#include "support/ElfBuilder.h"

namespace {

const char* const kSource = R"(extern int imported(int);
int counter = 5;
int *pointer = &counter;
static int helper(int x) { return x * 3 + counter; }
int entry(int x) { counter += helper(x); return imported(counter); }
)";

const char* const kSmallDataSource = R"(int small = 3;
int bump(void) { return ++small; }
)";

const char* const kScript = R"(SECTIONS {
  . = 0x02000000;
  .text : { *(.text*) }
  . = 0x10000000;
  .rodata : { *(.rodata*) }
  .data : { *(.data*) }
  .sdata : { *(.sdata*) }
  .bss : { *(.bss*) *(.sbss*) }
  /DISCARD/ : { *(.comment) *(.note*) *(.eh_frame) *(.gnu.attributes) }
}
)";

bool haveToolchain() {
    return std::system("command -v powerpc-linux-gnu-gcc >/dev/null 2>&1 && "
                       "command -v powerpc-linux-gnu-ld >/dev/null 2>&1") == 0;
}

void writeText(const std::string& path, const char* text) { std::ofstream(path) << text; }

// Compiles `source` and links it with the script; the linked file's bytes,
// or empty after reporting the toolchain's output.
std::vector<uint8_t> linkInput(const char* source, const std::string& compileFlags, const std::string& linkFlags) {
    const std::string dir = testTempDir();
    writeText(dir + "/in.c", source);
    writeText(dir + "/link.ld", kScript);
    const std::string log = dir + "/toolchain.log";
    const std::string command = "cd '" + dir + "' && powerpc-linux-gnu-gcc -O2 -fno-pic -ffreestanding " +
                                compileFlags + " -c in.c -o in.o >toolchain.log 2>&1 && powerpc-linux-gnu-ld " +
                                linkFlags +
                                " --emit-relocs -z noexecstack -n --unresolved-symbols=ignore-all -T link.ld in.o "
                                "-o in.elf >>toolchain.log 2>&1";
    if (std::system(command.c_str()) != 0) {
        std::ifstream in(log);
        ADD_FAILURE() << "toolchain failed: " << std::string(std::istreambuf_iterator<char>(in), {});
        return {};
    }
    std::ifstream in(dir + "/in.elf", std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

const Elf32_Shdr* sectionNamed(const ElfImage& image, const char* name) {
    const Elf32_Ehdr& h = image.header();
    auto at = [&](uint32_t i) { return reinterpret_cast<const Elf32_Shdr*>(image.sectionHeaders + 40 * i); };
    const char* names = reinterpret_cast<const char*>(image.bytes + at(h.e_shstrndx)->sh_offset);
    for (uint32_t i = 1; i < h.e_shnum; ++i)
        if (strcmp(names + at(i)->sh_name, name) == 0) return at(i);
    return nullptr;
}

int load(std::vector<uint8_t>& bytes, std::string* printed) {
    beginOutputCapture(printed);
    int result = loadInputElf(ctx, 6, "in.elf", bytes.data(), uint32_t(bytes.size()));
    endOutputCapture();
    return result;
}

class GnuInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveToolchain()) GTEST_SKIP() << "the GNU PowerPC cross toolchain is not installed";
        resetTestContext();
    }
    void TearDown() override { resetTestContext(); }
};

TEST_F(GnuInputTest, LinkedExecutableIsAcceptedInBothByteOrders) {
    for (bool little : {false, true}) {
        resetTestContext();
        std::vector<uint8_t> bytes =
            linkInput(kSource, little ? "-mno-sdata -mlittle" : "-mno-sdata", little ? "-EL" : "");
        ASSERT_FALSE(bytes.empty());
        std::string printed;
        ASSERT_EQ(load(bytes, &printed), 0) << printed;
        EXPECT_EQ(printed, "");
        const ElfImage& image = ctx.input.image;
        EXPECT_EQ(image.littleEndian(), little);
        EXPECT_EQ(image.header().e_machine, EM_PPC);
        EXPECT_FALSE(ctx.settings.isQdx);
        EXPECT_TRUE(ctx.settings.checkNoSda);
        EXPECT_EQ(ctx.input.smallData.sdaBase, 0x8000u);

        const Elf32_Shdr* text = sectionNamed(image, ".text");
        const Elf32_Shdr* rela = sectionNamed(image, ".rela.text");
        ASSERT_TRUE(text && rela);
        EXPECT_EQ(text->sh_addr, 0x02000000u);
        EXPECT_EQ(rela->sh_type, SHT_RELA);
        // The relocations are in host order: the last one is the call.
        const uint32_t entries = rela->sh_size / 12;
        ASSERT_GE(entries, 1u);
        auto call = reinterpret_cast<const Elf32_Rela*>(image.bytes + rela->sh_offset + 12 * (entries - 1));
        EXPECT_EQ(relocationType(call->r_info), R_PPC_REL24);
        EXPECT_GE(call->r_offset, 0x02000000u);
        EXPECT_LT(call->r_offset, 0x02000000u + text->sh_size);
    }
}

TEST_F(GnuInputTest, SmallDataBaseAboveTheDefaultMakesAQdx) {
    std::vector<uint8_t> bytes =
        linkInput(kSmallDataSource, "-meabi -msdata=eabi -G 8", "'--defsym=_SDA_BASE_=ADDR(.sdata)+0x8000'");
    ASSERT_FALSE(bytes.empty());
    std::string printed;
    ASSERT_EQ(load(bytes, &printed), 0) << printed;
    EXPECT_TRUE(ctx.settings.isQdx);
    EXPECT_FALSE(ctx.settings.checkNoSda);
    EXPECT_EQ(ctx.input.smallData.sdaBase, 0x10008000u);
    EXPECT_EQ(ctx.input.smallData.sda2Base, 0x8000u);
}

TEST_F(GnuInputTest, LinkersOwnSmallDataBaseLiesOutsideItsSection) {
    // ld places its _SDA_BASE_ as a local object 0x8000 bytes past .sdata's
    // start, outside the section.
    std::vector<uint8_t> bytes = linkInput(kSmallDataSource, "-meabi -msdata=eabi -G 8", "");
    ASSERT_FALSE(bytes.empty());
    std::string printed;
    EXPECT_EQ(uint32_t(load(bytes, &printed)), 0xBAD00007u);
    EXPECT_EQ(printed, "*** Error 0xBAD00007 parsing ELF file \"in.elf\"\n");
}

}  // namespace
