// hopwarbler_memory: the library's own heap, measured around its calls.
//
// Every operator new / delete of the process goes through the counters below
// (live bytes by malloc_usable_size, number of allocations), and glibc's
// mallinfo2() is read beside them as a check that catches malloc() too (in-use
// arena bytes plus mmapped blocks). The program reports the heap before and after
// dsp_init(4096, 4, 44100, 2), after the first block, and after 1 and 10 minutes
// of the stereo piece streamed at ratio 1.25 in hop-aligned blocks, with the
// number of allocations made between two reports. A stream that does not grow
// shows the same heap after 1 and after 10 minutes and no allocation in between.
//
// Before that, a child process measures many streams from a fresh heap: 1 to 8
// engines of their own (Engine::init(4096, 16, 44100, 2), the default preset's format
// at 44.1 kHz, every refinement on), each having streamed one block. The first engine
// also builds the tables every engine of its format shares; the engines after it
// cost their own buffers only. Reported: the heap of 1, 2 and 8 engines, the cost of
// each engine after the first, what the first adds beyond that (the shared tables)
// and Engine::bytes() as the engines count themselves.
//
// Static memory (.data, .bss) is a property of the shared library file; the
// benchmark script reads it with size(1).
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dsp.h"
#if HOPWARBLER_BENCH_SPECTRUM
#include "spectrum.h"
#endif

#include "music.h"

namespace {

std::atomic<long long> liveBytes{0};
std::atomic<long long> allocations{0};

void* allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  liveBytes.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
  allocations.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void release(void* p) {
  if (p == nullptr) return;
  liveBytes.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace {

struct Snapshot {
  long long live;
  long long allocations;
  long long malloced;  // mallinfo2: arena bytes in use + mmapped blocks
};

Snapshot snapshot() {
  const struct mallinfo2 m = mallinfo2();
  return {liveBytes.load(), allocations.load(), static_cast<long long>(m.uordblks + m.hblkhd)};
}

void report(const char* what, const Snapshot& base, const Snapshot& now, const Snapshot& prev) {
  std::printf("  %-36s %12.1f %12.1f %14lld\n", what, (now.live - base.live) / 1024.0,
              (now.malloced - base.malloced) / 1024.0, now.allocations - prev.allocations);
}

// Many engines from a fresh heap (in a child process, before anything else has run):
// returns the exit status.
int measureEngines() {
  constexpr int frameSize = 4096;
  constexpr int overSampling = 16;
  constexpr int hop = frameSize / overSampling;
  constexpr int stepOut = hop * 5 / 4;  // ratio 1.25
  constexpr int most = 8;
  std::vector<short> block(2 * stepOut);
  std::vector<std::unique_ptr<Engine>> engines;
  engines.reserve(most);
  std::printf(
      "Heap of many engines (KiB, relative to before the first), each Engine::init(%d, %d,"
      " %d, 2)\nwith every refinement on and one block of %d frames in, %d out streamed:\n",
      frameSize, overSampling, music_rate(), hop, stepOut);
  std::printf("  %-36s %12s %12s %14s\n", "engines", "new/delete", "mallinfo2", "allocations");
  const short* pcm = music_pcm();  // the piece is rendered (10 MiB) before the heap is measured
  const Snapshot base = snapshot();
  Snapshot prev = base;
  Snapshot one = base;
  size_t ownBytes = 0;
  for (int n = 1; n <= most; ++n) {
    auto engine = std::make_unique<Engine>();
    engine->init(frameSize, overSampling, music_rate(), 2);
    engine->setLinkedStereo(true);
    engine->setAttacks(true);
    engine->setFinePeaks(true);
    engine->setLevelKeeping(true);
#if HOPWARBLER_BENCH_SPECTRUM
    engine->spectrum().setEnabled(true);
#endif
    std::memcpy(block.data(), pcm, sizeof(short) * 2 * hop);
    engine->process(block.data(), hop, stepOut);
    ownBytes = engine->bytes();
    engines.push_back(std::move(engine));
    const Snapshot now = snapshot();
    if (n == 1) one = now;
    if (n == 1 || n == 2 || n == most) {
      char what[64];
      std::snprintf(what, sizeof what, "%d engine%s", n, n == 1 ? "" : "s");
      report(what, base, now, prev);
      prev = now;
    }
  }
  const double perEngine = (prev.live - one.live) / 1024.0 / (most - 1);
  const double perEngineMalloc = (prev.malloced - one.malloced) / 1024.0 / (most - 1);
  std::printf("  %-36s %12.1f %12.1f\n", "each engine after the first", perEngine, perEngineMalloc);
  std::printf("  %-36s %12.1f %12.1f\n", "the first beyond that (shared)",
              (one.live - base.live) / 1024.0 - perEngine,
              (one.malloced - base.malloced) / 1024.0 - perEngineMalloc);
  std::printf("  Engine::bytes() of one engine: %.1f KiB\n\n", ownBytes / 1024.0);
  return 0;
}

}  // namespace

int main() {
  // The engines are measured first, in a child, so that neither part sees the heap
  // the other left.
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    const int status = measureEngines();
    std::fflush(stdout);
    _exit(status);
  }
  int childStatus = 1;
  if (child < 0 || waitpid(child, &childStatus, 0) != child || !WIFEXITED(childStatus) ||
      WEXITSTATUS(childStatus) != 0) {
    std::fprintf(stderr, "hopwarbler_memory: the engines' measure failed\n");
    return 1;
  }

  const int frameSize = 4096;
  const int overSampling = 4;
  const int hop = frameSize / overSampling;
  const int rate = music_rate();
  const double ratio = 1.25;
  const int blockIn = hop;
  const int blockOut = static_cast<int>(hop * ratio);
  const short* pcm = music_pcm();
  const int blocksPerMinute = music_frames() / blockIn;  // the piece is one minute long
  std::vector<short> block(2 * std::max(blockIn, blockOut));
#if HOPWARBLER_BENCH_SPECTRUM
  dsp_default_engine().spectrum().setEnabled(true);
#endif

  std::printf(
      "Heap of the library (KiB, relative to before dsp_init), stereo 44.1 kHz,\n"
      "frameSize %d, overSampling %d, ratio %.2f, blocks of %d frames in, %d out:\n",
      frameSize, overSampling, ratio, blockIn, blockOut);
  std::printf("  %-36s %12s %12s %14s\n", "after", "new/delete", "mallinfo2", "allocations");
  const Snapshot base = snapshot();
  dsp_init(frameSize, overSampling, rate, 2);
  const Snapshot init = snapshot();
  report("dsp_init(4096, 4, 44100, 2)", base, init, base);

  auto streamBlock = [&](long long b) {
    const int i = static_cast<int>(b % blocksPerMinute);
    std::memcpy(block.data(), pcm + 2 * static_cast<size_t>(i) * blockIn,
                sizeof(short) * 2 * blockIn);
    dsp_process(block.data(), blockIn, blockOut);
  };
  long long b = 0;
  streamBlock(b++);
  const Snapshot first = snapshot();
  report("the first block", base, first, init);

  while (b < blocksPerMinute) streamBlock(b++);
  const Snapshot minute = snapshot();
  report("1 minute of audio", base, minute, first);

  while (b < 10LL * blocksPerMinute) streamBlock(b++);
  const Snapshot tenMinutes = snapshot();
  report("10 minutes of audio", base, tenMinutes, minute);

  const bool steady = tenMinutes.live == minute.live && tenMinutes.malloced == minute.malloced &&
                      tenMinutes.allocations == minute.allocations;
  std::printf(
      "  growth from 1 to 10 minutes: %lld bytes (new/delete), %lld bytes (mallinfo2),"
      " %lld allocations: %s\n",
      tenMinutes.live - minute.live, tenMinutes.malloced - minute.malloced,
      tenMinutes.allocations - minute.allocations, steady ? "none" : "GROWS");
  return steady ? 0 : 1;
}
