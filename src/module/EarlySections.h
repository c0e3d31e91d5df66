// The CRCs and compressed forms of the large sections that no pass
// rewrites, worked out on a thread of their own from the start of the
// build, while the symbol, relocation and layout passes run on the caller's.
//
// The CRCs are taken first, in pieces that placement's threads take too
// when they reach a section before the worker is through with it; the
// compression follows, a section at a time.
//
// Placement takes a result only for a section whose bytes and size are
// still the ones that were worked on, so the module is the same as without
// this work; whatever placement does not take is worked out again there. A
// build that ends before placement drops the work.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/MappedFile.h"
#include "module/ModuleState.h"
#include "module/PlaceSections.h"

// Where a section's compression stands.
enum class EarlyState : uint8_t {
    waiting,   // not started
    running,   // on the worker thread
    done,
    claimed,   // placement took it over before it started
};

struct EarlySection {
    uint32_t inputIndex = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t firstPiece = 0;   // its CRC pieces in EarlyWork::pieceCrcs
    uint32_t pieceCount = 0;
    std::atomic<uint32_t> piecesDone{0};
    std::atomic<EarlyState> state{EarlyState::waiting};
    CompressedSection compressed;   // when the build compresses
};

// What the worker is to do after the CRCs: wait, stop, or compress at the
// level the settings give (-1 for the default, 1 to 9).
constexpr int kCompressionUnknown = INT_MIN;
constexpr int kNoCompression = INT_MIN + 1;

struct EarlyWork {
    std::vector<EarlySection> sections;   // largest first
    std::vector<uint32_t> pieceCrcs;      // section by section
    std::vector<uint32_t> pieceOwner;     // the section each piece belongs to
    std::atomic<size_t> nextPiece{0};     // the first piece nobody took
    std::atomic<int> compression{kCompressionUnknown};
    std::atomic<bool> stop{false};   // give up: no new piece, and the running compression ends
    std::thread worker;
    // A reference to the input mapping the sections lie in, so that it
    // outlives the worker whatever order the context is taken down in.
    MappedFile* mapping = nullptr;
    ~EarlyWork();
};

// The input sections whose bytes no pass writes, largest first: allocated
// PROGBITS sections of at least `smallest` bytes, all inside the file, that
// no section names as its link (string or symbol table) and that share no
// byte with another section. The passes rewrite only relocation, symbol,
// string, import and export tables, the section names and what those link
// to.
std::vector<uint32_t> earlyCandidates(ModuleContext& ctx, uint32_t smallest);

// Starts the CRCs, when more than one thread may run: as soon as the
// input's headers are read, before its tables are (the worker reads only
// sections that share no byte with a table or a header), and before the
// command line is through.
void startEarlyCrcs(ModuleContext& ctx);

// At the start of the build, with the settings complete: starts the CRCs if
// they were not, and lets the compression follow them.
void startEarlySections(ModuleContext& ctx);

// Placement: no section starts after this; the running one, if any, goes
// on.
void closeEarlySections(ModuleContext& ctx);

// The CRC of input section inputIndex when its bytes are data and its size
// is size and it is worked on early: the caller takes the pieces nobody has
// taken yet and waits for those in hand. False for any other section.
bool earlyCrc(ModuleContext& ctx, uint32_t inputIndex, const uint8_t* data, uint32_t size, uint32_t& crc);

// The section, under the same terms, once its compression is done, or
// nullptr. A running compression is waited for, or, when
// `waitForCompression` is false, given up (nullptr).
EarlySection* earlyCompressed(ModuleContext& ctx, uint32_t inputIndex, const uint8_t* data, uint32_t size,
                              bool waitForCompression);

// Whether all the early work on that section is finished (for the planner).
bool earlyDone(ModuleContext& ctx, uint32_t inputIndex, const uint8_t* data, uint32_t size);

// Whether all pieces of a section's CRC are done.
bool earlyCrcDone(const EarlySection& e);

// Gives the running compression up and waits for the worker.
void dropEarlySections(ModuleContext& ctx);

// Tests only: with finishFirst, each step of the work is finished when it
// is started (the CRCs before the tables are read, the compression before
// the passes run), so that placement takes every result; sections of `smallest` bytes or more are worked on (0: the
// default floor).
void setEarlySectionsForTesting(bool finishFirst, uint32_t smallest);
