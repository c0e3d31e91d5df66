// Independent pieces of work run side by side, and work that runs beside
// the caller: the one way the tool starts threads, used by the split
// stream, by the module's section jobs and by its early section work.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

// Calls work(0) ... work(count - 1), each exactly once, on up to `threads`
// threads (the calling thread one of them) and returns when all are done.
// Each thread takes the next piece until none is left, so a thread that
// cannot be started leaves its share to the others. With one thread, or one
// piece, everything runs on the calling thread in index order.
void runPieces(size_t count, unsigned threads, const std::function<void(size_t)>& work);

// Starts `work` on a thread of its own that runs beside the caller, for
// work the caller joins later. False when no thread can be started (then
// nothing runs).
bool startThread(std::thread& thread, std::function<void()> work);

// Tests only: how many more threads can be started (-1: no limit).
void setStartableThreadsForTesting(int startableThreads);
