package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.LATENCY;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.function.IntToDoubleFunction;
import java.util.stream.Stream;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import quenlab.hopwarbler.support.Levels;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;
import quenlab.hopwarbler.support.Spectra;

/** The stream at time-scale ratio 1: gains, latency, the whole output, and the clamp. */
class NativeInterfaceTest {
  private static final int BLOCK = 8 * NativeStreams.HOP;
  private static final int FRAMES = 16 * FRAME;
  // Whole numbers of cycles per frame, so that the frames see a steady tone.
  private static final double TONE_LEFT = 40.0 * RATE / FRAME;
  private static final double TONE_RIGHT = 97.0 * RATE / FRAME;

  private final NativeInterface dsp = new NativeInterface();

  /** Left and right signals of a case; mono uses the left one. */
  private static short[] input(int channels, IntToDoubleFunction left, IntToDoubleFunction right) {
    return channels == 1 ? Sounds.pcm(FRAMES, left) : Sounds.pcm(FRAMES, left, right);
  }

  static Stream<Arguments> steadyGains() {
    return Stream.of(1, 2).flatMap(channels
        -> Stream.of(Arguments.of(channels, "tone", Sounds.sine(12000, TONE_LEFT, RATE),
                         Sounds.sine(9000, TONE_RIGHT, RATE), 0.75),
            Arguments.of(
                channels, "constant", Sounds.constant(8000), Sounds.constant(-6000), 1.25)));
  }

  @ParameterizedTest(name = "{0} channel(s): {1} comes back at {4} x, 1536 frames late")
  @MethodSource("steadyGains")
  void steadySignalsComeBackScaledAndDelayed(
      int channels, String what, IntToDoubleFunction left, IntToDoubleFunction right, double gain) {
    short[] in = input(channels, left, right);
    short[] out = NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK);
    assertEquals(in.length, out.length);
    NativeStreams.assertScaledAndDelayed(what, in, out, channels, gain);
  }

  @ParameterizedTest(name = "{0} channel(s)")
  @ValueSource(ints = {1, 2})
  void toneGainMeasuredByFitIsThreeQuarters(int channels) {
    short[] in =
        input(channels, Sounds.sine(12000, TONE_LEFT, RATE), Sounds.sine(9000, TONE_RIGHT, RATE));
    short[] out = NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK);
    double[] tones = {TONE_LEFT, TONE_RIGHT};
    for (int ch = 0; ch < channels; ch++) {
      double inAmp =
          Spectra.toneAmplitude(Pcm.rawChannel(in, channels, ch), FRAME, FRAMES, tones[ch], RATE);
      double outAmp = Spectra.toneAmplitude(
          Pcm.rawChannel(out, channels, ch), LATENCY + FRAME, FRAMES, tones[ch], RATE);
      // 32767 / 32768 is the quantiser's own scale.
      assertEquals(0.75 * 32767 / 32768, outAmp / inAmp, 2e-4, "gain of channel " + ch);
    }
  }

  @ParameterizedTest(name = "{0} channel(s)")
  @ValueSource(ints = {1, 2})
  void noiseIsDelayedByFrameSizeLessOneHop(int channels) {
    short[] in = input(channels, Sounds.noise(8000, 11, FRAMES), Sounds.noise(8000, 12, FRAMES));
    short[] out = NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK);
    for (int ch = 0; ch < channels; ch++) {
      int lag = Levels.bestLag(
          Pcm.rawChannel(in, channels, ch), Pcm.rawChannel(out, channels, ch), 2 * FRAME);
      assertEquals(FRAME - FRAME / 4, lag, "delay of channel " + ch + " (noise seeds 11, 12)");
    }
  }

  /**
   * At ratio 1 the vocoder keeps every bin's analysis phase, so the whole output, from the first
   * sample on, is the overlap-add of the windowed frames with their DC bin doubled and their
   * Nyquist bin dropped, which NativeStreams.ratioOneModel works out without an FFT.
   */
  @ParameterizedTest(name = "{0} channel(s)")
  @ValueSource(ints = {1, 2})
  void wholeOutputMatchesTheOverlapAddOfTheFrames(int channels) {
    short[] in = input(channels,
        mix(Sounds.sine(6000, 137.3, RATE), Sounds.sine(4000, 1234.5, RATE),
            Sounds.sine(1500, 19000.7, RATE), Sounds.constant(900), Sounds.noise(700, 21, FRAMES)),
        mix(Sounds.sine(5000, 311.1, RATE), Sounds.sine(3000, 4444.4, RATE),
            Sounds.sine(1000, 21000.3, RATE), Sounds.constant(-1200),
            Sounds.noise(900, 22, FRAMES)));
    short[] out = NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK);
    for (int ch = 0; ch < channels; ch++) {
      double[] model = NativeStreams.ratioOneModel(Pcm.rawChannel(in, channels, ch), FRAMES);
      NativeStreams.assertClose("channel " + ch + " (noise seeds 21, 22)",
          n -> NativeStreams.quantize(model[n]), Pcm.rawChannel(out, channels, ch), 0, FRAMES, 1);
    }
  }

  static Stream<Arguments> fullScaleNegative() {
    IntToDoubleFunction square = i -> (i / 50) % 2 == 0 ? 32767 : -32768;
    IntToDoubleFunction low = Sounds.constant(-32768);
    return Stream.of(Arguments.of(1, 1.0, low, low, new int[] {-32767}),
        Arguments.of(2, 1.0, low, Sounds.constant(32767), new int[] {-32767, 32767}),
        Arguments.of(2, 1.0, low, low, new int[] {-32767, -32767}),
        Arguments.of(1, 0.8, square, square, null), Arguments.of(2, 1.25, square, low, null),
        Arguments.of(1, 1.5, square, square, null));
  }

  /**
   * A constant -32768 leaves the vocoder at 1.25 x full scale and is clamped; a full-scale square
   * overshoots at every ratio. Neither may come back as -32768.
   */
  @ParameterizedTest(name = "{0} channel(s), ratio {1}")
  @MethodSource("fullScaleNegative")
  void fullScaleNegativeInputNeverComesBackAsMinus32768(int channels, double ratio,
      IntToDoubleFunction left, IntToDoubleFunction right, int[] steady) {
    short[] in = input(channels, left, right);
    int stepOut = (int) (NativeStreams.HOP * ratio);
    short[] out =
        NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK / NativeStreams.HOP * stepOut);
    for (int i = 0; i < out.length; i++) {
      assertTrue(out[i] != -32768, "entry " + i + " is -32768");
    }
    if (steady != null) {
      for (int n = LATENCY + FRAME; n < out.length / channels; n++) {
        for (int ch = 0; ch < channels; ch++) {
          assertEquals(steady[ch], out[n * channels + ch], "channel " + ch + ", frame " + n);
        }
      }
    }
  }

  /** Only 1 means mono; every other channel count is interleaved stereo. */
  @ParameterizedTest(name = "channels = {0}")
  @ValueSource(ints = {0, 3, -1, Integer.MAX_VALUE})
  void channelCountsOtherThanOneMeanStereo(int channels) {
    short[] in = input(2, Sounds.sine(9000, 440, RATE), Sounds.sine(7000, 660, RATE));
    short[] stereo = NativeStreams.stretch(dsp, in, 2, BLOCK, BLOCK);
    dsp.dspInit(FRAME, NativeStreams.OVER, RATE, channels);
    short[] other = new short[in.length];
    short[] block = new short[2 * BLOCK];
    for (int b = 0; b < FRAMES / BLOCK; b++) {
      System.arraycopy(in, 2 * b * BLOCK, block, 0, 2 * BLOCK);
      dsp.dspProcess(block, BLOCK, BLOCK, 0f);
      System.arraycopy(block, 0, other, 2 * b * BLOCK, 2 * BLOCK);
    }
    assertArrayEquals(stereo, other);
  }

  private static IntToDoubleFunction mix(IntToDoubleFunction... parts) {
    return i -> {
      double sum = 0;
      for (IntToDoubleFunction p : parts) {
        sum += p.applyAsDouble(i);
      }
      return sum;
    };
  }
}
