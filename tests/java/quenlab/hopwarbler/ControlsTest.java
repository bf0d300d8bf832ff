package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.HOP;
import static quenlab.hopwarbler.NativeStreams.OVER;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.Arrays;
import java.util.function.IntToDoubleFunction;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;
import quenlab.hopwarbler.support.Spectra;

/**
 * The settings a host changes between blocks (pre-amplifier, balance and mono fold, equaliser,
 * analyser switch) and the results it reads back (peak level, note spectrum), measured in the
 * stream they act on. The settings are process-wide: every case starts from and returns to the
 * defaults, so the other classes sharing this JVM see an untouched library.
 */
class ControlsTest {
  private static final int BLOCK = 8 * HOP;
  private static final int FRAMES = 16 * FRAME;
  /** Whole numbers of cycles per frame, so that every frame sees a steady tone. */
  private static final double TONE_LEFT = 40.0 * RATE / FRAME;
  private static final double TONE_RIGHT = 97.0 * RATE / FRAME;
  /** The largest equaliser the library can have: half the largest frame. */
  private static final int MAX_BANDS = 2048;
  private static final float SENTINEL = -7.25f;

  private final NativeInterface dsp = new NativeInterface();

  @BeforeEach
  @AfterEach
  void restoreDefaults() {
    dsp.dspSetPreamp(1f);
    dsp.dspPanning(0, 0, 0);
    dsp.dspVoiceRemovalEnable(0);
    dsp.dspVoiceRemovalAmount(0f);
    dsp.dspEQEnable(0);
    float[] flat = new float[MAX_BANDS];
    Arrays.fill(flat, 1f);
    dsp.dspEQSetBands(flat);
    dsp.dspSpectrumEnable(1);
  }

  private static IntToDoubleFunction mix(IntToDoubleFunction first, IntToDoubleFunction second) {
    return i -> first.applyAsDouble(i) + second.applyAsDouble(i);
  }

  private static double note(int band) {
    return 440 * Math.pow(2, (band - 45) / 12.0);
  }

  private float[] spectrum() {
    float[] values = new float[72];
    dsp.dspGetSpectrum(values, 72);
    return values;
  }

  private static int strongest(float[] values) {
    int best = 0;
    for (int b = 1; b < values.length; b++) {
      if (values[b] > values[best]) {
        best = b;
      }
    }
    return best;
  }

  private static float[] filled(int length, float value) {
    float[] a = new float[length];
    Arrays.fill(a, value);
    return a;
  }

  // ---- Pre-amplifier and peak level ----

  /**
   * The output gain multiplies the ratio-1 output, which NativeStreams.ratioOneModel works out from
   * the overlap-add of the frames; the peak level of the last block is the largest |gain x model|.
   */
  @ParameterizedTest(name = "preamp {0}")
  @ValueSource(floats = {1f, 2f, 0.5f, -1f, 0f})
  void preampScalesTheOutputAndThePeak(float gain) {
    short[] in = Sounds.pcm(
        FRAMES, Sounds.sine(12000, TONE_LEFT, RATE), Sounds.sine(9000, TONE_RIGHT, RATE));
    dsp.dspSetPreamp(gain);
    short[] out = NativeStreams.stretch(dsp, in, 2, BLOCK, BLOCK);
    double peak = 0;
    for (int ch = 0; ch < 2; ch++) {
      double[] model = NativeStreams.ratioOneModel(Pcm.rawChannel(in, 2, ch), FRAMES);
      NativeStreams.assertClose("channel " + ch,
          n -> NativeStreams.quantize(gain * model[n]), Pcm.rawChannel(out, 2, ch), 0, FRAMES, 1);
      for (int n = FRAMES - BLOCK; n < FRAMES; n++) {
        peak = Math.max(peak, Math.abs(gain * model[n]));
      }
    }
    assertEquals(peak, dsp.dspGetMaxLevel(), 1e-5);
    // A steady tone's peak: 0.75 x its amplitude, to the sampling of the crest.
    assertEquals(Math.abs(gain) * 0.75 * 12000 / 32768, dsp.dspGetMaxLevel(), 1e-3);
  }

  static Stream<Arguments> lastBlocks() {
    return Stream.of(Arguments.of("a tone block", 1, 1f, BLOCK, BLOCK, 0.75 * 12000 / 32768),
        Arguments.of("a tone block", 2, 1f, BLOCK, BLOCK, 0.75 * 12000 / 32768),
        Arguments.of("a tone block, preamp 4 (above the limiter)", 2, 4f, BLOCK, BLOCK,
            4 * 0.75 * 12000 / 32768),
        Arguments.of("a block asking for no frames", 2, 1f, BLOCK, 0, 0.0),
        Arguments.of("a block giving no frames", 1, 1f, 0, BLOCK, 0.0));
  }

  /** The peak level of the last block only, taken before the limiter. */
  @ParameterizedTest(name = "{0}, {1} channel(s)")
  @MethodSource("lastBlocks")
  void peakLevelIsThatOfTheLastBlock(
      String what, int channels, float gain, int lastIn, int lastOut, double expected) {
    IntToDoubleFunction tone = Sounds.sine(12000, TONE_LEFT, RATE);
    short[] in = channels == 1 ? Sounds.pcm(FRAMES, tone)
                               : Sounds.pcm(FRAMES, tone, Sounds.sine(6000, TONE_RIGHT, RATE));
    dsp.dspSetPreamp(gain);
    NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK);
    assertTrue(dsp.dspGetMaxLevel() > 0);
    // One more block of the same tone, continuing the stream.
    short[] last = Arrays.copyOfRange(in, in.length - BLOCK * channels, in.length);
    short[] block = Arrays.copyOf(last, Math.max(lastIn, lastOut) * channels + 1);
    dsp.dspProcess(block, lastIn, lastOut, 0f);
    assertEquals(expected, dsp.dspGetMaxLevel(), 1e-4 * expected);
  }

  @ParameterizedTest(name = "{0} channel(s)")
  @ValueSource(ints = {1, 2})
  void peakLevelAfterSilenceIsZero(int channels) {
    IntToDoubleFunction toneThenSilence =
        i -> i < FRAMES - 2 * BLOCK ? 20000 * Math.sin(2 * Math.PI * TONE_LEFT * i / RATE) : 0;
    short[] in = channels == 1 ? Sounds.pcm(FRAMES, toneThenSilence)
                               : Sounds.pcm(FRAMES, toneThenSilence, toneThenSilence);
    short[] out = NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK);
    for (int i = out.length - BLOCK * channels; i < out.length; i++) {
      assertEquals(0, out[i], "entry " + i + " of the last block");
    }
    assertEquals(0f, dsp.dspGetMaxLevel());
  }

  // ---- Balance and mono fold ----

  /**
   * Each output channel is a weighted sum of the inputs, left = leftFromLeft L + leftFromRight R
   * and right likewise, run through the ratio-1 model. The remix is off unless active is set,
   * whatever the level; the mono fold overrides the level; the level is not clamped to 0..100.
   */
  @ParameterizedTest(name = "dspPanning({0}, {1}, {2})")
  @CsvSource({
      "0, 0, 0, 1, 0, 0, 1",
      "0, 1, 100, 1, 0, 0, 1",
      "1, 0, 50, 1, 0, 0, 1",
      "1, 0, 0, 0, 1, 0, 1",
      "1, 0, 100, 1, 0, 1, 0",
      "1, 0, 25, 0.5, 0.5, 0, 1",
      "1, 0, 75, 1, 0, 0.5, 0.5",
      "1, 1, 0, 0.5, 0.5, 0.5, 0.5",
      "1, 1, 37, 0.5, 0.5, 0.5, 0.5",
      "1, 0, 120, 1, 0, 1.4, -0.4",
      "1, 0, -20, -0.4, 1.4, 0, 1",
  })
  void
  remixWeighsTheChannels(int active, int mono, int level, double leftFromLeft, double leftFromRight,
      double rightFromLeft, double rightFromRight) {
    short[] in =
        Sounds.pcm(FRAMES, mix(Sounds.sine(9000, TONE_LEFT, RATE), Sounds.noise(1000, 71, FRAMES)),
            mix(Sounds.sine(7000, TONE_RIGHT, RATE), Sounds.noise(1000, 72, FRAMES)));
    dsp.dspPanning(active, mono, level);
    short[] out = NativeStreams.stretch(dsp, in, 2, BLOCK, BLOCK);
    double[] l = Pcm.rawChannel(in, 2, 0);
    double[] r = Pcm.rawChannel(in, 2, 1);
    double[][] weights = {{leftFromLeft, leftFromRight}, {rightFromLeft, rightFromRight}};
    for (int ch = 0; ch < 2; ch++) {
      double[] x = new double[FRAMES];
      for (int n = 0; n < FRAMES; n++) {
        x[n] = weights[ch][0] * l[n] + weights[ch][1] * r[n];
      }
      double[] model = NativeStreams.ratioOneModel(x, FRAMES);
      NativeStreams.assertClose("channel " + ch + " (noise seeds 71, 72)",
          n -> NativeStreams.quantize(model[n]), Pcm.rawChannel(out, 2, ch), 0, FRAMES, 1);
    }
  }

  // ---- Note spectrum ----

  static Stream<Arguments> notes() {
    return Stream.of(Arguments.of("A4", 45, 1, 16000, 0, 1.0f, 1.0),
        Arguments.of("A4", 45, 2, 16000, 16000, 1.0f, 1.0),
        Arguments.of("A4, preamp 0.25", 45, 1, 16000, 0, 0.25f, 1.0),
        Arguments.of("A4, ratio 1.5", 45, 1, 16000, 0, 1.0f, 1.5),
        Arguments.of("C4, left only", 36, 2, 16000, 0, 1.0f, 1.0),
        Arguments.of("C5", 48, 2, 16000, 8000, 1.0f, 1.0),
        Arguments.of("C3", 24, 1, 16000, 0, 1.0f, 1.0),
        Arguments.of("C6", 60, 1, 16000, 0, 1.0f, 1.0),
        Arguments.of("C2", 12, 1, 16000, 0, 1.0f, 1.0),
        Arguments.of("B6", 71, 1, 16000, 0, 1.0f, 1.0));
  }

  /**
   * A steady note is the strongest band, settled at 0.3125 x the amplitude the analyser is fed:
   * the mean of the two channels as the vocoder hands it out, before the driver divides by the
   * overlap gain FRAME / (2 stepOut) and applies the pre-amplifier. At ratio 1 that is 1.5 x the
   * input amplitude. Blocks of one hop give one frame per channel, so the stereo fold averages
   * matching frames.
   */
  @ParameterizedTest(name = "{0}, band {1}, {2} channel(s)")
  @MethodSource("notes")
  void steadyNoteShowsInItsBand(
      String name, int band, int channels, int left, int right, float gain, double ratio) {
    double hz = note(band);
    short[] in = channels == 1
        ? Sounds.pcm(24 * FRAME, Sounds.sine(left, hz, RATE))
        : Sounds.pcm(24 * FRAME, Sounds.sine(left, hz, RATE), Sounds.sine(right, hz, RATE));
    dsp.dspSetPreamp(gain);
    int stepOut = (int) (HOP * ratio);
    NativeStreams.stretch(dsp, in, channels, HOP, stepOut);
    float[] values = spectrum();
    double amplitude = channels == 1 ? left : (left + right) / 2.0;
    double pushed = 0.75 * FRAME / (2.0 * stepOut) * amplitude / 32768;
    assertEquals(band, strongest(values), "strongest band of " + Arrays.toString(values));
    assertEquals(0.3125 * pushed, values[band], 1e-3 * 0.3125 * pushed, name);
  }

  /** While the analyser is off its bands, history and counter stay as they were. */
  @Test
  void disabledAnalyserFreezesAndResumesFromItsHistory() {
    short[] a4 = Sounds.pcm(24 * FRAME, Sounds.sine(16000, note(45), RATE));
    short[] c5 = Sounds.pcm(16 * FRAME, Sounds.sine(16000, note(48), RATE));
    dsp.dspInit(FRAME, OVER, RATE, 1);
    NativeStreams.feed(dsp, a4, 1, blocks(a4.length / HOP, HOP));
    float[] before = spectrum();
    assertEquals(45, strongest(before));

    dsp.dspSpectrumEnable(0);
    for (int half = 0; half < 2; half++) {
      NativeStreams.feed(dsp,
          Arrays.copyOfRange(c5, half * c5.length / 2, (half + 1) * c5.length / 2), 1,
          blocks(c5.length / 2 / HOP, HOP));
      assertArrayEquals(before, spectrum(), "bands moved while the analyser was off");
    }

    // Any non-zero value enables. The vocoder now hands out C5, but the first analysis still
    // sees a history of A4 with only the newest few hundred samples of C5.
    dsp.dspSpectrumEnable(-3);
    float[] resumed = before;
    int pushes = 0;
    short[] more = Sounds.pcm(8 * FRAME, Sounds.sine(16000, note(48), RATE));
    while (Arrays.equals(resumed, before)) {
      NativeStreams.feed(
          dsp, Arrays.copyOfRange(more, pushes * HOP, (pushes + 1) * HOP), 1, blocks(1, HOP));
      pushes++;
      assertTrue(pushes <= 3, "no analysis within 3 pushes after enabling");
      resumed = spectrum();
    }
    assertEquals(
        45, strongest(resumed), "after " + pushes + " pushes: " + Arrays.toString(resumed));
    assertTrue(resumed[45] > 0.9 * before[45], Arrays.toString(resumed));

    NativeStreams.feed(dsp, more, 1, blocks(more.length / HOP, HOP));
    assertEquals(48, strongest(spectrum()));
  }

  private static int[][] blocks(int count, int size) {
    int[][] sizes = new int[count][];
    Arrays.fill(sizes, new int[] {size, size});
    return sizes;
  }

  /** A spectrum with every band set, from a short tone stream. */
  private float[] playSomething() {
    short[] in = Sounds.pcm(
        12 * FRAME, mix(Sounds.sine(12000, note(45), RATE), Sounds.noise(3000, 73, 12 * FRAME)));
    NativeStreams.stretch(dsp, in, 1, BLOCK, BLOCK);
    float[] values = spectrum();
    for (float v : values) {
      assertTrue(v > 0, Arrays.toString(values));
    }
    return values;
  }

  /** min(size, 72) values are copied; the rest of the array is left as it was. */
  @ParameterizedTest(name = "array of {0}, size {1}: {2} copied")
  @CsvSource({
      "100, 100, 72",
      "100, 72, 72",
      "100, 10, 10",
      "100, 0, 0",
      "100, -1, 0",
      "100, -2147483648, 0",
      "72, 2147483647, 72",
      "10, 10, 10",
      "1, 1, 1",
      "0, 0, 0",
      "0, -5, 0",
  })
  void
  spectrumCopiesAtMost72Values(int length, int size, int copied) {
    float[] values = playSomething();
    float[] array = filled(length, SENTINEL);
    dsp.dspGetSpectrum(array, size);
    float[] expected = filled(length, SENTINEL);
    System.arraycopy(values, 0, expected, 0, copied);
    assertArrayEquals(expected, array);
  }

  @ParameterizedTest(name = "array of {0}, size {1}")
  @CsvSource({"50, 72, 50", "71, 100, 72", "0, 1, 1", "10, 11, 11", "71, 2147483647, 72"})
  void shortSpectrumArrayIsRefusedUntouched(int length, int size, int needed) {
    float[] values = playSomething();
    float[] array = filled(length, SENTINEL);
    IllegalArgumentException e =
        assertThrows(IllegalArgumentException.class, () -> dsp.dspGetSpectrum(array, size));
    for (long n : new long[] {length, needed}) {
      assertTrue(VoiceRemovalTest.namesNumber(e.getMessage(), n),
          "message should name " + n + ": " + e.getMessage());
    }
    assertArrayEquals(filled(length, SENTINEL), array);
    assertArrayEquals(values, spectrum(), "the bands changed");
  }

  @ParameterizedTest(name = "size {0}")
  @ValueSource(ints = {72, 0, -1})
  void nullSpectrumArrayThrowsNullPointerException(int size) {
    assertThrows(NullPointerException.class, () -> dsp.dspGetSpectrum(null, size));
  }

  // ---- Equaliser ----

  /**
   * The equaliser's band count: half the frame size of the first dspInit of the process, which
   * another class may have made (this one makes it if none has). A table shorter than the count is
   * refused, so the count is the first power of two (frame sizes are powers of two) whose flat
   * table is taken.
   */
  private int equaliserBands() {
    // Without any dspInit yet there is no table, and every table would be taken.
    dsp.dspInit(FRAME, OVER, RATE, 2);
    for (int n = 2; n <= MAX_BANDS; n *= 2) {
      try {
        dsp.dspEQSetBands(filled(n, 1f));
        return n;
      } catch (IllegalArgumentException e) {
        // Too short: try the next size.
      }
    }
    throw new AssertionError("no table of up to " + MAX_BANDS + " gains was taken");
  }

  /** A stream at the equaliser's own frame size (one gain per bin), ratio 1, blocks of 8 hops. */
  private static short[] streamAt(NativeInterface dsp, int frame, short[] in) {
    int block = 8 * frame / OVER;
    dsp.dspInit(frame, OVER, RATE, 2);
    short[] out = new short[in.length];
    short[] buffer = new short[2 * block];
    for (int at = 0; at + 2 * block <= in.length; at += 2 * block) {
      System.arraycopy(in, at, buffer, 0, 2 * block);
      dsp.dspProcess(buffer, block, block, 0f);
      System.arraycopy(buffer, 0, out, at, 2 * block);
    }
    return out;
  }

  /**
   * With the frame at twice the band count, bin k of the table sits at k RATE / frame: a tone at a
   * quarter of the rate is bin nBands / 2 and one at an eighth bin nBands / 4, whatever the count.
   * A bin-centred tone under the analysis window fills its own bin and the two beside it, so
   * zeroing those three gains removes it while the other tone keeps its level.
   */
  @Test
  void equaliserGainsShapeTheBinsWhileSwitchedOn() {
    int bands = equaliserBands();
    assumeTrue(bands >= 16, "the process's first dspInit left only " + bands + " bands");
    int frame = 2 * bands;
    int frames = 16 * frame;
    double removedHz = RATE / 4.0;
    double keptHz = RATE / 8.0;
    IntToDoubleFunction both =
        mix(Sounds.sine(9000, removedHz, RATE), Sounds.sine(6000, keptHz, RATE));
    short[] in = Sounds.pcm(frames, both, both);
    short[] plain = streamAt(dsp, frame, in);

    dsp.dspEQEnable(1);
    assertArrayEquals(plain, streamAt(dsp, frame, in), "a flat table changed the stream");

    float[] notch = filled(bands, 1f);
    Arrays.fill(notch, bands / 2 - 1, bands / 2 + 2, 0f);
    dsp.dspEQSetBands(notch);
    short[] notched = streamAt(dsp, frame, in);
    int steady = 2 * frame;
    for (int ch = 0; ch < 2; ch++) {
      double[] y = Pcm.rawChannel(plain, 2, ch);
      double[] z = Pcm.rawChannel(notched, 2, ch);
      double removedBefore = Spectra.toneAmplitude(y, steady, frames, removedHz, RATE);
      double removedAfter = Spectra.toneAmplitude(z, steady, frames, removedHz, RATE);
      assertTrue(removedAfter < 1e-3 * removedBefore,
          "channel " + ch + ": " + removedBefore + " became " + removedAfter);
      assertEquals(Spectra.toneAmplitude(y, steady, frames, keptHz, RATE),
          Spectra.toneAmplitude(z, steady, frames, keptHz, RATE), 1.0, "kept tone, channel " + ch);
    }

    // The switch is independent of the table: off restores the plain stream, on applies the
    // table again, for any non-zero value.
    dsp.dspEQEnable(0);
    assertArrayEquals(plain, streamAt(dsp, frame, in));
    dsp.dspEQEnable(-2);
    assertArrayEquals(notched, streamAt(dsp, frame, in));

    // Halving every gain halves the output; zeroing every gain silences it.
    dsp.dspEQSetBands(filled(bands, 0.5f));
    short[] half = streamAt(dsp, frame, in);
    for (int i = 0; i < in.length; i++) {
      assertEquals(plain[i] / 2.0, half[i], 1.5, "entry " + i + " with every gain 0.5");
    }
    dsp.dspEQSetBands(filled(bands, 0f));
    assertArrayEquals(new short[in.length], streamAt(dsp, frame, in), "every gain 0");
  }

  /** A table shorter than the band count, or none, is refused and the gains in place stay. */
  @Test
  void shortOrMissingTableIsRefusedAndTheGainsStay() {
    int bands = equaliserBands();
    int frame = 2 * bands;
    short[] in = Sounds.pcm(
        16 * frame, Sounds.noise(8000, 74, 16 * frame), Sounds.noise(8000, 75, 16 * frame));
    float[] ramp = new float[bands];
    for (int k = 0; k < bands; k++) {
      ramp[k] = (float) k / bands;
    }
    short[] plain = streamAt(dsp, frame, in);
    dsp.dspEQSetBands(ramp);
    dsp.dspEQEnable(1);
    short[] shaped = streamAt(dsp, frame, in);
    assertFalse(Arrays.equals(plain, shaped), "the ramp changed nothing");
    for (int length : new int[] {bands - 1, bands / 2, 1, 0}) {
      float[] levels = filled(length, 3f);
      IllegalArgumentException e =
          assertThrows(IllegalArgumentException.class, () -> dsp.dspEQSetBands(levels));
      for (long n : new long[] {length, bands}) {
        assertTrue(VoiceRemovalTest.namesNumber(e.getMessage(), n),
            "message should name " + n + ": " + e.getMessage());
      }
      assertArrayEquals(filled(length, 3f), levels);
    }
    assertThrows(NullPointerException.class, () -> dsp.dspEQSetBands(null));
    assertArrayEquals(shaped, streamAt(dsp, frame, in), "the gains changed (noise seeds 74, 75)");
  }
}
