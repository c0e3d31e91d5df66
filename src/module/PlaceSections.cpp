#include "module/PlaceSections.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "core/Output.h"
#include "deflate/Deflate.h"
#include "deflate/RunPieces.h"
#include "module/ModuleState.h"
#include "elf/SectionContents.h"
#include "module/CompressionJobs.h"
#include "module/CrcPieces.h"
#include "module/EarlySections.h"

namespace {

enum PlacementPass { passData, passLoad, passText, passTemp };

const char* const kPassBanner[] = {
    "--DATA------------------\n",
    "--LOAD------------------\n",
    "--TEXT------------------\n",
    "--TEMP------------------\n",
};

constexpr uint32_t kSmallestCompressed = 32;
// From this size on a section's work may be shared among the threads.
constexpr uint32_t kSharedSectionSize = 2u << 20;
// Compressing a byte takes about as long as the CRC of thirty bytes.
constexpr uint64_t kCompressCostPerByte = 30;

uint32_t align64(uint32_t value) { return (value + 63) & ~63u; }

bool isTableType(uint32_t type) { return type == SHT_EXPORT_TABLE || type == SHT_IMPORT_TABLE; }

// Whether a pass takes a kept section.
bool passTakes(PlacementPass pass, const Elf32_Shdr& s, bool offsetAssigned) {
    if (s.sh_size == 0) return false;
    const bool alloc = s.sh_flags & SHF_ALLOC;
    const bool exec = s.sh_flags & SHF_EXECINSTR;
    switch (pass) {
        case passData: return alloc && !exec && !isTableType(s.sh_type) && s.sh_addr < kLoaderRangeStart;
        case passLoad: return alloc && (isTableType(s.sh_type) || s.sh_addr >= kLoaderRangeStart);
        case passText: return alloc && exec && !isTableType(s.sh_type);
        case passTemp: return !offsetAssigned;
    }
    return false;
}

// The region size in FileInfo that decides whether a pass runs, and that
// its summary line shows.
uint32_t passRegionSize(ModuleContext& ctx, PlacementPass pass) {
    const FileInfoRecord& info = ctx.module.fileInfo;
    switch (pass) {
        case passData: return info.dataSize;
        case passLoad: return info.loadSize;
        case passText: return info.textSize;
        case passTemp: return info.tempSize;
    }
    return 0;
}

void setPassAlignment(ModuleContext& ctx, PlacementPass pass, uint32_t alignment) {
    FileInfoRecord& info = ctx.module.fileInfo;
    if (pass == passData) info.dataAlign = alignment;
    if (pass == passLoad) info.loadAlign = alignment;
    if (pass == passText) info.textAlign = alignment;
}

struct PlannedSection {
    uint32_t newIndex = 0;
    PlacementPass pass = passData;
    bool nobitsInData = false;  // takes an offset but no file bytes
    bool tryCompress = false;
    uint32_t crc = 0;
    CompressedSection compressed;
};

struct PlacementPlan {
    bool passRuns[4] = {false, false, false, false};
    std::vector<PlannedSection> sections;  // in placement order
};

// Which sections each pass takes depends only on the headers and the region
// sizes, so the whole placement can be planned before anything is
// compressed.
PlacementPlan planPlacement(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    const uint32_t n = module.outputSectionCount;
    std::vector<bool> assigned(n, false);
    PlacementPlan plan;
    for (PlacementPass pass : {passData, passLoad, passText, passTemp}) {
        if (passRegionSize(ctx, pass) == 0) continue;
        plan.passRuns[pass] = true;
        for (uint32_t i = 1; i + 2 < n; ++i) {
            const Elf32_Shdr& s = module.outputSections[i];
            if (!passTakes(pass, s, assigned[i])) continue;
            assigned[i] = true;
            PlannedSection planned;
            planned.newIndex = i;
            planned.pass = pass;
            planned.nobitsInData = pass == passData && s.sh_type == SHT_NOBITS;
            // A NOBITS section has no bytes in the input to compress: compressing
            // whatever lies at its offset would give it a stored size that says
            // nothing about the memory it needs.
            planned.tryCompress = s.sh_type != SHT_NOBITS && ctx.settings.compress && s.sh_size >= kSmallestCompressed &&
                                  !(pass == passTemp && i == module.outputShstrndx);
            plan.sections.push_back(std::move(planned));
        }
    }
    return plan;
}

// The uncompressed bytes of a module section: its contents as the earlier
// passes left them, read from the input section it came from. Bytes that
// the input does not hold read as zero.
struct SectionBytes {
    const uint8_t* data = nullptr;
    std::unique_ptr<uint8_t[]> padded;
};

bool sectionBytes(ModuleContext& ctx, uint32_t newIndex, SectionBytes& bytes) {
    const ModuleState& module = ctx.module;
    const uint32_t old = module.indexMap.newToOld[newIndex];
    const uint32_t size = module.outputSections[newIndex].sh_size;
    const uint8_t* contents = sectionContents(ctx, old);
    const uint32_t capacity = contents ? sectionContentsCapacity(ctx, old) : 0;
    if (capacity >= size) {
        bytes.data = contents;
        return true;
    }
    bytes.padded.reset(new (std::nothrow) uint8_t[size]);
    if (!bytes.padded) return false;
    if (capacity) memcpy(bytes.padded.get(), contents, capacity);
    memset(bytes.padded.get() + capacity, 0, size - capacity);
    bytes.data = bytes.padded.get();
    return true;
}

// CRC-32 of a section's bytes, shared among `threads` threads in pieces
// whose CRCs are joined in order: the same value as one pass over them.
uint32_t sectionCrc(const uint8_t* data, uint32_t size, unsigned threads) {
    if (threads <= 1 || size <= kCrcPiece) return uint32_t(crc32(0, data, size));
    std::vector<uint32_t> crcs(crcPieceCount(size));
    runPieces(crcs.size(), threads, [&](size_t k) { crcs[k] = crcOfPiece(data, size, uint32_t(k)); });
    return joinPieceCrcs(crcs.data(), size);
}

// The CRC and the compressed form of one planned section, on `threads`
// threads. Runs on any thread: it reads the section's bytes and writes only
// its own record.
void processSection(ModuleContext& ctx, PlannedSection& planned, int level, unsigned threads) {
    const Elf32_Shdr& s = ctx.module.outputSections[planned.newIndex];
    SectionBytes bytes;
    if (!sectionBytes(ctx, planned.newIndex, bytes)) {
        planned.compressed.allocationFailed = true;
        return;
    }
    const uint32_t old = ctx.module.indexMap.newToOld[planned.newIndex];
    if (!earlyCrc(ctx, old, bytes.data, s.sh_size, planned.crc))
        planned.crc = sectionCrc(bytes.data, s.sh_size, threads);
    if (!planned.tryCompress) return;
    // A section shared among the threads is not waited for: on one thread
    // it would keep the others idle.
    EarlySection* early = earlyCompressed(ctx, old, bytes.data, s.sh_size, threads <= 1);
    if (early && early->compressed.status == 0 && !early->compressed.allocationFailed)
        planned.compressed = std::move(early->compressed);
    else
        planned.compressed = compressSection(bytes.data, s.sh_size, level, threads);
}

// What each section's work costs the planner: a compressed byte about as
// much as the CRC of thirty. A large section can be shared among the
// threads: its CRC always, its compression at the levels that split.
std::vector<SectionJob> sectionJobs(ModuleContext& ctx, const std::vector<PlannedSection*>& work, int level) {
    std::vector<SectionJob> jobs;
    jobs.reserve(work.size());
    for (const PlannedSection* planned : work) {
        const uint32_t size = ctx.module.outputSections[planned->newIndex].sh_size;
        const uint32_t old = ctx.module.indexMap.newToOld[planned->newIndex];
        SectionJob job;
        if (earlyDone(ctx, old, sectionContents(ctx, old), size)) {
            job.cost = 1;   // done before placement
            jobs.push_back(job);
            continue;
        }
        job.cost = uint64_t(size) * (planned->tryCompress ? kCompressCostPerByte : 1);
        job.splittable = size >= kSharedSectionSize && (!planned->tryCompress || splitSharesLevel(level));
        jobs.push_back(job);
    }
    return jobs;
}

void processAllSections(ModuleContext& ctx, PlacementPlan& plan) {
    std::vector<PlannedSection*> work;
    // A NOBITS section, wherever it is placed, has CRC 0 and no bytes.
    const auto& headers = ctx.module.outputSections;
    for (PlannedSection& planned : plan.sections)
        if (headers[planned.newIndex].sh_type != SHT_NOBITS) work.push_back(&planned);
    const int level = ctx.settings.compressionLevel;
    const unsigned threads = jobCount();
    closeEarlySections(ctx);
    const JobPlan jobs = planSectionJobs(sectionJobs(ctx, work, level), threads);
    // The side-by-side jobs go first. The shared ones come last, as one
    // piece: the first thread that finds nothing else to do shares them out,
    // one after another, so that the threads that end early work on them
    // while the others finish their own sections.
    const size_t sideBySide = jobs.sideBySide.size();
    const size_t pieces = sideBySide + (jobs.shared.empty() ? 0 : 1);
    runPieces(pieces, threads, [&](size_t k) {
        if (k < sideBySide) return processSection(ctx, *work[jobs.sideBySide[k]], level, 1);
        for (size_t shared : jobs.shared) processSection(ctx, *work[shared], level, threads);
    });
}

char flagLetter(uint32_t flags, uint32_t flag, char letter) { return (flags & flag) ? letter : '.'; }

void printSectionLine(uint32_t index, const Elf32_Shdr& s, uint32_t uncompressedSize) {
    printOut("%02d: t%08X a%08X m%08X z%08X offset %08X %c%c%c%c\n", index, s.sh_type, s.sh_addr, uncompressedSize,
             s.sh_size, s.sh_offset, flagLetter(s.sh_flags, SHF_ALLOC, 'a'), flagLetter(s.sh_flags, SHF_EXECINSTR, 'x'),
             flagLetter(s.sh_flags, SHF_WRITE, 'w'), flagLetter(s.sh_flags, SHF_DEFLATED, 'z'));
}

void printNobitsLine(uint32_t index, const Elf32_Shdr& s) {
    printOut("%02d: t%08X a%08X m%08X z-------- offset -------- %c%c%c%c\n", index, s.sh_type, s.sh_addr, s.sh_size, 'a',
             '.', flagLetter(s.sh_flags, SHF_WRITE, 'w'), flagLetter(s.sh_flags, SHF_DEFLATED, 'z'));
}

}  // namespace

CompressedSection compressSection(const uint8_t* data, uint32_t size, int level, unsigned threads,
                                  const std::atomic<bool>* stop) {
    CompressedSection result;
    // Only a stream that, with the size word in front, is shorter than the
    // section is kept; the engine stops as soon as the stream cannot be.
    if (size <= 5) return result;
    const size_t capacity = size_t(size) - 5;
    StoredBytes buffer;
    buffer.buffer.reset(static_cast<uint8_t*>(malloc(capacity + 4)));
    if (!buffer.buffer) {
        result.allocationFailed = true;
        return result;
    }
    size_t streamLength = 0;
    uint8_t* const out = buffer.data() + 4;
    const int status = stop ? compressZlib(data, size, level, out, capacity, streamLength, stop)
                            : compressZlibSplit(data, size, level, out, capacity, streamLength, threads);
    if (status == deflateNotSmaller) return result;
    if (status != deflateOk) {
        result.status = status;
        return result;
    }
    writeBe32(buffer.data(), size);
    // Shrunk in place rather than copied; when even that fails the larger
    // buffer simply stays.
    const size_t length = streamLength + 4;
    if (void* shrunk = realloc(buffer.data(), length)) {
        (void)buffer.buffer.release();
        buffer.buffer.reset(static_cast<uint8_t*>(shrunk));
    }
    buffer.length = length;
    result.deflated = true;
    result.stored = std::move(buffer);
    return result;
}

int placeSections(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    const bool verbose = ctx.settings.verbose;
    const uint32_t n = module.outputSectionCount;

    module.sectionCrcs.assign(n, 0);
    module.storedContents.clear();
    module.storedContents.resize(n);
    module.tempStoredTotal = 0;
    module.crcsOffset = 0x40 + 40 * n;
    module.fileInfoOffset = align64(0x40 + 44 * n);
    uint64_t running = (uint64_t(module.fileInfoOffset) + module.fileInfoSize + 63) & ~uint64_t(63);

    PlacementPlan plan = planPlacement(ctx);
    processAllSections(ctx, plan);

    size_t next = 0;
    for (PlacementPass pass : {passData, passLoad, passText, passTemp}) {
        if (!plan.passRuns[pass]) {
            setPassAlignment(ctx, pass, 4);
            continue;
        }
        if (verbose) printOut("%s", kPassBanner[pass]);
        if (pass != passTemp) setPassAlignment(ctx, pass, module.regions[pass == passData ? DATA : pass == passLoad ? LOAD : TEXT].align);
        uint64_t groupFirst = 0;
        uint64_t groupEnd = 0;
        for (; next < plan.sections.size() && plan.sections[next].pass == pass; ++next) {
            PlannedSection& planned = plan.sections[next];
            const uint32_t i = planned.newIndex;
            Elf32_Shdr& s = module.outputSections[i];
            if (running > 0xFFFFFFFF) {
                printOut("***Error: The module file would be larger than 4 GiB. Return -1.\n");
                return -1;
            }
            s.sh_offset = uint32_t(running);
            if (!groupFirst) groupFirst = running;
            if (planned.nobitsInData) {
                if (verbose) printNobitsLine(i, s);
                continue;
            }
            if (pass == passData) s.sh_flags |= SHF_WRITE;
            // The flag tells the loader that the stored bytes are compressed;
            // only this build compresses, so an input's own flag is dropped.
            s.sh_flags &= ~SHF_DEFLATED;
            module.sectionCrcs[i] = planned.crc;
            const uint32_t uncompressedSize = s.sh_size;
            if (planned.compressed.allocationFailed) {
                printOut("***Error: Mem alloc failed.\n");
                return -1;
            }
            if (planned.tryCompress) {
                if (planned.compressed.status != deflateOk) {
                    printOut("***Error during compression %08X\n", uint32_t(planned.compressed.status));
                    return planned.compressed.status;
                }
                if (planned.compressed.deflated) {
                    s.sh_flags |= SHF_DEFLATED;
                    s.sh_size = uint32_t(planned.compressed.stored.size());
                    module.storedContents[i] = std::move(planned.compressed.stored);
                }
            }
            if (pass == passTemp) module.tempStoredTotal += s.sh_size;
            if (verbose) printSectionLine(i, s, uncompressedSize);
            running = (running + s.sh_size + 63) & ~uint64_t(63);
            groupEnd = running;
        }
        if (verbose) {
            printOut("%08X-%08X, size %08X, mem %08X\n", uint32_t(groupFirst), uint32_t(groupEnd),
                     uint32_t(groupEnd - groupFirst), passRegionSize(ctx, pass));
            if (pass == passText) printOut("TrampAdj %08X\n", module.fileInfo.trampAdj);
        }
    }
    if (running > 0xFFFFFFFF) {
        printOut("***Error: The module file would be larger than 4 GiB. Return -1.\n");
        return -1;
    }
    module.fileLength = uint32_t(running);
    return 0;
}

void finishSpecialSections(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    const uint32_t n = module.outputSectionCount;
    Elf32_Shdr& crcs = module.outputSections[n - 2];
    crcs = Elf32_Shdr{};
    crcs.sh_type = SHT_SECTION_CRCS;
    crcs.sh_offset = module.crcsOffset;
    crcs.sh_size = 4 * n;
    crcs.sh_addralign = 4;
    crcs.sh_entsize = 4;
    Elf32_Shdr& info = module.outputSections[n - 1];
    info = Elf32_Shdr{};
    info.sh_type = SHT_FILE_INFO;
    info.sh_offset = module.fileInfoOffset;
    info.sh_size = module.fileInfoSize;
    info.sh_addralign = 4;
    if (!ctx.settings.verbose) return;
    const char* const format = "%02d: t%08X a%08X m%08X z%08X offset %08X %c%c%c.\n";
    printOut("--CRCS------------------\n");
    printOut(format, n - 2, crcs.sh_type, crcs.sh_addr, crcs.sh_size, crcs.sh_size, crcs.sh_offset, '.', '.', '.');
    printOut("--FILEINFO--------------\n");
    printOut(format, n - 1, info.sh_type, info.sh_addr, info.sh_size, info.sh_size, info.sh_offset, '.', '.', '.');
}
