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
// Static memory (.data, .bss) is a property of the shared library file; the
// benchmark script reads it with size(1).
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

}  // namespace

int main() {
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
