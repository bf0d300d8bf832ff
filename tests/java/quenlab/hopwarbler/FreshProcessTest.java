package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.Signals.FRAME;
import static quenlab.hopwarbler.Signals.HOP;
import static quenlab.hopwarbler.Signals.OVER;
import static quenlab.hopwarbler.Signals.RATE;

import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;

/**
 * Cases that need a process in which the library has never run a stream. The state is
 * process-wide, so this class runs in a JVM of its own (its own ctest entry), in this order.
 */
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class FreshProcessTest {
  private final NativeInterface dsp = new NativeInterface();

  private static short[] pattern(int length) {
    short[] a = new short[length];
    for (int i = 0; i < length; i++) {
      a[i] = (short) (i * 31 - 5000);
    }
    return a;
  }

  @Test
  @Order(1)
  void processBeforeAnyInitThrowsIllegalState() {
    short[] samples = pattern(1024);
    assertThrows(IllegalStateException.class, () -> dsp.dspProcess(samples, 512, 512, 0f));
    assertArrayEquals(pattern(1024), samples);
  }

  @Test
  @Order(2)
  void rejectedInitLeavesTheLibraryUninitialised() {
    assertThrows(IllegalArgumentException.class, () -> dsp.dspInit(3000, 4, RATE, 2));
    assertThrows(IllegalArgumentException.class, () -> dsp.dspInit(2048, 0, RATE, 2));
    short[] samples = pattern(1024);
    assertThrows(IllegalStateException.class, () -> dsp.dspProcess(samples, 512, 512, 0f));
    assertArrayEquals(pattern(1024), samples);
  }

  /**
   * The first block of the process is a single frame, the next ones far larger or smaller than a
   * hop: the work buffers grow, keep what they held and start at zero, so every block returns
   * exactly the first samplesOut entries of what the vocoder has handed out so far. The last block
   * completes no frame and asks for more than any block before, so it shows the whole buffer, old
   * contents and new room; its ratio clamps the hop to frameSize, so it normalises by a quarter of
   * the ratio-1 divisor and returns the old contents 4 x as loud (to the quantisation).
   */
  @Test
  @Order(3)
  void buffersGrowForBlocksLargerThanTheFirst() {
    // 520 blocks of one frame: the 512th completes the first frame, whose 512 samples go into
    // buffers the first block sized for 1 frame; the next block reads them back.
    int[] chunks = new int[520 + 12];
    Arrays.fill(chunks, 0, 520, 1);
    System.arraycopy(
        new int[] {300, 64, 8192, 1, 1, 3, 700, 40000, 5, 512, 16384, 2}, 0, chunks, 520, 12);
    int[][] sizes = new int[chunks.length + 1][];
    int total = 0;
    for (int i = 0; i < chunks.length; i++) {
      sizes[i] = new int[] {chunks[i], chunks[i]};
      total += chunks[i];
    }
    assertTrue(total % HOP + 1 < HOP);
    sizes[chunks.length] = new int[] {1, 100000};
    total += 1;
    short[] in = Signals.pcm(
        total + 8 * HOP, Signals.sine(4000, 440), Signals.noise(2500, 51, total + 8 * HOP));
    dsp.dspInit(FRAME, OVER, RATE, 2);
    List<short[]> got = Signals.feed(dsp, in, 2, sizes);

    short[] aligned = Signals.stretch(dsp, in, 2, 8 * HOP, 8 * HOP);
    List<int[]> expected = Signals.bufferModel(aligned, 2, HOP, sizes, 0);
    for (int b = 0; b < chunks.length; b++) {
      int[] want = expected.get(b);
      short[] have = got.get(b);
      for (int i = 0; i < want.length; i++) {
        assertEquals(want[i], have[i], "block " + b + ", entry " + i + " (noise seed 51)");
      }
    }
    int[] want = expected.get(chunks.length);
    short[] have = got.get(chunks.length);
    for (int i = 0; i < want.length; i++) {
      assertEquals(4 * want[i], have[i], 3, "last block, entry " + i + " (noise seed 51)");
    }
  }

  /** samplesOut far above 8 x the first block's samplesIn, and blocks far below one hop. */
  @Test
  @Order(4)
  void lopsidedBlocksStayInRange() {
    dsp.dspInit(FRAME, OVER, RATE, 1);
    short[] in = Signals.pcm(200000, Signals.sine(30000, 1000));
    int[][] sizes = {{64, 65536}, {1, 4096}, {1, 1}, {3, 50000}, {4096, 4096}, {100000, 1}};
    List<short[]> got = Signals.feed(dsp, in, 1, sizes);
    for (int b = 0; b < sizes.length; b++) {
      assertEquals(sizes[b][1], got.get(b).length);
      for (short v : got.get(b)) {
        assertTrue(v != -32768, "block " + b + " holds -32768");
      }
    }
  }
}
