package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.support.Levels.zeroCrossingHz;
import static quenlab.hopwarbler.support.Pcm.channel;
import static quenlab.hopwarbler.support.Pcm.concat;
import static quenlab.hopwarbler.support.ProcessorRuns.run;
import static quenlab.hopwarbler.support.Sounds.RATE;
import static quenlab.hopwarbler.support.Sounds.pcm;
import static quenlab.hopwarbler.support.Sounds.tones;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Processor.setPitch: the key moves by exactly its factor, the speed and the display follow. */
class KeyChangeTest {
  private static final double HZ = 330;

  @ParameterizedTest(name = "{0} semitones at speed {1}")
  @CsvSource({"-12, 1", "-5, 1", "-2, 1", "2, 1", "5, 1", "12, 1", "-3, 0.8", "4.5, 1.25"})
  void theKeyMovesExactlyAndTheDurationFollowsTheSpeed(double semitones, double speed) {
    int frames = 3 * RATE;
    short[] input = tones(frames, new double[] {HZ, HZ}, new double[] {0.3, 0.3}, RATE);
    try (Processor p = Processor.open(RATE, 2)) {
      p.setSpeed(speed);
      p.setPitch(semitones);
      assertEquals(semitones, p.pitch());
      short[] output = run(p, input, 3001);
      int outFrames = output.length / 2;
      assertEquals(p.expectedOutputFrames(frames), outFrames);
      assertEquals(outFrames, p.stats().outputFrames());
      // The vocoder's hop is a whole number of frames: the stretch is off by up to half of one.
      double slack = frames / speed * 0.5 / p.stepOut() + 1;
      assertEquals(frames / speed, outFrames, slack, "duration of the speed");
      double[] left = channel(output, 2, 0);
      double hz = zeroCrossingHz(left, outFrames / 4, 3 * outFrames / 4, RATE);
      double expected = HZ * Math.pow(2, semitones / 12);
      assertEquals(0, Notes.cents(hz, expected), 0.1, "cents off at " + hz + " Hz");
    }
  }

  @Test
  void atZeroTheOutputIsTheVocodersAndAChangeDuringAStreamRunsOn() {
    short[] input = tones(2 * RATE, new double[] {HZ, HZ}, new double[] {0.3, 0.3}, RATE);
    short[] plain;
    try (Processor p = Processor.open(RATE, 2, 2048, 4)) {
      plain = run(p, input, 4096);
    }
    try (Processor p = Processor.open(RATE, 2, 2048, 4)) {
      p.setPitch(5);
      p.setPitch(0);
      assertArrayEquals(plain, run(p, input, 4096), "bypassed at 0 semitones");
      // A change in the middle of a stream, and back to 0. The speed moves with the key, so the
      // vocoder keeps its hop (a change of hop has transients of its own) and only the resampler
      // comes in and stays. The change comes after 87 hops, near a crest of the tone.
      double factor = Math.pow(2, 4 / 12.0);
      int cut = 87 * p.hop();
      short[] first = p.process(input, 0, cut);
      p.setSpeed(factor);
      p.setPitch(4);
      short[] second = p.process(input, 2 * cut, RATE / 2);
      p.setPitch(0);
      p.setSpeed(1);
      int rest = 2 * RATE - cut - RATE / 2;
      short[] third = p.process(input, 2 * (cut + RATE / 2), rest);
      short[] all = concat(first, second, third, p.flush());
      double[] left = channel(all, 2, 0);
      double steepest = 0.3 * 2 * Math.PI * HZ * factor / RATE;
      for (int i = 1; i < left.length; i++) {
        assertTrue(Math.abs(left[i] - left[i - 1]) < 1.1 * steepest, "jump at frame " + i);
      }
      int firstEnd = first.length / 2;
      int secondEnd = firstEnd + second.length / 2;
      double shifted = zeroCrossingHz(left, firstEnd + 2048, secondEnd - 2048, RATE);
      assertEquals(400, Notes.cents(shifted, HZ), 0.5);
      double back = zeroCrossingHz(left, secondEnd + 4096, left.length - 4096, RATE);
      assertEquals(0, Notes.cents(back, HZ), 0.5);
    }
  }

  @Test
  void theSpectrumShowsTheNewKey() {
    short[] input = tones(2 * RATE, new double[] {440, 440}, new double[] {0.3, 0.3}, RATE);
    // A fixed format: a preset would plan another frame, with another scale, for the next stream.
    try (Processor p = Processor.open(RATE, 2, 2048, 4)) {
      p.setPitch(3);
      run(p, input, 4096);
      float[] shifted = p.spectrum();
      int strongest = 0;
      for (int b = 0; b < Notes.BANDS; b++) {
        if (shifted[b] > shifted[strongest])
          strongest = b;
      }
      assertEquals("C5", Notes.name(strongest), "A4 three semitones up");
      p.setPitch(0); // the analyser keeps what it saw; only the reading moves
      float[] seen = p.spectrum();
      assertEquals(0f, shifted[2]);
      for (int b = 3; b < Notes.BANDS; b++) assertEquals(seen[b - 3], shifted[b], "band " + b);
    }
  }

  @Test
  void bandsMoveByWholeSemitonesAndInterpolateFractions() {
    float[] bands = new float[Notes.BANDS];
    for (int b = 0; b < bands.length; b++) bands[b] = 1 + b;
    float[] down = Notes.shift(bands, -12);
    assertEquals(13f, down[0]);
    assertEquals(72f, down[59]);
    assertEquals(0f, down[60]);
    float[] up = Notes.shift(bands, 1.25);
    assertEquals(0f, up[0]); // from bands 0 - 1.25 .. -0.25: both neighbours outside
    assertEquals(0.75f * 1, up[1]); // 0.75 of band 0, 0.25 of the missing band -1
    assertEquals(0.75f * 10 + 0.25f * 9, up[10], 1e-5f);
    assertEquals(0.75f * 71 + 0.25f * 70, up[71], 1e-5f);
  }

  // A vowel-like tone: harmonics of 200 Hz under one resonance at 1 kHz, in 16-bit units.
  private static double vowel(int i) {
    double v = 0;
    for (int h = 1; h <= 20; h++) {
      double f = 200.0 * h;
      v += 8000 * Math.exp(-Math.pow((f - 1000) / 350, 2)) * Math.sin(2 * Math.PI * f * i / RATE);
    }
    return v;
  }

  // The output's strongest harmonic of fundamental f0 (its number, 1 up), in the middle half.
  private static int strongestHarmonic(double[] x, double f0) {
    int from = x.length / 4;
    int n = x.length / 2;
    int best = 0;
    double top = -1;
    for (int h = 1; h * f0 < 4000; h++) {
      double re = 0;
      double im = 0;
      for (int i = 0; i < n; i++) {
        double w = 0.5 - 0.5 * Math.cos(2 * Math.PI * i / n);
        re += w * x[from + i] * Math.cos(2 * Math.PI * h * f0 * i / RATE);
        im += w * x[from + i] * Math.sin(2 * Math.PI * h * f0 * i / RATE);
      }
      if (re * re + im * im > top) {
        top = re * re + im * im;
        best = h;
      }
    }
    return best;
  }

  @Test
  void keptFormantsStayWhereTheyWereAndTheHarmonicsMove() {
    short[] input = pcm(2 * RATE, KeyChangeTest::vowel, KeyChangeTest::vowel);
    double factor = Math.pow(2, 7 / 12.0);
    for (Processor.Formants formants : Processor.Formants.values()) {
      try (Processor p = Processor.open(RATE, 2, 2048, 4)) {
        assertEquals(Processor.DEFAULT_FORMANTS, p.formants());
        p.setPitch(7);
        p.setFormants(formants);
        assertEquals(formants, p.formants());
        double[] left = channel(run(p, input, 4096), 2, 0);
        // Shifted, the resonance moves to 1.5 kHz with the fifth harmonic; kept, it stays by
        // 1 kHz, between the third (900 Hz) and fourth (1.2 kHz) of the new fundamental.
        int strongest = strongestHarmonic(left, 200 * factor);
        if (formants == Processor.Formants.KEEP) {
          assertTrue(strongest == 3 || strongest == 4, "kept: harmonic " + strongest);
        } else {
          assertEquals(5, strongest, "shifted");
        }
      }
    }
    // At no key change keeping changes nothing.
    short[] plain;
    try (Processor p = Processor.open(RATE, 2, 2048, 4)) {
      plain = run(p, input, 4096);
    }
    try (Processor p = Processor.open(RATE, 2, 2048, 4)) {
      p.setFormants(Processor.Formants.KEEP);
      assertArrayEquals(plain, run(p, input, 4096));
      assertThrows(NullPointerException.class, () -> p.setFormants(null));
    }
  }

  @Test
  void badKeysAreRefused() {
    try (Processor p = Processor.open(RATE, 1)) {
      for (double bad : new double[] {Double.NaN, 12.001, -12.5, Double.POSITIVE_INFINITY}) {
        assertThrows(IllegalArgumentException.class, () -> p.setPitch(bad), "" + bad);
      }
      p.setPitch(-12);
      p.setPitch(2.5);
      assertEquals(2.5, p.pitch());
    }
    Processor closed = Processor.open(RATE, 1);
    closed.close();
    assertThrows(IllegalStateException.class, () -> closed.setPitch(1));
  }
}
