#include "module/EarlySections.h"

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "deflate/Deflate.h"
#include "deflate/RunPieces.h"
#include "elf/SectionContents.h"
#include "module/CompressionJobs.h"
#include "module/CrcPieces.h"

namespace {

// Smaller sections gain too little from starting early.
constexpr uint32_t kEarlySmallest = 64u << 10;
// The candidates are checked against every section, so there are few.
constexpr size_t kMostEarlySections = 64;

std::atomic<bool> gFinishForTesting{false};
std::atomic<uint32_t> gSmallestForTesting{kEarlySmallest};

struct ByteRange {
    uint64_t start = 0;
    uint64_t end = 0;
};

// The bytes of section i that a pass could reach: none for a NOBITS section
// or one outside the file.
ByteRange contentRange(ModuleContext& ctx, uint32_t i) {
    const Elf32_Shdr* header = inputSectionHeader(ctx, i);
    if (!header || header->sh_type == SHT_NOBITS) return {};
    const uint32_t capacity = sectionContentsCapacity(ctx, i);
    return {header->sh_offset, uint64_t(header->sh_offset) + capacity};
}

bool sharesBytes(const ByteRange& a, const ByteRange& b) {
    return a.start < a.end && b.start < b.end && a.start < b.end && b.start < a.end;
}

// Whether a section shares bytes with the ELF header or a header table: the
// reader converts those in place, so a table lying over them could rewrite
// the headers the choice was made on.
bool anySectionOverHeaders(ModuleContext& ctx) {
    const ElfImage& image = ctx.input.image;
    const Elf32_Ehdr& header = image.header();
    const ByteRange headers[] = {
        {0, std::max<uint64_t>(image.headerSize, sizeof(Elf32_Ehdr))},
        {header.e_phoff, header.e_phoff + uint64_t(header.e_phnum) * image.programHeaderSize},
        {header.e_shoff, header.e_shoff + uint64_t(header.e_shnum) * image.sectionHeaderSize},
    };
    for (uint32_t i = 1; i < image.sectionCount(); ++i)
        for (const ByteRange& span : headers)
            if (sharesBytes(contentRange(ctx, i), span)) return true;
    return false;
}

bool mayStartEarly(ModuleContext& ctx, uint32_t i, uint32_t smallest, const std::unordered_set<uint32_t>& linked) {
    const Elf32_Shdr* header = inputSectionHeader(ctx, i);
    if (!header || header->sh_type != SHT_PROGBITS || !(header->sh_flags & SHF_ALLOC)) return false;
    if (header->sh_size < smallest || i == ctx.input.image.header().e_shstrndx || linked.count(i)) return false;
    // Mapped bytes only, all of them in the file.
    return !ctx.input.ownContents.count(i) && sectionContentsCapacity(ctx, i) == header->sh_size;
}

// Takes the next CRC piece nobody has taken, if any, and works it out.
bool takeCrcPiece(EarlyWork& work) {
    const size_t k = work.nextPiece.fetch_add(1);
    if (k >= work.pieceCrcs.size()) return false;
    EarlySection& e = work.sections[work.pieceOwner[k]];
    work.pieceCrcs[k] = crcOfPiece(e.data, e.size, uint32_t(k) - e.firstPiece);
    if (e.piecesDone.fetch_add(1) + 1 == e.pieceCount) e.piecesDone.notify_all();
    return true;
}

// The level the build compresses at, once the whole command line is read.
int awaitCompression(EarlyWork& work) {
    int level = work.compression.load();
    for (; level == kCompressionUnknown; level = work.compression.load()) work.compression.wait(level);
    return level;
}

void runEarlyWork(EarlyWork& work) {
    // The stop only comes from a dropped build here: placement gives up a
    // running compression, which starts after the last piece was taken.
    while (!work.stop.load() && takeCrcPiece(work)) {
    }
    const int level = awaitCompression(work);
    if (level == kNoCompression) return;
    for (EarlySection& e : work.sections) {
        if (work.stop.load()) return;
        EarlyState expected = EarlyState::waiting;
        if (!e.state.compare_exchange_strong(expected, EarlyState::running)) continue;
        e.state.notify_all();
        e.compressed = compressSection(e.data, e.size, level, 1, &work.stop);
        e.state.store(EarlyState::done);
        e.state.notify_all();
    }
}

bool compresses(const EarlyWork& work) {
    const int compression = work.compression.load();
    return compression != kCompressionUnknown && compression != kNoCompression;
}

// Waits until the pieces of e's CRC that others have taken are done.
void awaitCrc(EarlySection& e) {
    for (uint32_t done = e.piecesDone.load(); done != e.pieceCount; done = e.piecesDone.load())
        e.piecesDone.wait(done);
}

void waitForCrcs(EarlyWork& work) {
    for (EarlySection& e : work.sections) awaitCrc(e);
}

EarlySection* findEarly(ModuleContext& ctx, uint32_t inputIndex, const uint8_t* data, uint32_t size) {
    if (!ctx.module.early) return nullptr;
    for (EarlySection& e : ctx.module.early->sections)
        if (e.inputIndex == inputIndex) return e.data == data && e.size == size ? &e : nullptr;
    return nullptr;
}

}  // namespace

EarlyWork::~EarlyWork() {
    stop.store(true);
    int unknown = kCompressionUnknown;
    compression.compare_exchange_strong(unknown, kNoCompression);
    compression.notify_all();
    if (worker.joinable()) worker.join();
    releaseMappedFile(mapping);
}

std::vector<uint32_t> earlyCandidates(ModuleContext& ctx, uint32_t smallest) {
    const uint32_t count = ctx.input.image.sectionCount();
    if (anySectionOverHeaders(ctx)) return {};
    std::unordered_set<uint32_t> linked;
    for (uint32_t i = 1; i < count; ++i)
        if (const Elf32_Shdr* header = inputSectionHeader(ctx, i)) linked.insert(uint32_t(header->sh_link));
    std::vector<uint32_t> candidates;
    for (uint32_t i = 1; i < count; ++i)
        if (mayStartEarly(ctx, i, smallest, linked)) candidates.push_back(i);
    std::stable_sort(candidates.begin(), candidates.end(), [&](uint32_t a, uint32_t b) {
        return inputSectionHeader(ctx, a)->sh_size > inputSectionHeader(ctx, b)->sh_size;
    });
    if (candidates.size() > kMostEarlySections) candidates.resize(kMostEarlySections);
    std::erase_if(candidates, [&](uint32_t i) {
        const ByteRange own = contentRange(ctx, i);
        for (uint32_t j = 1; j < count; ++j)
            if (j != i && sharesBytes(own, contentRange(ctx, j))) return true;
        return false;
    });
    return candidates;
}

void startEarlyCrcs(ModuleContext& ctx) {
    ctx.module.early.reset();
    if (jobCount() <= 1) return;
    const std::vector<uint32_t> candidates = earlyCandidates(ctx, gSmallestForTesting.load());
    if (candidates.empty()) return;
    auto work = std::make_shared<EarlyWork>();
    work->sections = std::vector<EarlySection>(candidates.size());
    for (size_t k = 0; k < candidates.size(); ++k) {
        EarlySection& e = work->sections[k];
        e.inputIndex = candidates[k];
        e.data = sectionContents(ctx, candidates[k]);
        e.size = inputSectionHeader(ctx, candidates[k])->sh_size;
        e.firstPiece = uint32_t(work->pieceCrcs.size());
        e.pieceCount = crcPieceCount(e.size);
        work->pieceCrcs.resize(e.firstPiece + e.pieceCount);
        work->pieceOwner.resize(e.firstPiece + e.pieceCount, uint32_t(k));
    }
    if (MappedFile* input = ctx.input.inputMapping.get()) {
        input->refCount.fetch_add(1);
        work->mapping = input;
    }
    EarlyWork* running = work.get();
    if (!startThread(work->worker, [running] { runEarlyWork(*running); })) return;
    if (gFinishForTesting.load()) waitForCrcs(*work);
    ctx.module.early = std::move(work);
}

void startEarlySections(ModuleContext& ctx) {
    if (!ctx.module.early) startEarlyCrcs(ctx);
    if (!ctx.module.early) return;
    EarlyWork& work = *ctx.module.early;
    work.compression.store(ctx.settings.compress ? ctx.settings.compressionLevel : kNoCompression);
    work.compression.notify_all();
    if (gFinishForTesting.load()) work.worker.join();
}

void closeEarlySections(ModuleContext& ctx) {
    if (!ctx.module.early) return;
    for (EarlySection& e : ctx.module.early->sections) {
        EarlyState expected = EarlyState::waiting;
        e.state.compare_exchange_strong(expected, EarlyState::claimed);
    }
}

bool earlyCrcDone(const EarlySection& e) { return e.piecesDone.load() == e.pieceCount; }

bool earlyCrc(ModuleContext& ctx, uint32_t inputIndex, const uint8_t* data, uint32_t size, uint32_t& crc) {
    EarlySection* e = findEarly(ctx, inputIndex, data, size);
    if (!e) return false;
    EarlyWork& work = *ctx.module.early;
    while (!earlyCrcDone(*e) && takeCrcPiece(work)) {
    }
    awaitCrc(*e);
    crc = joinPieceCrcs(&work.pieceCrcs[e->firstPiece], e->size);
    return true;
}

EarlySection* earlyCompressed(ModuleContext& ctx, uint32_t inputIndex, const uint8_t* data, uint32_t size,
                              bool waitForCompression) {
    EarlySection* e = findEarly(ctx, inputIndex, data, size);
    if (!e || !compresses(*ctx.module.early) || e->state.load() == EarlyState::claimed) return nullptr;
    if (e->state.load() == EarlyState::running) {
        if (!waitForCompression) {
            ctx.module.early->stop.store(true);
            return nullptr;
        }
        e->state.wait(EarlyState::running);
    }
    return e;
}

bool earlyDone(ModuleContext& ctx, uint32_t inputIndex, const uint8_t* data, uint32_t size) {
    const EarlySection* e = findEarly(ctx, inputIndex, data, size);
    return e && earlyCrcDone(*e) && (!compresses(*ctx.module.early) || e->state.load() == EarlyState::done);
}

void dropEarlySections(ModuleContext& ctx) { ctx.module.early.reset(); }

void setEarlySectionsForTesting(bool finishFirst, uint32_t smallest) {
    gFinishForTesting.store(finishFirst);
    gSmallestForTesting.store(smallest ? smallest : kEarlySmallest);
}
