package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;
import static quenlab.hopwarbler.support.Sounds.RATE;

import java.util.function.IntToDoubleFunction;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;
import quenlab.hopwarbler.support.Spectra;
import org.junit.jupiter.api.Test;

/**
 * Drives the native driver through {@link NativeInterface} and checks that it behaves as {@link
 * NativeFacts} says, so that a change on the native side that breaks an assumption of the Java
 * classes fails here.
 */
class NativeFactsTest {
  private final NativeInterface dsp = new NativeInterface();

  // Sets the driver up with every setting neutral at the pre-amplifier `preamp`.
  private void setUp(int frameSize, int overSampling, int channels, float preamp) {
    dsp.dspInit(frameSize, overSampling, RATE, channels);
    dsp.dspSetPreamp(preamp);
    dsp.dspPanning(0, 0, 50);
    dsp.dspVoiceRemovalEnable(0);
    dsp.dspEQEnable(0);
    dsp.dspSpectrumEnable(1);
  }

  // Runs `input` through the driver in blocks of `hop` frames in and `stepOut` out.
  private short[] run(short[] input, int channels, int hop, int stepOut) {
    int blocks = input.length / channels / hop;
    short[] out = new short[blocks * stepOut * channels];
    short[] block = new short[Math.max(hop, stepOut) * channels];
    for (int b = 0; b < blocks; b++) {
      System.arraycopy(input, b * hop * channels, block, 0, hop * channels);
      dsp.dspProcess(block, hop, stepOut, 0f);
      System.arraycopy(block, 0, out, b * stepOut * channels, stepOut * channels);
    }
    return out;
  }

  private static short[] tone(int frames, double amplitude, double hz) {
    return Sounds.pcm(frames, Sounds.sine(amplitude, hz, RATE));
  }

  /**
   * A steady tone leaves at TONE_GAIN at every synthesis hop that divides the frame at least three
   * times; at a hop of half the frame, where two windows overlap, its level follows the sum of the
   * squared windows over the overlap normalisation, sample by sample.
   */
  // The raw stage's window, normalisation and limiter, worked out here.
  private static final double LIMIT_THRESHOLD = 0.95;
  private static final int FULL_SCALE = 32767;

  private static double window(int i, int frameSize) {
    return (float) (0.5 - 0.5 * Math.cos(2 * Math.PI * i / frameSize));
  }

  private static double overlapNorm(int frameSize, int stepOut) {
    return (float) frameSize / (float) (2 * stepOut);
  }

  private static double limiterSlope(int channels) {
    return channels == 1 ? -0.25 : -0.125;
  }

  private static double limiterTurningPoint(double slope) {
    return (LIMIT_THRESHOLD - 1.0 / slope) / 2.0;
  }

  private static double limit(double v, double slope, double turningPoint) {
    double a = Math.abs(v);
    if (a < LIMIT_THRESHOLD)
      return v;
    return a > turningPoint ? Math.copySign(1.0, v) : v * (1 + (a - LIMIT_THRESHOLD) * slope);
  }

  @Test
  void toneGainWindowAndOverlapNormalisation() {
    int frame = 2048;
    double amplitude = 8000;
    double hz = 1000;
    for (int stepOut : new int[] {128, 256, 512}) {
      setUp(frame, 4, 1, 1f);
      double[] y = Pcm.rawChannel(run(tone(40 * frame, amplitude, hz), 1, 512, stepOut), 1, 0);
      int from = y.length / 2;
      double level = Spectra.toneAmplitude(y, from, y.length, hz, RATE);
      assertEquals(NativeFacts.TONE_GAIN * amplitude, level, 0.01 * amplitude,
          "tone level at stepOut " + stepOut);
    }
    // Hops of half the frame at speed 1: the envelope ripples with the windows' overlap.
    int hop = frame / 2;
    setUp(frame, 2, 1, 1f);
    double[] y = Pcm.rawChannel(run(tone(40 * frame, amplitude, hz), 1, hop, hop), 1, 0);
    double norm = overlapNorm(frame, hop);
    int start = 20 * frame; // a multiple of the hop, so position i in the hop is y[start + i]
    int period = 44; // one period of the tone, about
    for (int i = 0; i + period <= hop; i += 128) {
      double peak = 0;
      for (int j = 0; j < period; j++) peak = Math.max(peak, Math.abs(y[start + i + j]));
      int mid = i + period / 2;
      double w1 = window(mid, frame);
      double w2 = window(mid + hop, frame);
      double expected = amplitude * (w1 * w1 + w2 * w2) / norm;
      assertEquals(expected, peak, 0.03 * amplitude, "envelope at " + i + " of the hop");
    }
  }

  /**
   * Above LIMIT_THRESHOLD the driver bends each sample along the limiter curve with the slope of
   * its channel count, rails it past the turning point, clamps at FULL_SCALE and truncates towards
   * zero: the same stream at 16 times the pre-amplifier comes out as the curve below makes of 16
   * times the quiet stream's samples, within the quiet stream's quantisation.
   */
  @Test
  void limiterClampAndTruncation() {
    int gain = 16;
    for (int channels = 1; channels <= 2; channels++) {
      // Tones whose amplitude grows from 0 to full scale, so that every level occurs.
      int frames = 40 * 512;
      IntToDoubleFunction left = i -> 32000.0 * i / frames * Math.sin(0.0628 * i);
      IntToDoubleFunction right = i -> 30000.0 * i / frames * Math.sin(0.0942 * i);
      short[] input =
          channels == 1 ? Sounds.pcm(frames, left) : Sounds.pcm(frames, left, right);
      setUp(2048, 4, channels, 1f);
      short[] quiet = run(input, channels, 512, 512);
      setUp(2048, 4, channels, gain);
      short[] loud = run(input, channels, 512, 512);
      double slope = limiterSlope(channels);
      double turn = limiterTurningPoint(slope);
      int bent = 0;
      int railed = 0;
      for (int i = 0; i < loud.length; i++) {
        double v = (double) gain * quiet[i] / FULL_SCALE;
        double limited = Math.max(-1, Math.min(1, limit(v, slope, turn)));
        assertEquals(limited * FULL_SCALE, loud[i], gain + 1,
            channels + " channel(s), sample " + i + " from " + quiet[i]);
        assertTrue(loud[i] >= -NativeFacts.CLAMP_SAMPLE, "below -CLAMP_SAMPLE at " + i);
        if (Math.abs(loud[i]) < NativeFacts.LIMITER_SAMPLE) {
          int excess = Integer.signum(quiet[i]) * (loud[i] - gain * quiet[i]);
          assertTrue(excess >= 0 && excess < gain, "not truncated towards zero at " + i);
        }
        double a = Math.abs(v);
        bent += a >= LIMIT_THRESHOLD && a < 1.0 ? 1 : 0;
        railed += a > turn ? 1 : 0;
      }
      assertTrue(bent > 20 && railed > 20,
          "every part of the curve must be reached: " + bent + " bent, " + railed + " railed");
      int most = 0;
      for (short s : loud) most = Math.max(most, Math.abs(s));
      assertEquals(NativeFacts.CLAMP_SAMPLE, most, "the clamp");
    }
  }

  /** The remix matrix of every balance level and of the mono fold. */
  @Test
  void remixMatrix() {
    double left = 6000;
    double right = 9000;
    double leftHz = 441;
    double rightHz = 1102.5;
    short[] input = Sounds.pcm(
        40 * 512, Sounds.sine(left, leftHz, RATE), Sounds.sine(right, rightHz, RATE));
    for (int level : new int[] {0, 25, 50, 75, 100, -1}) {
      boolean mono = level < 0;
      setUp(2048, 4, 2, 1f);
      dsp.dspPanning(1, mono ? 1 : 0, mono ? 50 : level);
      short[] out = run(input, 2, 512, 512);
      double[] m = NativeFacts.remix(mono ? 50 : level, mono);
      for (int ch = 0; ch < 2; ch++) {
        double[] y = Pcm.rawChannel(out, 2, ch);
        int from = y.length / 2;
        String what = (mono ? "mono" : "balance " + level) + ", channel " + ch;
        assertEquals(NativeFacts.TONE_GAIN * m[2 * ch] * left,
            Spectra.toneAmplitude(y, from, y.length, leftHz, RATE), 0.01 * left,
            what + " from left");
        assertEquals(NativeFacts.TONE_GAIN * m[2 * ch + 1] * right,
            Spectra.toneAmplitude(y, from, y.length, rightHz, RATE), 0.01 * right,
            what + " from right");
      }
    }
  }

  /**
   * The analyser takes every DECIMATION-th sample from the start of each synthesis hop: at hops of
   * 8 a tone reads at its own band, with SPECTRUM_TONE_GAIN of the vocoder output's amplitude; at
   * hops of 6 each hop gives one sample that stands for 4 frames, and a 440 Hz tone reads 6 / 4
   * higher, at E5.
   */
  @Test
  void analyserDecimationAndToneGain() {
    double amplitude = 0.25;
    short[] input = tone(4 * NativeFacts.ANALYSER_HISTORY_FRAMES, amplitude * 32768, 440);
    int frame = 256;
    int hop = 8;
    for (int stepOut : new int[] {hop, 6}) {
      setUp(frame, frame / hop, 1, 1f);
      run(input, 1, hop, stepOut);
      float[] bands = new float[Notes.BANDS];
      dsp.dspGetSpectrum(bands, Notes.BANDS);
      int strongest = 0;
      for (int b = 1; b < bands.length; b++) {
        if (bands[b] > bands[strongest])
          strongest = b;
      }
      // Each hop gives stepOut / DECIMATION samples (rounded down), each taken for DECIMATION
      // frames, so the analyser hears the tone faster by stepOut over the frames it assumes.
      int assumed = stepOut / NativeFacts.DECIMATION * NativeFacts.DECIMATION;
      int expectedBand = Notes.nearestBand(440.0 * stepOut / assumed);
      assertEquals(expectedBand, strongest, "strongest band at stepOut " + stepOut);
      if (stepOut == hop) {
        double level = NativeFacts.analyserToneLevel(frame, hop) * amplitude;
        assertEquals(level, bands[Notes.A4_BAND], 0.1 * level, "band level");
      }
    }
  }

  /**
   * The analyser refreshes every rate / 32 output frames and forgets a tone once
   * ANALYSER_HISTORY_FRAMES frames of silence have followed it (from then on each refresh only
   * decays the band by its smoothing factor 0.2).
   */
  @Test
  void analyserRefreshAndHistory() {
    int frame = 256;
    int hop = 8;
    setUp(frame, frame / hop, 1, 1f);
    run(tone(NativeFacts.ANALYSER_HISTORY_FRAMES, 8000, 440), 1, hop, hop);
    short[] block = new short[hop];
    float[] bands = new float[Notes.BANDS];
    dsp.dspGetSpectrum(bands, Notes.BANDS);
    float last = bands[Notes.A4_BAND];
    long frames = 0;
    long[] changes = {-1, -1};
    long forgotten = -1;
    while (frames < 2L * NativeFacts.ANALYSER_HISTORY_FRAMES && forgotten < 0) {
      java.util.Arrays.fill(block, (short) 0);
      dsp.dspProcess(block, hop, hop, 0f);
      frames += hop;
      dsp.dspGetSpectrum(bands, Notes.BANDS);
      float now = bands[Notes.A4_BAND];
      if (now == last)
        continue;
      if (changes[1] < 0)
        changes[changes[0] < 0 ? 0 : 1] = frames;
      if (now == (float) ((double) 0.2f * last))
        forgotten = frames;
      last = now;
    }
    long gap = changes[1] - changes[0];
    int refresh = Planning.spectrumRefreshFrames(RATE);
    assertEquals(refresh, gap, hop, "frames between refreshes");
    assertTrue(forgotten >= NativeFacts.ANALYSER_HISTORY_FRAMES
            && forgotten <= NativeFacts.ANALYSER_HISTORY_FRAMES + refresh + frame,
        "the tone left the history after " + forgotten + " frames of silence");
  }

  /**
   * A tone burst centred on input frame c comes out centred on c / speed + latency, the speed
   * being hop / stepOut.
   */
  @Test
  void latency() {
    int frame = 2048;
    int hop = 512;
    double centre = 12000;
    short[] input = Sounds.pcm(48 * hop,
        i -> 20000 * Math.exp(-0.5 * Math.pow((i - centre) / 1500, 2)) * Math.sin(0.15 * i));
    for (int stepOut : new int[] {hop, 2 * hop, hop / 2}) {
      setUp(frame, frame / hop, 1, 1f);
      double[] y = Pcm.rawChannel(run(input, 1, hop, stepOut), 1, 0);
      double sum = 0;
      double moment = 0;
      for (int i = 0; i < y.length; i++) {
        sum += y[i] * y[i];
        moment += i * y[i] * y[i];
      }
      double speed = (double) hop / stepOut;
      double expected = centre / speed + NativeFacts.latency(frame, hop, stepOut);
      assertEquals(expected, moment / sum, 2, "burst centre at stepOut " + stepOut);
    }
  }

  /**
   * Frames of MIN_FRAME_SIZE to MAX_FRAME_SIZE are accepted, and an equaliser table of EQ_LENGTH
   * entries serves every frame: entry k is the gain of FFT bin k.
   */
  @Test
  void frameRangeAndEqualiserTable() {
    for (int frame : new int[] {NativeFacts.MIN_FRAME_SIZE / 2, NativeFacts.MAX_FRAME_SIZE * 2}) {
      assertThrows(IllegalArgumentException.class, () -> dsp.dspInit(frame, 1, RATE, 1));
    }
    for (int frame : new int[] {NativeFacts.MIN_FRAME_SIZE, NativeFacts.MAX_FRAME_SIZE}) {
      assertDoesNotThrow(() -> dsp.dspInit(frame, 1, RATE, 1));
    }
    // The table keeps half the frame of the process's first set-up; find its size.
    int size = 1;
    while (size <= NativeFacts.EQ_LENGTH && !accepts(size)) size++;
    assertTrue(size <= NativeFacts.EQ_LENGTH, "an EQ_LENGTH table must always be accepted");
    assumeTrue(size >= 64, "the first set-up of this process left a table too small to test");
    int frame = 2 * size;
    int bin = size / 4;
    float[] table = new float[NativeFacts.EQ_LENGTH];
    java.util.Arrays.fill(table, 1f);
    for (int k = bin - 3; k <= bin + 3; k++) table[k] = 0.5f;
    double hz = (double) bin * RATE / frame;
    setUp(frame, 4, 1, 1f);
    dsp.dspEQSetBands(table);
    dsp.dspEQEnable(1);
    double[] y = Pcm.rawChannel(run(tone(40 * frame, 8000, hz), 1, frame / 4, frame / 4), 1, 0);
    assertEquals(0.5 * NativeFacts.TONE_GAIN * 8000, Spectra.toneAmplitude(y, y.length / 2,
        y.length, hz, RATE), 0.01 * 8000, "tone at bin " + bin + " with its table entry at 0.5");
    java.util.Arrays.fill(table, 1f);
    dsp.dspEQSetBands(table);
    dsp.dspEQEnable(0);
  }

  private boolean accepts(int length) {
    try {
      dsp.dspEQSetBands(new float[length]);
      return true;
    } catch (IllegalArgumentException e) {
      return false;
    }
  }
}
