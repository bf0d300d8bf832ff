package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.HOP;
import static quenlab.hopwarbler.NativeStreams.LATENCY;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.function.IntToDoubleFunction;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
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
 * Voice removal: each channel loses the opposite channel passed through the host's filter, so
 * what the two channels share cancels within the filter's band. The filter here is a band-pass
 * designed in the test, and the measured levels are compared with its response worked out in
 * closed form. The filter records are process-wide and keep their histories between streams, so
 * every stream loads the filter again first (which restarts both histories).
 */
class VoiceRemovalTest {
  private static final int BLOCK = 8 * HOP;
  private static final int FRAMES = 16 * FRAME;
  /** First output frame of steady signal: the latency, one frame of onset and a filter settle. */
  private static final int STEADY = LATENCY + FRAME + 512;
  static final double LOW_EDGE = 200;
  static final double HIGH_EDGE = 3000;
  /** Geometric centre of the band. */
  static final double CENTRE = Math.sqrt(LOW_EDGE * HIGH_EDGE);

  private static final double[][] BAND_PASS = bandPass(LOW_EDGE, HIGH_EDGE);
  private static final double[] A = BAND_PASS[0];
  private static final double[] B = BAND_PASS[1];

  private final NativeInterface dsp = new NativeInterface();

  /**
   * 2nd-order Butterworth band-pass by the bilinear transform: the analog prototype B s / (s^2 +
   * B s + W0^2), with the edges prewarped (W = tan(pi f / rate)), B = W2 - W1 and W0^2 = W1 W2,
   * mapped through s = (1 - 1/z) / (1 + 1/z) and divided by the leading denominator coefficient.
   * Returns {a, b} with a[0] = 1.
   */
  static double[][] bandPass(double low, double high) {
    double w1 = Math.tan(Math.PI * low / RATE);
    double w2 = Math.tan(Math.PI * high / RATE);
    double bw = w2 - w1;
    double w0sq = w1 * w2;
    double a0 = 1 + bw + w0sq;
    return new double[][] {{1, 2 * (w0sq - 1) / a0, (1 - bw + w0sq) / a0}, {bw / a0, 0, -bw / a0}};
  }

  /**
   * The filter's frequency response at hz as {re, im}: sum b[k] z^-k / (1 + sum_{k>=1} a[k] z^-k)
   * at z = e^(i w), evaluated directly.
   */
  static double[] response(double[] a, double[] b, double hz) {
    double w = 2 * Math.PI * hz / RATE;
    double[] num = polynomial(b, w, b[0]);
    double[] den = polynomial(a, w, 1);
    double d = den[0] * den[0] + den[1] * den[1];
    return new double[] {
        (num[0] * den[0] + num[1] * den[1]) / d, (num[1] * den[0] - num[0] * den[1]) / d};
  }

  private static double[] polynomial(double[] c, double w, double first) {
    double re = first;
    double im = 0;
    for (int k = 1; k < c.length; k++) {
      re += c[k] * Math.cos(w * k);
      im -= c[k] * Math.sin(w * k);
    }
    return new double[] {re, im};
  }

  /** |own - amount H other| for a tone of complex amplitudes own and other (both real here). */
  private static double mixedGain(double[] h, double own, double other, double amount) {
    return Math.hypot(own - amount * h[0] * other, amount * h[1] * other);
  }

  private void loadFilter(double[] a, double[] b) {
    dsp.dspVoiceRemovalFilter(a, b, a.length, b.length);
  }

  /** One stream from a fresh dspInit, with the band-pass reloaded so its histories start empty. */
  private short[] stream(short[] in, int channels) {
    // The first dspInit of the process empties the filter records, so the filter goes in after.
    dsp.dspInit(FRAME, NativeStreams.OVER, RATE, channels);
    loadFilter(A, B);
    return NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK);
  }

  /** A stereo stream in blocks of BLOCK frames, with interruption run between the middle two. */
  private short[] streamWith(short[] in, Runnable interruption) {
    dsp.dspInit(FRAME, NativeStreams.OVER, RATE, 2);
    loadFilter(A, B);
    int blocks = in.length / 2 / BLOCK;
    int half = blocks / 2;
    int[][] sizes = new int[blocks][];
    Arrays.fill(sizes, new int[] {BLOCK, BLOCK});
    List<short[]> out = new ArrayList<>(NativeStreams.feed(dsp, in, 2, Arrays.copyOf(sizes, half)));
    interruption.run();
    out.addAll(NativeStreams.feed(dsp, Arrays.copyOfRange(in, 2 * BLOCK * half, in.length), 2,
        Arrays.copyOfRange(sizes, half, blocks)));
    return Pcm.concat(out);
  }

  @AfterEach
  void switchVoiceRemovalOff() {
    dsp.dspVoiceRemovalEnable(0);
    dsp.dspVoiceRemovalAmount(0f);
  }

  static Stream<Arguments> tones() {
    double[] gainOnly = {0.5};
    return Stream.of(Arguments.of("centre", CENTRE, 16000, 16000, 1.0, B),
        Arguments.of("centre, amount 0.5", CENTRE, 16000, 16000, 0.5, B),
        Arguments.of("low edge", LOW_EDGE, 16000, 16000, 1.0, B),
        Arguments.of("high edge", HIGH_EDGE, 16000, 16000, 1.0, B),
        Arguments.of("left only, below the band", 60.0, 16000, 0, 1.0, B),
        Arguments.of("left only, above the band", 12000.0, 16000, 0, 1.0, B),
        Arguments.of("right only, below the band", 60.0, 0, 16000, 1.0, B),
        Arguments.of("left only, in the band", 1000.0, 16000, 0, 1.0, B),
        Arguments.of("centre, gain-only filter", 12000.0, 16000, 16000, 1.0, gainOnly));
  }

  /**
   * A tone of the same phase in both channels (or in one): each channel comes back with the
   * amplitude own - amount H(f) other, times the vocoder's gain at f, which the same stream
   * without voice removal measures. The centre tone falls by at least 30 dB, a tone in one channel
   * only keeps its level there within 1 dB and leaks into the other channel at |H(f)|.
   */
  @ParameterizedTest(name = "{0}: {1} Hz, amplitudes {2} / {3}, amount {4}")
  @MethodSource("tones")
  void toneLevelsFollowTheFilterResponse(
      String what, double hz, int left, int right, double amount, double[] b) {
    double[] a = b.length == 1 ? new double[] {1} : A;
    short[] in = Sounds.pcm(FRAMES, Sounds.sine(left, hz, RATE), Sounds.sine(right, hz, RATE));
    double[] amplitudes = {left, right};

    short[] plain = stream(in, 2);
    dsp.dspVoiceRemovalEnable(1);
    dsp.dspVoiceRemovalAmount((float) amount);
    loadFilter(a, b);
    short[] removed = NativeStreams.stretch(dsp, in, 2, BLOCK, BLOCK);

    int source = left != 0 ? 0 : 1;
    double vocoderGain =
        Spectra.toneAmplitude(Pcm.rawChannel(plain, 2, source), STEADY, FRAMES, hz, RATE)
        / amplitudes[source];
    double[] h = response(a, b, hz);
    for (int ch = 0; ch < 2; ch++) {
      double before = Spectra.toneAmplitude(Pcm.rawChannel(plain, 2, ch), STEADY, FRAMES, hz, RATE);
      double after =
          Spectra.toneAmplitude(Pcm.rawChannel(removed, 2, ch), STEADY, FRAMES, hz, RATE);
      double expected = vocoderGain * mixedGain(h, amplitudes[ch], amplitudes[1 - ch], amount);
      String context =
          String.format("%s, channel %d: %.2f before, %.2f after (%.2f dB), %.2f expected", what,
              ch, before, after, 20 * Math.log10(after / before), expected);
      // The quantiser truncates, which takes up to about 0.64 off a tone's amplitude.
      assertEquals(expected, after, 1.0 + 1e-4 * expected, context);
      if (left == right && amount == 1 && hz == CENTRE) {
        assertTrue(20 * Math.log10(before / after) >= 30, context);
      }
      if (amplitudes[ch] != 0 && amplitudes[1 - ch] == 0) {
        assertEquals(0, 20 * Math.log10(after / before), 1.0, context);
      }
    }
  }

  private static IntToDoubleFunction mix(IntToDoubleFunction first, IntToDoubleFunction second) {
    return i -> first.applyAsDouble(i) + second.applyAsDouble(i);
  }

  /** A centre tone in the band, a low tone on the left and noise on the right. */
  private static short[] busyStereo() {
    return Sounds.pcm(FRAMES, mix(Sounds.sine(8000, CENTRE, RATE), Sounds.sine(3000, 60, RATE)),
        mix(Sounds.sine(8000, CENTRE, RATE), Sounds.noise(2000, 61, FRAMES)));
  }

  /** Voice removal needs a stereo stream, the switch and an amount above 0. */
  @ParameterizedTest(name = "{0} channel(s), enable {1}, amount {2}")
  @CsvSource({"2, 1, 0", "2, 0, 1", "2, 0, 0", "2, 1, -0.5", "1, 1, 1"})
  void withoutAllThreeTheStreamIsPlain(int channels, int enabled, float amount) {
    short[] in = channels == 2 ? busyStereo() : Sounds.pcm(FRAMES, Sounds.sine(8000, CENTRE, RATE));
    short[] plain = stream(in, channels);
    dsp.dspVoiceRemovalEnable(enabled);
    dsp.dspVoiceRemovalAmount(amount);
    assertArrayEquals(plain, stream(in, channels), "noise seed 61");
  }

  @ParameterizedTest(name = "dspVoiceRemovalEnable({0})")
  @ValueSource(ints = {2, -1, Integer.MIN_VALUE, Integer.MAX_VALUE})
  void anyNonZeroValueEnables(int enabled) {
    short[] in = busyStereo();
    short[] plain = stream(in, 2);
    dsp.dspVoiceRemovalAmount(1f);
    dsp.dspVoiceRemovalEnable(1);
    short[] removed = stream(in, 2);
    assertFalse(Arrays.equals(plain, removed), "voice removal changed nothing");
    dsp.dspVoiceRemovalEnable(enabled);
    assertArrayEquals(removed, stream(in, 2), "noise seed 61");
    dsp.dspVoiceRemovalEnable(0);
    assertArrayEquals(plain, stream(in, 2), "noise seed 61");
  }

  /**
   * The filter takes sizeA and sizeB coefficients from the front of the arrays, whatever their
   * length, and never reads a[0].
   */
  @Test
  void filterReadsOnlyItsSizesAndNeverTheFirstFeedbackCoefficient() {
    short[] in = busyStereo();
    dsp.dspVoiceRemovalEnable(1);
    dsp.dspVoiceRemovalAmount(1f);
    short[] exact = stream(in, 2);
    double[][][] variants = {
        {{7.5, A[1], A[2]}, B},
        {{0, A[1], A[2]}, B},
        {{1, A[1], A[2], 99, -99}, {B[0], B[1], B[2], 42}},
    };
    for (double[][] v : variants) {
      dsp.dspVoiceRemovalFilter(v[0], v[1], 3, 3);
      assertArrayEquals(exact, NativeStreams.stretch(dsp, in, 2, BLOCK, BLOCK),
          "a = " + Arrays.toString(v[0]) + ", b = " + Arrays.toString(v[1]) + " (noise seed 61)");
    }
  }

  /** Whether message holds n as a whole number (not as part of a longer one). */
  static boolean namesNumber(String message, long n) {
    return message != null
        && Pattern.compile("(?<![0-9-])" + n + "(?![0-9])").matcher(message).find();
  }

  private static double[] coefficients(double[] first, int length) {
    double[] c = new double[length];
    for (int i = 0; i < length; i++) {
      c[i] = i < first.length ? first[i] : 1000 + i;
    }
    return c;
  }

  /**
   * A size below 1 or beyond its array is refused with a message naming the sizes and lengths;
   * the filter in place keeps running with its histories, and the arrays are not written.
   */
  @ParameterizedTest(name = "sizeA {0}, sizeB {1}, arrays of {2} and {3}")
  @CsvSource({
      "0, 3, 5, 6",
      "3, 0, 5, 6",
      "-1, 3, 5, 6",
      "3, -7, 5, 6",
      "6, 3, 5, 6",
      "3, 7, 5, 6",
      "-2147483648, 3, 5, 6",
      "3, 2147483647, 5, 6",
      "1, 1, 0, 4",
      "1, 1, 4, 0",
  })
  void
  badSizesAreRefusedAndChangeNothing(int sizeA, int sizeB, int lengthA, int lengthB) {
    dsp.dspVoiceRemovalEnable(1);
    dsp.dspVoiceRemovalAmount(1f);
    short[] in = busyStereo();
    short[] clean = streamWith(in, () -> {});
    short[] interrupted = streamWith(in, () -> {
      double[] a = coefficients(new double[] {1, 0.5, 0.25}, lengthA);
      double[] b = coefficients(new double[] {0.5, 0.5, 0.5}, lengthB);
      IllegalArgumentException e = assertThrows(
          IllegalArgumentException.class, () -> dsp.dspVoiceRemovalFilter(a, b, sizeA, sizeB));
      for (long n : new long[] {sizeA, sizeB, lengthA, lengthB}) {
        assertTrue(
            namesNumber(e.getMessage(), n), "message should name " + n + ": " + e.getMessage());
      }
      assertArrayEquals(coefficients(new double[] {1, 0.5, 0.25}, lengthA), a);
      assertArrayEquals(coefficients(new double[] {0.5, 0.5, 0.5}, lengthB), b);
    });
    assertArrayEquals(clean, interrupted, "the filter changed (noise seed 61)");
  }

  @Test
  void nullCoefficientsThrowNullPointerExceptionAndChangeNothing() {
    dsp.dspVoiceRemovalEnable(1);
    dsp.dspVoiceRemovalAmount(1f);
    short[] in = busyStereo();
    short[] clean = streamWith(in, () -> {});
    short[] interrupted = streamWith(in, () -> {
      double[] other = {0.5, 0.5, 0.5};
      assertThrows(NullPointerException.class, () -> dsp.dspVoiceRemovalFilter(null, other, 3, 3));
      assertThrows(NullPointerException.class, () -> dsp.dspVoiceRemovalFilter(other, null, 3, 3));
      assertThrows(NullPointerException.class, () -> dsp.dspVoiceRemovalFilter(null, null, 1, 1));
    });
    assertArrayEquals(clean, interrupted, "the filter changed (noise seed 61)");
  }
}
