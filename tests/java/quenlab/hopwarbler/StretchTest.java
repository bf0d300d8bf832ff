package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.HOP;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.Arrays;
import java.util.List;
import java.util.stream.Stream;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import quenlab.hopwarbler.support.Levels;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;
import quenlab.hopwarbler.support.Spectra;

/** Time-scaled streams: pitch, gain, output length, block sizes and the clamped hops. */
class StretchTest {
  private static final int BLOCK = 8 * HOP;
  private static final double[] TONES = {440.0, 1234.5};
  private static final double[] AMPLITUDES = {10000, 7000};

  private final NativeInterface dsp = new NativeInterface();

  private static short[] tones(int frames, int channels) {
    return channels == 1 ? Sounds.pcm(frames, Sounds.sine(AMPLITUDES[0], TONES[0], RATE))
                         : Sounds.pcm(frames, Sounds.sine(AMPLITUDES[0], TONES[0], RATE),
                             Sounds.sine(AMPLITUDES[1], TONES[1], RATE));
  }

  static Stream<Arguments> ratios() {
    return Stream.of(0.5, 0.8, 1.25, 1.5)
        .flatMap(r -> Stream.of(Arguments.of(r, 1), Arguments.of(r, 2)));
  }

  @ParameterizedTest(name = "ratio {0}, {1} channel(s)")
  @MethodSource("ratios")
  void stretchedToneKeepsItsFrequencyAndLevel(double ratio, int channels) {
    int stepOut = (int) (HOP * ratio);
    int blockOut = BLOCK / HOP * stepOut;
    int blocks = 24;
    short[] in = tones(blocks * BLOCK, channels);
    short[] out = NativeStreams.stretch(dsp, in, channels, BLOCK, blockOut);
    assertEquals(blocks * blockOut * channels, out.length);

    // A steady stretch of output well past the stretched latency.
    int from = 4 * FRAME;
    int to = from + 32768;
    assertTrue(to <= out.length / channels);
    for (int ch = 0; ch < channels; ch++) {
      double[] y = Pcm.rawChannel(out, channels, ch);
      double hz = Spectra.peakFrequency(y, from, to, TONES[ch], RATE);
      double cents = Levels.cents(hz, TONES[ch]);
      assertEquals(0, cents, 0.1, "channel " + ch + " measured " + hz + " Hz");

      // Frame by frame the tone keeps its level: no gaps, no stale or doubled frames.
      for (int at = from; at + FRAME <= to; at += FRAME) {
        double level = Spectra.toneAmplitude(y, at, at + FRAME, TONES[ch], RATE) / AMPLITUDES[ch];
        assertEquals(0.75, level, 0.02, "channel " + ch + " level at frame " + at);
      }
    }
  }

  static Stream<Arguments> chunkings() {
    int[] odd = {1, 1, 1, 7, 64, 511, 513, 8192, 3, 1000, 4096, 1, 20000, 77};
    int[] growing = {64, 8192, 1, 2, 3, 16384, 5, 512, 30000};
    return Stream.of(Arguments.of(1, 1, 1, odd), Arguments.of(2, 1, 1, odd),
        Arguments.of(2, 1, 1, growing),
        Arguments.of(1, 5, 4, new int[] {4, 8, 64, 512, 8192, 100, 1000, 4, 4, 4, 12000, 36}),
        Arguments.of(2, 1, 2, new int[] {2, 64, 510, 8192, 2, 2, 6000, 1024, 14}));
  }

  /**
   * Blocks of any size, smaller than the hop, larger than any block before, not aligned with the
   * hop, return the first samplesOut entries of the vocoder's output buffers; where those hold
   * samples of this stream they are the samples of the same stream fed in hop-aligned blocks.
   */
  @ParameterizedTest(name = "{0} channel(s), ratio {1}/{2}, blocks {3}")
  @MethodSource("chunkings")
  void blocksOfAnySizeReturnWhatTheVocoderHandedOut(int channels, int num, int den, int[] chunks) {
    int[][] sizes = new int[chunks.length][];
    int total = 0;
    int totalOut = 0;
    for (int i = 0; i < chunks.length; i++) {
      sizes[i] = new int[] {chunks[i], chunks[i] * num / den};
      assertEquals(0, chunks[i] * num % den);
      total += chunks[i];
      totalOut += sizes[i][1];
    }
    int stepOut = NativeStreams.stepOut(den, num);
    short[] in = tones(total + BLOCK, channels);
    dsp.dspInit(FRAME, NativeStreams.OVER, RATE, channels);
    List<short[]> got = NativeStreams.feed(dsp, in, channels, sizes);

    short[] aligned = NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK / HOP * stepOut);
    List<int[]> expected =
        NativeStreams.bufferModel(aligned, channels, stepOut, sizes, Integer.MIN_VALUE);
    int compared = 0;
    for (int b = 0; b < sizes.length; b++) {
      int[] want = expected.get(b);
      short[] have = got.get(b);
      assertEquals(want.length, have.length);
      for (int i = 0; i < want.length; i++) {
        if (want[i] != Integer.MIN_VALUE) {
          int block = b;
          int entry = i;
          assertEquals(want[i], have[i],
              () -> "block " + block + " " + Arrays.toString(sizes[block]) + ", entry " + entry);
          compared++;
        }
      }
    }
    assertTrue(compared > totalOut * channels / 2, "only " + compared + " entries were comparable");
  }

  static Stream<Arguments> clampedHops() {
    // {samplesIn, samplesOut} of the clamped blocks, of the reference blocks, how many
    // reference blocks one clamped block spans, and how many clamped blocks to run. With a hop
    // of 1 the overlap-add needs frameSize frames before the output reaches its level.
    return Stream.of(Arguments.of(1, new int[] {4096, 1}, new int[] {512, 1}, 8, 320),
        Arguments.of(2, new int[] {4096, 1}, new int[] {512, 1}, 8, 320),
        Arguments.of(1, new int[] {512, 8192}, new int[] {512, 2048}, 1, 12),
        Arguments.of(2, new int[] {512, 8192}, new int[] {512, 2048}, 1, 12),
        Arguments.of(1, new int[] {512, 100000}, new int[] {512, 2048}, 1, 12));
  }

  /**
   * A ratio whose hop truncates to 0 runs with a hop of 1, and one above overSampling with a hop
   * of frameSize: the fresh samples of such blocks equal those of blocks asking for exactly that
   * hop, and nothing written is out of range.
   */
  @ParameterizedTest(name = "{0} channel(s), blocks {1} run as {2}")
  @MethodSource("clampedHops")
  void hopsOutsideOneToFrameSizeAreClamped(
      int channels, int[] clamped, int[] reference, int span, int blocks) {
    short[] in = tones(blocks * clamped[0], channels);
    dsp.dspInit(FRAME, NativeStreams.OVER, RATE, channels);
    int[][] clampedSizes = new int[blocks][];
    Arrays.fill(clampedSizes, clamped);
    List<short[]> got = NativeStreams.feed(dsp, in, channels, clampedSizes);

    dsp.dspInit(FRAME, NativeStreams.OVER, RATE, channels);
    int[][] referenceSizes = new int[blocks * span][];
    Arrays.fill(referenceSizes, reference);
    List<short[]> want = NativeStreams.feed(dsp, in, channels, referenceSizes);

    int fresh = Math.min(clamped[1], reference[1] * span) * channels;
    boolean sound = false;
    for (int b = 0; b < blocks; b++) {
      short[] have = got.get(b);
      short[] first = want.get(b * span);
      assertArrayEquals(Arrays.copyOf(first, Math.min(fresh, first.length)),
          Arrays.copyOf(have, Math.min(fresh, first.length)), "block " + b);
      for (short v : have) {
        assertTrue(v != -32768, "block " + b + " holds -32768");
        sound |= v != 0;
      }
    }
    assertTrue(sound, "the clamped stream is silent");
  }
}
