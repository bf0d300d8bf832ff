package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.HOP;
import static quenlab.hopwarbler.NativeStreams.OVER;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.Arrays;
import java.util.List;
import java.util.function.IntToDoubleFunction;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;
import quenlab.hopwarbler.support.Spectra;

/**
 * Cases that need a process in which the library has never run a stream, never received a
 * voice-removal filter, or had its first dspInit (which sizes the equaliser for good) made here.
 * The state is process-wide, so this class runs in a JVM of its own (its own ctest entry), in this
 * order.
 */
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class FreshProcessTest {
  private static final int BLOCK = 8 * HOP;
  private static final int FRAMES = 16 * FRAME;

  private final NativeInterface dsp = new NativeInterface();

  private static short[] pattern(int length) {
    short[] a = new short[length];
    for (int i = 0; i < length; i++) {
      a[i] = (short) (i * 31 - 5000);
    }
    return a;
  }

  private static float[] filled(int length, float value) {
    float[] a = new float[length];
    Arrays.fill(a, value);
    return a;
  }

  /**
   * Before any dspInit: no peak yet, every band 0, and an equaliser with no bands, which takes
   * any table without complaint and keeps none of it.
   */
  @Test
  @Order(1)
  void controlsBeforeAnyInit() {
    assertEquals(0f, dsp.dspGetMaxLevel());
    float[] bands = filled(80, -7.25f);
    dsp.dspGetSpectrum(bands, 80);
    float[] expected = filled(80, -7.25f);
    Arrays.fill(expected, 0, 72, 0f);
    assertArrayEquals(expected, bands);
    for (int length : new int[] {0, 4, 4096}) {
      dsp.dspEQSetBands(new float[length]);
    }
    assertThrows(NullPointerException.class, () -> dsp.dspEQSetBands(null));
  }

  @Test
  @Order(2)
  void processBeforeAnyInitThrowsIllegalState() {
    short[] samples = pattern(1024);
    assertThrows(IllegalStateException.class, () -> dsp.dspProcess(samples, 512, 512, 0f));
    assertArrayEquals(pattern(1024), samples);
  }

  @Test
  @Order(3)
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
  @Order(4)
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
    short[] in = Sounds.pcm(
        total + 8 * HOP, Sounds.sine(4000, 440, RATE), Sounds.noise(2500, 51, total + 8 * HOP));
    dsp.dspInit(FRAME, OVER, RATE, 2);
    List<short[]> got = NativeStreams.feed(dsp, in, 2, sizes);

    short[] aligned = NativeStreams.stretch(dsp, in, 2, 8 * HOP, 8 * HOP);
    List<int[]> expected = NativeStreams.bufferModel(aligned, 2, HOP, sizes, 0);
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
  @Order(5)
  void lopsidedBlocksStayInRange() {
    dsp.dspInit(FRAME, OVER, RATE, 1);
    short[] in = Sounds.pcm(200000, Sounds.sine(30000, 1000, RATE));
    int[][] sizes = {{64, 65536}, {1, 4096}, {1, 1}, {3, 50000}, {4096, 4096}, {100000, 1}};
    List<short[]> got = NativeStreams.feed(dsp, in, 1, sizes);
    for (int b = 0; b < sizes.length; b++) {
      assertEquals(sizes[b][1], got.get(b).length);
      for (short v : got.get(b)) {
        assertTrue(v != -32768, "block " + b + " holds -32768");
      }
    }
  }

  /**
   * A centre tone in the voice-removal band, A4 on the left and a tone above the band on the
   * right.
   */
  private static short[] busyStereo() {
    IntToDoubleFunction centre = Sounds.sine(8000, VoiceRemovalTest.CENTRE, RATE);
    IntToDoubleFunction a4 = Sounds.sine(6000, 440, RATE);
    IntToDoubleFunction high = Sounds.sine(3000, 9000, RATE);
    return Sounds.pcm(FRAMES,
        i
        -> centre.applyAsDouble(i) + a4.applyAsDouble(i),
        i -> centre.applyAsDouble(i) + high.applyAsDouble(i));
  }

  private short[] stream(short[] in) {
    return NativeStreams.stretch(dsp, in, 2, BLOCK, BLOCK);
  }

  /**
   * The table sent before the first dspInit was not kept: the first dspInit (frame 2048) made 1024
   * gains, all 1.0, and a later dspInit with another frame size keeps that count.
   */
  @Test
  @Order(6)
  void equaliserIsSizedAndFlattenedByTheFirstInit() {
    short[] in = busyStereo();
    short[] plain = stream(in);
    dsp.dspEQEnable(1);
    assertArrayEquals(plain, stream(in), "the equaliser's first table is not flat");
    for (int frame : new int[] {FRAME, 2 * FRAME, FRAME / 4}) {
      dsp.dspInit(frame, OVER, RATE, 2);
      IllegalArgumentException e =
          assertThrows(IllegalArgumentException.class, () -> dsp.dspEQSetBands(filled(1023, 0f)));
      assertTrue(VoiceRemovalTest.namesNumber(e.getMessage(), 1023)
              && VoiceRemovalTest.namesNumber(e.getMessage(), 1024),
          "after dspInit(" + frame + "): " + e.getMessage());
      dsp.dspEQSetBands(filled(1024, 1f));
    }
    assertArrayEquals(plain, stream(in), "the refused tables changed the gains");
    dsp.dspEQEnable(0);
  }

  /**
   * Voice removal switched on before the host ever sent a filter steps records that have no
   * coefficients, which return their input: each channel loses the whole opposite channel, as the
   * plain stream of L - R and R - L shows. Refused filters leave it so; the first accepted filter
   * then takes effect.
   */
  @Test
  @Order(7)
  void voiceRemovalBeforeAnyFilterSubtractsTheWholeOppositeChannel() {
    short[] in = busyStereo();
    short[] difference = new short[in.length];
    for (int i = 0; i < in.length; i += 2) {
      difference[i] = (short) (in[i] - in[i + 1]);
      difference[i + 1] = (short) (in[i + 1] - in[i]);
    }
    short[] plain = stream(in);
    short[] unfiltered = stream(difference);
    dsp.dspVoiceRemovalEnable(1);
    dsp.dspVoiceRemovalAmount(1f);
    assertArrayEquals(unfiltered, stream(in), "voice removal without a filter");

    double[][] filter =
        VoiceRemovalTest.bandPass(VoiceRemovalTest.LOW_EDGE, VoiceRemovalTest.HIGH_EDGE);
    double[] a = filter[0];
    double[] b = filter[1];
    assertThrows(IllegalArgumentException.class, () -> dsp.dspVoiceRemovalFilter(a, b, 0, 3));
    assertThrows(IllegalArgumentException.class, () -> dsp.dspVoiceRemovalFilter(a, b, 3, 4));
    assertThrows(NullPointerException.class, () -> dsp.dspVoiceRemovalFilter(null, b, 3, 3));
    assertThrows(NullPointerException.class, () -> dsp.dspVoiceRemovalFilter(a, null, 3, 3));
    assertArrayEquals(unfiltered, stream(in), "a refused filter was loaded");

    dsp.dspVoiceRemovalFilter(a, b, 3, 3);
    short[] removed = stream(in);
    int steady = NativeStreams.LATENCY + 2 * FRAME;
    for (int ch = 0; ch < 2; ch++) {
      double before = Spectra.toneAmplitude(
          Pcm.rawChannel(plain, 2, ch), steady, FRAMES, VoiceRemovalTest.CENTRE, RATE);
      double after = Spectra.toneAmplitude(
          Pcm.rawChannel(removed, 2, ch), steady, FRAMES, VoiceRemovalTest.CENTRE, RATE);
      assertTrue(20 * Math.log10(before / after) >= 30,
          "channel " + ch + ": centre tone " + before + " became " + after);
    }
    dsp.dspVoiceRemovalEnable(0);
    dsp.dspVoiceRemovalAmount(0f);
  }

  /**
   * Until the host sets them: pre-amplifier 1.0, remix off, analyser on. Every dspInit clears the
   * bands.
   */
  @Test
  @Order(8)
  void defaultsHoldUntilSet() {
    short[] in = busyStereo();
    short[] plain = stream(in);
    float[] bands = new float[72];
    dsp.dspGetSpectrum(bands, 72);
    int strongest = 0;
    for (int band = 0; band < 72; band++) {
      strongest = bands[band] > bands[strongest] ? band : strongest;
    }
    assertEquals(45, strongest, "the analyser should show A4: " + Arrays.toString(bands));

    dsp.dspSetPreamp(1f);
    dsp.dspPanning(0, 0, 0);
    assertArrayEquals(plain, stream(in));
    dsp.dspPanning(1, 0, 0);
    assertFalse(Arrays.equals(plain, stream(in)), "the remix is not visible in this stream");
    dsp.dspPanning(0, 0, 0);

    dsp.dspInit(FRAME, OVER, RATE, 2);
    dsp.dspGetSpectrum(bands, 72);
    assertArrayEquals(new float[72], bands, "dspInit kept the bands");
  }
}
