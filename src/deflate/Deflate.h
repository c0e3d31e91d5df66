// Our deflate engine: zlib streams with exactly the bytes that zlib 1.2.13's
// compress2 writes with its default settings (window bits 15, memory level 8,
// default strategy), so that a module's bytes do not depend on the zlib the
// tool was built with. Needs nothing but the C++ standard library.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// Results. The failures keep zlib's status values, so a caller that reports
// "the zlib status" can pass them on unchanged.
enum DeflateStatus : int {
    deflateOk = 0,
    deflateNotSmaller = 1,   // the stream would not fit in the capacity given
    deflateStopped = 2,      // given up on the caller's word (compressZlib's stop)
    deflateBadLevel = -2,    // zlib's Z_STREAM_ERROR
    deflateNoMemory = -4,    // zlib's Z_MEM_ERROR
    deflateTooLarge = -5,    // more than 4 GiB - 1 bytes of input
};

// Compresses size bytes at data into one zlib stream at level 1 to 9 (-1
// means 6): the two-byte header, the deflate blocks and the Adler-32.
// Writes it to out and sets length when it fits in capacity bytes; returns
// deflateNotSmaller as soon as it cannot fit (out then holds no usable
// stream). Uses about 1 MB of working memory (kept per thread) besides out.
// When `stop` is given and becomes true, the stream is given up at the end
// of the block being tallied (deflateStopped), for work that is dropped.
int compressZlib(const uint8_t* data, size_t size, int level, uint8_t* out, size_t capacity, size_t& length,
                 const std::atomic<bool>* stop = nullptr);

// Adler-32 of size bytes, continuing from adler (1 for a fresh sum).
uint32_t adler32Update(uint32_t adler, const uint8_t* data, size_t size);

// Tests only: the next stream of this thread numbers its positions from
// stamp (1 or more), to reach the point where the numbering starts over.
void setDeflateStampForTesting(uint32_t stamp);

// The same stream as compressZlib, its work shared by up to `threads`
// threads (the calling thread is one of them): the input is parsed in
// chunks side by side, each chunk's parse joined to the one before it where
// both parsers reach the same state, and the blocks cut where the
// one-thread engine cuts them are encoded side by side. Levels 1 to 3, one
// thread or an input of one chunk take the one-thread engine. A thread that
// cannot be started leaves its share to the others.
int compressZlibSplit(const uint8_t* data, size_t size, int level, uint8_t* out, size_t capacity, size_t& length,
                      unsigned threads);

// Whether compressZlibSplit shares a stream among threads at this level:
// levels 4 to 9 (and -1); levels 1 to 3 always take one thread.
bool splitSharesLevel(int level);

// How long each piece of a split stream's work took (CPU seconds), by phase,
// when every piece runs on the calling thread one after another; for the
// benchmark.
struct DeflateSplitTimes {
    std::vector<double> parse;     // per chunk: its own parse
    std::vector<double> join;      // per chunk: parsing on into the next chunk until the two meet
    std::vector<double> spans;     // per block: its input bytes
    std::vector<double> plan;      // per block: trees and sizes
    std::vector<double> emit;      // per block: its bits
    double sequential = 0;         // joining lists, prefix sums, stitching, the check sum
};
int compressZlibSplitTimed(const uint8_t* data, size_t size, int level, uint8_t* out, size_t capacity, size_t& length,
                           DeflateSplitTimes& times);

// Tests only: the chunk size of split streams (a multiple of 32 KiB; 0
// restores the default) and how many more threads can be started (-1: no
// limit).
void setDeflateSplitForTesting(size_t chunkSize, int startableThreads);
