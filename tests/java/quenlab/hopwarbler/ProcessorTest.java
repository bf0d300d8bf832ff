package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static quenlab.hopwarbler.support.Levels.centroid;
import static quenlab.hopwarbler.support.Levels.db;
import static quenlab.hopwarbler.support.Levels.rms;
import static quenlab.hopwarbler.support.Pcm.channel;
import static quenlab.hopwarbler.support.Pcm.concat;
import static quenlab.hopwarbler.support.ProcessorRuns.run;
import static quenlab.hopwarbler.support.Sounds.RATE;
import static quenlab.hopwarbler.support.Sounds.tones;
import static quenlab.hopwarbler.support.Spectra.amplitudeAt;

import java.lang.reflect.Field;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.Consumer;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import quenlab.hopwarbler.support.Levels;

class ProcessorTest {
  private static short[] runWith(int channels, int overSampling, double speed,
      Consumer<Processor> setup, short[] input, int... blocks) {
    try (Processor p = Processor.open(RATE, channels, 2048, overSampling)) {
      p.setSpeed(speed);
      setup.accept(p);
      return run(p, input, blocks);
    }
  }

  // Two tones and a noise burst in stereo: enough structure for the peak picking to matter.
  private static short[] testSignal(int frames, long seed) {
    Random random = new Random(seed);
    short[] s = tones(frames, new double[] {440, 660}, new double[] {0.3, 0.25}, RATE);
    for (int i = frames / 3; i < frames / 3 + 3000; i++) {
      s[2 * i] += (short) (random.nextGaussian() * 3000);
      s[2 * i + 1] += (short) (random.nextGaussian() * 3000);
    }
    return s;
  }

  @Test
  void anyBlockSizesGiveTheSameOutputAsHopAlignedBlocks() {
    long seed = 20240611L;
    short[] input = testSignal(RATE * 3 / 2, seed);
    Random random = new Random(seed);
    int[] randomBlocks = new int[64];
    for (int i = 0; i < randomBlocks.length; i++) randomBlocks[i] = 1 + random.nextInt(3000);
    for (double speed : new double[] {0.8, 1.25}) {
      Consumer<Processor> setup = p -> {
        p.setBalance(40);
        p.setVoiceRemoval(0.7, 200, 3000);
        p.setEqualizer(new double[] {200, 4000}, new double[] {-3, 4});
      };
      short[] aligned = runWith(2, 4, speed, setup, input, 512);
      int[][] blockings = {{1}, {17}, {1000}, {4097}, randomBlocks, {512 * 8, 3, 511}};
      for (int[] blocks : blockings) {
        assertArrayEquals(aligned, runWith(2, 4, speed, setup, input, blocks),
            "speed " + speed + ", blocks "
                + java.util.Arrays.toString(blocks).substring(
                    0, Math.min(60, java.util.Arrays.toString(blocks).length()))
                + ", seed " + seed);
      }
    }
  }

  /**
   * A tone burst centred on input frame 40000 must come out centred on frame 40000 / speed: the
   * leading latency is removed exactly. The whole stream has round(frames / effective speed)
   * frames.
   */
  @ParameterizedTest(name = "speed {0}, oversampling {1}")
  @CsvSource(
      {"0.5, 8", "0.5, 4", "0.8, 4", "1.0, 4", "1.25, 4", "2.0, 4", "0.8, 8", "1.25, 2", "1.5, 16"})
  void
  latencyIsRemovedAndTheLengthFollowsTheSpeed(double speed, int overSampling) {
    int frames = 2 * RATE;
    double centre = 40000;
    short[] input = new short[frames];
    for (int i = 0; i < frames; i++) {
      double envelope = Math.exp(-0.5 * Math.pow((i - centre) / 1500, 2));
      input[i] = (short) Math.round(20000 * envelope * Math.sin(2 * Math.PI * 1000.0 * i / RATE));
    }
    try (Processor p = Processor.open(RATE, 1, 2048, overSampling)) {
      // The level keeping moves a lone burst's envelope by up to half a millisecond.
      p.setFeature(Processor.Feature.LEVEL_KEEPING, false);
      p.setSpeed(speed);
      assertEquals(speed, p.effectiveSpeed(), 1e-12);
      short[] output = run(p, input, 1000);
      assertEquals(Math.round(frames / speed), output.length / p.channels());
      double measured = centroid(channel(output, 1, 0));
      assertEquals(centre / speed, measured, 2.0, "burst centre");
    }
  }

  /** At 0 dB a steady tone leaves at its input level, whatever the speed. */
  @ParameterizedTest(name = "speed {0}, oversampling {1}, gain {2} dB")
  @CsvSource({"0.5, 8, 0", "0.8, 4, 0", "1.0, 4, 0", "1.25, 4, 0", "2.0, 4, 0", "1.25, 4, -6",
      "0.8, 4, 3"})
  void
  aStretchedToneKeepsItsLevel(double speed, int overSampling, double gainDb) {
    int frames = 2 * RATE;
    short[] input = tones(frames, new double[] {441.3}, new double[] {0.3}, RATE);
    short[] output = runWith(1, overSampling, speed, p -> p.setGainDb(gainDb), input, 4096);
    double[] x = channel(output, 1, 0);
    double level = db(rms(x, x.length / 4, 3 * x.length / 4) / (0.3 / Math.sqrt(2)));
    assertEquals(gainDb, level, 0.2);
  }

  /**
   * A processor at a very low rate (whose preset gives the smallest frame) leaves nothing behind in
   * the JVM: one at 192 kHz opened after it still gets its preset's full frame, and a steady tone
   * comes out at its input level from its first quarter second on.
   */
  @Test
  void aVeryLowRateLeavesTheNextProcessorItsFrameAndLevel() {
    try (Processor low = Processor.open(100, 1)) {
      run(low, tones(400, new double[] {10}, new double[] {0.3}, 100), 37);
      assertEquals(64, low.frameSize());
    }
    int rate = 192_000;
    try (Processor p = Processor.open(rate, 1)) {
      short[] output = run(p, tones(2 * rate, new double[] {1000}, new double[] {0.3}, rate), 4096);
      assertEquals(Processor.Quality.BEST.frameSize(rate, 1), p.frameSize());
      assertEquals(4096, p.frameSize());
      double[] x = channel(output, 1, 0);
      double expected = 0.3 / Math.sqrt(2);
      assertEquals(0, db(rms(x, rate / 20, rate / 4) / expected), 0.1, "first quarter second");
      assertEquals(0, db(rms(x, rate / 4, 7 * rate / 4) / expected), 0.1, "after it");
    }
  }

  /** A tone stays at its pitch: the strongest DFT component is still at the input frequency. */
  @ParameterizedTest(name = "speed {0}")
  @CsvSource({"0.5", "0.8", "1.25", "2.0"})
  void aStretchedToneKeepsItsPitch(double speed) {
    short[] input = tones(2 * RATE, new double[] {523.25}, new double[] {0.3}, RATE);
    short[] output = runWith(1, speed < 0.75 ? 8 : 4, speed, p -> {}, input, 4096);
    double[] x = channel(output, 1, 0);
    double hz = Levels.zeroCrossingHz(x, x.length / 4, 3 * x.length / 4, RATE);
    assertEquals(0, Notes.cents(hz, 523.25), 5.0, "cents off, measured " + hz + " Hz");
  }

  @Test
  void theEffectiveSpeedIsTheOneAskedForWithinTheHopsRange() {
    // {speed asked, speed applied, nearest whole stepOut}, hop 512, frame 2048
    double[][] cases = {{1, 1, 512}, {1.25, 1.25, 410}, {0.8, 0.8, 640}, {2, 2, 256},
        {0.1, 0.25, 2048}, {0.25, 0.25, 2048}, {1e6, 512, 1}, {3.3, 3.3, 155}};
    try (Processor p = Processor.open(RATE, 2, 2048, 4)) {
      assertEquals(1.0, p.speed());
      for (double[] c : cases) {
        p.setSpeed(c[0]);
        assertEquals(c[0], p.speed());
        assertEquals(c[1], p.effectiveSpeed(), 1e-12, "speed " + c[0]);
        assertEquals((int) c[2], p.stepOut(), "speed " + c[0]);
        assertEquals(Math.round(100_000 / c[1]), p.expectedOutputFrames(100_000));
      }
    }
  }

  /**
   * With a hop that is not a power of two (2048 / 3 = 682) every synthesis hop the processor asks
   * for must come back unchanged from the native driver's samplesOut / samplesIn (375 among them,
   * which a quotient in floating point turned into 374), or a stale frame would reach the output:
   * the tone stays smooth and the length exact.
   */
  @Test
  void aHopThatIsNotAPowerOfTwoStillGivesOnlyFreshFrames() {
    int frames = RATE;
    short[] input = tones(frames, new double[] {441}, new double[] {0.3}, RATE);
    try (Processor p = Processor.open(RATE, 1, 2048, 3)) {
      p.setSpeed(682.0 / 375);
      assertEquals(375, p.stepOut());
      short[] output = run(p, input, 777);
      assertEquals(Math.round(frames * 375 / 682.0), output.length);
      double[] x = channel(output, 1, 0);
      double limit = 1.2 * 0.3 * 2 * Math.PI * 441 / RATE;
      for (int i = 4096; i + 1 < x.length - 4096; i++) {
        assertTrue(Math.abs(x[i + 1] - x[i]) < limit, "jump at " + i);
      }
    }
  }

  @Test
  void aSpeedChangeCountsEachPartAtItsOwnSpeed() {
    int first = 86 * 512;
    int second = RATE;
    short[] input = tones(first + second, new double[] {440, 550}, new double[] {0.3, 0.3}, RATE);
    try (Processor p = Processor.open(RATE, 2)) {
      List<short[]> parts = new ArrayList<>();
      parts.add(p.process(input, 0, first));
      p.setSpeed(2.0);
      parts.add(p.process(input, 2 * first, second));
      parts.add(p.flush());
      int total = concat(parts.toArray(new short[0][])).length / 2;
      assertEquals(first + Math.round(second / 2.0), total);
      assertEquals(first + second, p.stats().inputFrames());
      assertEquals(total, p.stats().outputFrames());
    }
  }

  @Test
  void flushEndsTheStreamAndTheNextOneStartsAfresh() {
    short[] input = testSignal(RATE / 2, 7);
    try (Processor p = Processor.open(RATE, 2)) {
      p.setSpeed(1.25);
      p.setVoiceRemoval(1, 300, 2000);
      short[] first = run(p, input, 1234);
      assertEquals(0, p.flush().length, "a second flush has nothing left");
      short[] second = run(p, input, 4096);
      assertArrayEquals(first, second);
      assertEquals(0, p.flush().length);
    }
  }

  /**
   * A seek: part of a stream, a reset, then the input from another point gives exactly what a
   * fresh processor with the same settings gives from that point, also where the settings changed
   * in the dropped stream (a preset's format, a key change, the equaliser, voice removal) and
   * where a reset comes before a whole hop was fed; a reset between streams changes nothing.
   */
  @ParameterizedTest
  @CsvSource({"1.0, 0, 5000", "0.7, 1.5, 100", "1.3, -2, 90000"})
  void resetStartsAFreshStreamWithTheSettingsInForce(double speed, double pitch, int dropped) {
    short[] input = testSignal(RATE, 11);
    int from = RATE / 3;
    short[] rest = java.util.Arrays.copyOfRange(input, 2 * from, input.length);
    Consumer<Processor> settings = p -> {
      p.setSpeed(speed);
      p.setPitch(pitch);
      p.setVoiceRemoval(0.8, 250, 3000);
      p.setEqualizer(new double[] {100, 4000}, new double[] {3, -6});
    };
    short[] fresh;
    try (Processor p = Processor.open(RATE, 2)) {
      settings.accept(p);
      fresh = run(p, rest, 1000);
    }
    try (Processor p = Processor.open(RATE, 2)) {
      p.setSpeed(2.5);
      p.process(input, 0, Math.min(dropped, RATE));
      settings.accept(p);
      p.reset();
      p.reset();
      assertArrayEquals(fresh, run(p, rest, 1000));
      p.reset(); // after a flush: nothing to drop
      assertArrayEquals(fresh, run(p, rest, 333));
    }
  }

  /**
   * A preset plans its format from the speed in force when each stream starts, keeps it while the
   * stream runs, and then sounds exactly like a processor opened with that format, the voice filter
   * and equaliser set before the start included.
   */
  @Test
  void presetsPickTheFormatWhenTheStreamStarts() {
    // {preset, speed, frame size, hops}: the frame is the preset's, the hops rise at slow speeds.
    Object[][] plans = {{Processor.Quality.BEST, 1.0, 4096, 16},
        {Processor.Quality.BEST, 1.5, 4096, 16}, {Processor.Quality.BALANCED, 1.25, 4096, 8},
        {Processor.Quality.FAST, 0.8, 2048, 4}, {Processor.Quality.FAST, 0.2, 2048, 5}};
    for (Object[] plan : plans) {
      try (Processor p = Processor.open(RATE, 2, (Processor.Quality) plan[0])) {
        p.setSpeed((double) plan[1]);
        assertEquals(plan[2], p.frameSize(), java.util.Arrays.toString(plan));
        assertEquals(plan[3], p.overSampling(), java.util.Arrays.toString(plan));
      }
    }
    assertEquals(4096, Processor.Quality.BEST.frameSize(96000, 0.8));
    assertEquals(2048, Processor.Quality.BEST.frameSize(22050, 0.8));

    short[] input = testSignal(RATE / 2, 11);
    Consumer<Processor> settings = p -> {
      p.setVoiceRemoval(0.7, 300, 2500);
      p.setEqualizer(new double[] {100, 5000}, new double[] {3, -6});
    };
    short[] expected;
    try (Processor p = Processor.open(RATE, 2, 2048, 4)) {
      expected = slowThenSlower(p, settings, input);
    }
    short[] slowest;
    try (Processor p = Processor.open(RATE, 2, Processor.Quality.FAST)) {
      assertArrayEquals(expected, slowThenSlower(p, settings, input));
      p.setSpeed(0.2);
      assertEquals(5, p.overSampling(), "the next stream plans for the speed then");
      slowest = run(p, input, 700);
    }
    try (Processor p = Processor.open(RATE, 2, 2048, 5)) {
      settings.accept(p);
      p.setSpeed(0.2);
      assertArrayEquals(run(p, input, 700), slowest);
    }
  }

  // A stream that starts at speed 0.8 and goes on at 0.2, whose format must not change.
  private static short[] slowThenSlower(Processor p, Consumer<Processor> settings, short[] input) {
    settings.accept(p);
    p.setSpeed(0.8);
    short[] slow = p.process(input);
    p.setSpeed(0.2);
    assertEquals(4, p.overSampling(), "a running stream keeps its format");
    return concat(slow, p.process(input), p.flush());
  }

  @Test
  void latencyIsHeldBackUntilTheFlush() {
    try (Processor p = Processor.open(RATE, 1, 2048, 4)) {
      assertEquals(2048 - 512, p.latencyFrames());
      short[] input = tones(10 * 512, new double[] {440}, new double[] {0.3}, RATE);
      assertEquals(10 * 512 - 1536, p.process(input, 0, 10 * 512).length);
      assertEquals(0, p.process(input, 0, 0).length);
      assertEquals(1536, p.flush().length);
      p.setSpeed(2);
      assertEquals(1024 + 256, p.latencyFrames());
    }
  }

  @Test
  void processorsOpenAtOnceAndAClosedOneRefusesWork() {
    Processor first = Processor.open(RATE, 2);
    try (Processor other = Processor.open(48000, 1)) {
      assertEquals(1, other.channels());
    }
    first.close();
    first.close();
    assertThrows(IllegalStateException.class, () -> first.process(new short[4], 0, 2));
    assertThrows(IllegalStateException.class, () -> first.setSpeed(2));
    assertThrows(IllegalStateException.class, first::flush);
    try (Processor second = Processor.open(48000, 1)) {
      assertEquals(1, second.channels());
    }
  }

  @Test
  void badArgumentsNameTheArgumentAndItsRange() {
    try (Processor p = Processor.open(RATE, 2)) {
      Object[][] cases = {
          {(Runnable) () -> p.setSpeed(0), "speed must be a finite factor above 0, got 0.0"},
          {(Runnable) () -> p.setSpeed(-1), "speed must be a finite factor above 0, got -1.0"},
          {(Runnable) ()
                  -> p.setSpeed(Double.NaN),
              "speed must be a finite factor above 0, got NaN"},
          {(Runnable) () -> p.setSpeed(Double.POSITIVE_INFINITY), "speed must be"},
          {(Runnable) () -> p.setVoiceRemoval(1, 0, 3000), "lowHz must be above 0"},
          {(Runnable) () -> p.setVoiceRemoval(1, 3000, 200), "highHz must be above lowHz"},
          {(Runnable) () -> p.setVoiceRemoval(1, 200, 22050), "below the Nyquist frequency 22050"},
          {(Runnable) () -> p.setVoiceRemoval(-0.1, 200, 3000), "amount must be from 0 to 1"},
          {(Runnable) () -> p.setVoiceRemoval(1.5, 200, 3000), "amount must be from 0 to 1"},
          {(Runnable) () -> p.setBalance(-1), "balance level must be from 0 to 100, got -1"},
          {(Runnable) () -> p.setBalance(101), "balance level must be from 0 to 100, got 101"},
          {(Runnable) () -> p.setGainDb(Double.NaN), "gainDb must be from -96.0 to 24.0 dB"},
          {(Runnable) () -> p.setGainDb(25), "gainDb must be from -96.0 to 24.0 dB, got 25.0"},
          {(Runnable) ()
                  -> p.setEqualizer(new double[] {100}, new double[] {1, 2}),
              "one gain per frequency"},
          {(Runnable) () -> p.setEqualizer(new double[0], new double[0]), "at least one"},
          {(Runnable) ()
                  -> p.setEqualizer(new double[] {200, 100}, new double[] {1, 2}),
              "strictly increasing"},
          {(Runnable) ()
                  -> p.setEqualizer(new double[] {0}, new double[] {1}),
              "hz[0] must be above 0"},
          {(Runnable) ()
                  -> p.setEqualizer(new double[] {30000}, new double[] {1}),
              "at most the Nyquist frequency 22050.0 Hz, got 30000.0"},
          {(Runnable) ()
                  -> p.setEqualizer(new double[] {100}, new double[] {70}),
              "gainDb[0] must be from -60.0 to +60.0 dB"},
          {(Runnable) () -> p.process(new short[10], 0, 6), "frames must be from 0 to 5"},
          {(Runnable) () -> p.process(new short[10], 11, 0), "offset must be from 0 to"},
          {(Runnable) () -> p.process(new short[10], 4, -1), "frames must be from 0 to 3"},
          {(Runnable) () -> p.expectedOutputFrames(-1), "inputFrames must be 0 or more"},
          {(Runnable) () -> Processor.noteName(72), "band must be from 0 to 71, got 72"},
          {(Runnable) () -> Processor.bandFrequency(-1), "band must be from 0 to 71, got -1"},
      };
      for (Object[] c : cases) {
        IllegalArgumentException e =
            assertThrows(IllegalArgumentException.class, ((Runnable) c[0])::run, (String) c[1]);
        assertTrue(e.getMessage().contains((String) c[1]), e.getMessage());
      }
      assertThrows(NullPointerException.class, () -> p.process(null, 0, 0));
      p.setSpeed(0.25);
      IllegalArgumentException tooLong = assertThrows(
          IllegalArgumentException.class, () -> p.expectedOutputFrames(Long.MAX_VALUE / 2));
      assertTrue(tooLong.getMessage().contains("too long to count"), tooLong.getMessage());
    }
    Object[][] opens = {
        {new int[] {RATE, 0, 2048, 4}, "channels must be 1 (mono) or 2 (stereo), got 0"},
        {new int[] {RATE, 3, 2048, 4}, "channels must be 1 (mono) or 2 (stereo), got 3"},
        {new int[] {3, 2, 2048, 4}, "sampleRate must be from 4 to 1000000 Hz, got 3"},
        {new int[] {RATE, 2, 1000, 4}, "frameSize must be a power of two from 4 to 4096, got 1000"},
        {new int[] {RATE, 2, 8192, 4}, "frameSize must be a power of two from 4 to 4096, got 8192"},
        {new int[] {RATE, 2, 2048, 0}, "overSampling must be from 1 to frameSize (2048), got 0"},
        {new int[] {RATE, 2, 256, 512}, "overSampling must be from 1 to frameSize (256), got 512"},
    };
    for (Object[] c : opens) {
      int[] a = (int[]) c[0];
      IllegalArgumentException e = assertThrows(
          IllegalArgumentException.class, () -> Processor.open(a[0], a[1], a[2], a[3]).close());
      assertEquals(c[1], e.getMessage());
    }
    try (Processor mono = Processor.open(RATE, 1)) {
      assertThrows(IllegalStateException.class, () -> mono.setVoiceRemoval(1, 200, 3000));
    }
  }

  /** Balance and mono fold, measured by the tones' amplitudes on each output channel. */
  @Test
  void balanceAndMonoMoveTheChannels() {
    int frames = RATE;
    short[] input = tones(frames, new double[] {440, 660}, new double[] {0.4, 0.4}, RATE);
    // {balance, mono, left's 440 part, left's 660 part, right's 440 part, right's 660 part}
    double[][] cases = {
        {50, 0, 0.4, 0, 0, 0.4},
        {0, 0, 0, 0.4, 0, 0.4},
        {100, 0, 0.4, 0, 0.4, 0},
        {25, 0, 0.2, 0.2, 0, 0.4},
        {75, 0, 0.4, 0, 0.2, 0.2},
        {50, 1, 0.2, 0.2, 0.2, 0.2},
        {10, 1, 0.2, 0.2, 0.2, 0.2},
    };
    for (double[] c : cases) {
      short[] output = runWith(2, 4, 1.0, p -> {
        p.setBalance((int) c[0]);
        p.setMono(c[1] != 0);
      }, input, 4096);
      double[] left = channel(output, 2, 0);
      double[] right = channel(output, 2, 1);
      int from = frames / 4;
      int to = 3 * frames / 4;
      String what = "balance " + c[0] + " mono " + c[1];
      assertEquals(c[2], amplitudeAt(left, from, to, 440, RATE), 0.004, what);
      assertEquals(c[3], amplitudeAt(left, from, to, 660, RATE), 0.004, what);
      assertEquals(c[4], amplitudeAt(right, from, to, 440, RATE), 0.004, what);
      assertEquals(c[5], amplitudeAt(right, from, to, 660, RATE), 0.004, what);
    }
  }

  /**
   * Voice removal cancels a centre tone at the band's centre and keeps a tone that is only on the
   * left; the right channel receives that tone through the filter, inverted and scaled by the
   * band-pass gain at its frequency.
   */
  @Test
  void voiceRemovalCancelsTheCentre() {
    int frames = RATE;
    double centreHz = 800;
    double sideHz = 3000;
    short[] input = new short[2 * frames];
    for (int i = 0; i < frames; i++) {
      double c = 0.3 * Math.sin(2 * Math.PI * centreHz * i / RATE);
      double s = 0.2 * Math.sin(2 * Math.PI * sideHz * i / RATE);
      input[2 * i] = (short) Math.round((c + s) * 32767);
      input[2 * i + 1] = (short) Math.round(c * 32767);
    }
    // Band 400..1600 Hz: its centre on the pre-warped scale is 799.6 Hz.
    short[] output = runWith(2, 4, 1.0, p -> p.setVoiceRemoval(1, 400, 1600), input, 4096);
    double[] left = channel(output, 2, 0);
    double[] right = channel(output, 2, 1);
    int from = frames / 4;
    int to = 3 * frames / 4;
    assertTrue(db(amplitudeAt(left, from, to, centreHz, RATE) / 0.3) < -30, "left centre tone");
    assertTrue(db(amplitudeAt(right, from, to, centreHz, RATE) / 0.3) < -30, "right centre tone");
    assertEquals(0.2, amplitudeAt(left, from, to, sideHz, RATE), 0.004);
    // Second-order Butterworth band-pass magnitude at 3000 Hz, on the pre-warped scale.
    double w = Math.tan(Math.PI * sideHz / RATE);
    double lo = Math.tan(Math.PI * 400 / RATE);
    double hi = Math.tan(Math.PI * 1600 / RATE);
    double q = (w * w - lo * hi) / ((hi - lo) * w);
    double leak = 0.2 / Math.sqrt(1 + q * q);
    assertEquals(leak, amplitudeAt(right, from, to, sideHz, RATE), 0.004);
  }

  /** Equaliser gains land on the tones, interpolated linearly in dB over log frequency. */
  @Test
  void theEqualiserShapesTheSpectrum() {
    int frames = RATE;
    double[] hz = {1000, 2236.07, 5000, 10000};
    double[] expectDb = {-12, -3, 6, 6};
    short[] input = new short[frames];
    for (int i = 0; i < frames; i++) {
      double v = 0;
      for (double f : hz) v += 0.1 * Math.sin(2 * Math.PI * f * i / RATE);
      input[i] = (short) Math.round(v * 32767);
    }
    short[] output = runWith(1, 4, 1.0,
        p -> p.setEqualizer(new double[] {1000, 5000}, new double[] {-12, 6}), input, 4096);
    double[] x = channel(output, 1, 0);
    for (int k = 0; k < hz.length; k++) {
      double level = db(amplitudeAt(x, frames / 4, 3 * frames / 4, hz[k], RATE) / 0.1);
      assertEquals(expectDb[k], level, 0.5, hz[k] + " Hz");
    }
    short[] flat = runWith(1, 4, 1.0, p -> {
      p.setEqualizer(new double[] {1000}, new double[] {-20});
      p.clearEqualizer();
    }, input, 4096);
    double[] y = channel(flat, 1, 0);
    assertEquals(0, db(amplitudeAt(y, frames / 4, 3 * frames / 4, 5000, RATE) / 0.1), 0.2);
  }

  @Test
  void noteNamesAndFrequencies() {
    String[] names = {"C1", "C#1", "D1", "B1", "C2", "A4", "A#4", "B6"};
    int[] bands = {0, 1, 2, 11, 12, 45, 46, 71};
    // Equal temperament from A4 = 440 Hz, written out.
    double[] hz = {32.70320, 34.64783, 36.70810, 61.73541, 65.40639, 440.0, 466.16376, 1975.53321};
    for (int k = 0; k < bands.length; k++) {
      assertEquals(names[k], Processor.noteName(bands[k]));
      assertEquals(hz[k], Processor.bandFrequency(bands[k]), 1e-4);
      assertEquals(bands[k], Notes.nearestBand(hz[k] * 1.02));
    }
  }

  /**
   * A tone of amplitude 0.5 on A4 reads 0.5 in band 45, in mono and stereo, at any speed and in
   * the default format too (frame size 0): the analyser takes every 4th sample from the start of
   * each synthesised hop, and the processor keeps those hops to multiples of 4.
   */
  @ParameterizedTest(name = "{0} channel(s), speed {1}, frame {2} / {3}")
  @CsvSource({"1, 1.0, 2048, 4", "2, 1.0, 2048, 4", "2, 0.8, 2048, 4", "1, 2.0, 2048, 4",
      "2, 1.28, 2048, 4", "2, 1.25, 2048, 4", "2, 1.25, 0, 0", "2, 1.5, 0, 0", "1, 0.9, 0, 0"})
  void
  theSpectrumShowsTheNoteOfATone(int channels, double speed, int frameSize, int overSampling) {
    double reading = 0.5;
    try (Processor p = frameSize == 0 ? Processor.open(RATE, channels)
                                      : Processor.open(RATE, channels, frameSize, overSampling)) {
      p.setSpeed(speed);
      p.setGainDb(-10);
      double[] hz = new double[channels];
      double[] amplitude = new double[channels];
      java.util.Arrays.fill(hz, 440);
      java.util.Arrays.fill(amplitude, 0.5);
      p.process(tones(RATE, hz, amplitude, RATE));
      float[] bands = p.spectrum();
      assertEquals(72, bands.length);
      for (int b = 0; b < bands.length; b++) {
        if (b != 45)
          assertTrue(bands[b] < 0.05 * bands[45], "band " + b + ": " + bands[b]);
      }
      assertEquals(reading, bands[45], 0.02);
      p.setSpectrumEnabled(false);
      p.process(new short[channels * RATE / 2]);
      assertArrayEquals(bands, p.spectrum(), "a disabled analyser stays frozen");
    }
  }

  @Test
  void peakAndLimiterCounts() {
    short[] quiet = tones(RATE / 2, new double[] {440}, new double[] {0.3}, RATE);
    try (Processor p = Processor.open(RATE, 1)) {
      run(p, quiet, 4096);
      Processor.Stats stats = p.stats();
      assertEquals(0.3, stats.peakLevel(), 0.01);
      assertEquals(0, stats.limitedSamples());
      assertEquals(0, stats.clampedSamples());
      assertEquals(RATE / 2, stats.inputFrames());
      assertEquals(RATE / 2, stats.outputFrames());
      p.setGainDb(12); // 0.3 * 3.98 = 1.19: over full scale
      short[] loud = run(p, quiet, 4096);
      stats = p.stats();
      assertEquals(1.19, stats.peakLevel(), 0.03);
      long atFull = 0;
      for (short s : loud)
        if (Math.abs(s) == 32767)
          atFull++;
      assertTrue(atFull > 1000, "the clamp stops a tone 1.5 dB over full scale");
      assertTrue(stats.limitedSamples() > stats.clampedSamples());
      assertTrue(stats.clampedSamples() > 0);
      p.process(quiet, 0, 4096);
      assertEquals(1.19, p.peakLevel(), 0.03);
    }
    // Slow speeds start with frames of little overlap, brought up by a large gain and then
    // discarded as latency: the peak is that of the frames returned (before their rounding).
    for (double speed : new double[] {0.1, 0.5}) {
      try (Processor p = Processor.open(RATE, 1, Processor.Quality.FAST)) {
        p.setSpeed(speed);
        short[] out = run(p, quiet, 4096);
        int largest = 0;
        for (short s : out) largest = Math.max(largest, Math.abs(s));
        assertEquals(largest / 32768.0, p.stats().peakLevel(), 1.5 / 32768, "speed " + speed);
      }
    }
  }

  /** Setters and getters from another thread while this one processes: nothing breaks. */
  @Test
  void settersFromAnotherThreadWhileProcessing() throws InterruptedException {
    short[] input = testSignal(2 * RATE, 3);
    try (Processor p = Processor.open(RATE, 2)) {
      AtomicReference<Throwable> failure = new AtomicReference<>();
      Thread control = new Thread(() -> {
        try {
          for (int i = 0; i < 300; i++) {
            p.setMono(i % 2 == 0);
            p.setBalance(i % 101);
            p.setGainDb(-(i % 10));
            p.setVoiceRemoval((i % 5) / 4.0, 200 + i, 3000);
            p.setEqualizer(new double[] {100, 1000}, new double[] {i % 7, -(i % 5)});
            p.spectrum();
            p.peakLevel();
            p.stats();
          }
        } catch (Throwable t) {
          failure.set(t);
        }
      });
      control.start();
      short[] output = run(p, input, 700);
      control.join();
      if (failure.get() != null)
        throw new AssertionError(failure.get());
      assertEquals(2 * RATE, output.length / 2);
    }
  }

  /**
   * No getter or setter waits for the processing thread: with the stream lock held here, as a
   * processing thread holds it for the whole of a process, flush or close call, every public
   * instance method but those three returns when called from another thread. A method added to
   * Processor without arguments in this table fails the test, so that it is checked too.
   */
  @Test
  void gettersAndSettersNeverWaitForTheProcessingThread() throws Exception {
    Map<String, Object[]> arguments = Map.ofEntries(Map.entry("setSpeed", new Object[] {0.8}),
        Map.entry("setPitch", new Object[] {-12.0}),
        Map.entry("setFormants", new Object[] {Processor.Formants.KEEP}),
        Map.entry("expectedOutputFrames", new Object[] {44100L}),
        Map.entry("setVoiceRemoval", new Object[] {1.0, 200.0, 3000.0}),
        Map.entry("setBalance", new Object[] {30}), Map.entry("setMono", new Object[] {true}),
        Map.entry("setGainDb", new Object[] {-3.0}),
        Map.entry("setEqualizer", new Object[] {new double[] {100, 1000}, new double[] {3, -3}}),
        Map.entry("setSpectrumEnabled", new Object[] {false}),
        Map.entry("setFeature", new Object[] {Processor.Feature.ATTACKS, false}),
        Map.entry("feature", new Object[] {Processor.Feature.ATTACKS}));
    Set<String> processingThread = Set.of("process", "flush", "reset", "close");
    ExecutorService control = Executors.newSingleThreadExecutor();
    try (Processor p = Processor.open(RATE, 2)) {
      p.process(testSignal(8192, 5), 0, 8192); // a stream runs
      Object lock = field(field(p, "stream"), "lock");
      synchronized (lock) {
        for (Method m : Processor.class.getDeclaredMethods()) {
          if (!Modifier.isPublic(m.getModifiers()) || Modifier.isStatic(m.getModifiers())
              || processingThread.contains(m.getName()))
            continue;
          Object[] args = m.getParameterCount() == 0 ? new Object[0] : arguments.get(m.getName());
          assertNotNull(args, "no arguments in the table for " + m);
          Future<Object> call = control.submit(() -> m.invoke(p, args));
          try {
            call.get(10, TimeUnit.SECONDS);
          } catch (TimeoutException e) {
            fail(m.getName() + " waits for the processing thread");
          }
        }
      }
    } finally {
      control.shutdownNow();
    }
  }

  private static Object field(Object owner, String name) throws ReflectiveOperationException {
    Field f = owner.getClass().getDeclaredField(name);
    f.setAccessible(true);
    return f.get(owner);
  }
}
