package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.support.Levels.shortTimeLevelsDb;
import static quenlab.hopwarbler.support.Pcm.channel;
import static quenlab.hopwarbler.support.ProcessorRuns.run;
import static quenlab.hopwarbler.support.Sounds.RATE;
import static quenlab.hopwarbler.support.Sounds.TWO_PARTIAL_RMS;
import static quenlab.hopwarbler.support.Sounds.tones;
import static quenlab.hopwarbler.support.Sounds.twoPartialTone;
import static quenlab.hopwarbler.support.Spectra.worstEnergyAboveDb;

import java.util.List;
import java.util.Random;
import java.util.function.Consumer;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Controls moved while a steady stereo tone plays (0.4 at 440 Hz + 0.1 at 660 Hz, 1024-frame
 * blocks): the level holds through speed changes, nothing is heard outside the partials beyond
 * what the steady streams have, and the length keeps to the exact speed.
 */
class LiveChangesTest {
  private static final int BLOCK = 1024;
  private static final int CHANGE_BLOCKS = 22; // about half a second between changes
  // The worst 20 ms above 4 kHz of a clean steady stream, in dB of full scale, a few dB over the
  // rounding to 16 bits: a steady stream that comes out quieter than this (as the processor's lean
  // maths leave the two-partial tone) does not make the bound for a change stricter.
  private static final double QUIET_FLOOR_DB = -97;

  private static double[] range(double[] levels) {
    double low = Double.POSITIVE_INFINITY;
    double high = Double.NEGATIVE_INFINITY;
    for (double v : levels) {
      low = Math.min(low, v);
      high = Math.max(high, v);
    }
    return new double[] {low, high};
  }

  /**
   * Through speed changes between 0.5 and 2 the short-time level (RMS over 256 frames, which the
   * two partials make ripple by themselves) stays within 0.5 dB of the range the steady streams at
   * those speeds span, and the energy above 1.5 kHz within 3 dB of theirs (6 dB at an oversampling
   * of 4, where at speed 0.5 only two frames overlap, some 90 dB below full scale). Clearing the
   * vocoder's phases at a change, or advancing the first new frame by the new hop while it lies at
   * the old one, made the level dip by 4 to 14 dB; the overlap of frames laid at the old hop moved
   * it by up to 12 dB.
   */
  @ParameterizedTest(name = "frame {0}, oversampling {1}")
  @CsvSource({"2048, 4, 6", "1024, 16, 3", "4096, 8, 3"})
  void aSteadyToneKeepsItsLevelThroughSpeedChanges(
      int frameSize, int overSampling, double bandExcessDb) {
    double[] speeds = {1.0, 2.0, 0.5, 1.25, 0.8};
    double low = Double.POSITIVE_INFINITY;
    double high = Double.NEGATIVE_INFINITY;
    double steadyHigh = Double.NEGATIVE_INFINITY;
    for (double speed : speeds) {
      try (Processor p = Processor.open(RATE, 2, frameSize, overSampling)) {
        p.setSpeed(speed);
        short[] out = run(p, twoPartialTone(RATE, RATE), BLOCK);
        for (int c = 0; c < 2; c++) {
          double[] x = channel(out, 2, c);
          double[] r =
              range(shortTimeLevelsDb(x, frameSize, x.length - frameSize, TWO_PARTIAL_RMS));
          low = Math.min(low, r[0]);
          high = Math.max(high, r[1]);
          steadyHigh = Math.max(
              steadyHigh, worstEnergyAboveDb(x, frameSize, x.length - frameSize, 1024, 1500, RATE));
        }
      }
    }
    try (Processor p = Processor.open(RATE, 2, frameSize, overSampling)) {
      short[] input = twoPartialTone(speeds.length * CHANGE_BLOCKS * BLOCK, RATE);
      short[] out = run(p, input, BLOCK, k -> {
        if (k % CHANGE_BLOCKS == 0)
          p.setSpeed(speeds[k / CHANGE_BLOCKS]);
      });
      for (int c = 0; c < 2; c++) {
        double[] x = channel(out, 2, c);
        double[] r =
            range(shortTimeLevelsDb(x, 2 * frameSize, x.length - 2 * frameSize, TWO_PARTIAL_RMS));
        assertTrue(r[0] > low - 0.5 && r[1] < high + 0.5,
            "channel " + c + ": level from " + r[0] + " to " + r[1] + " dB, steady from " + low
                + " to " + high + " dB");
        double energy =
            worstEnergyAboveDb(x, 2 * frameSize, x.length - 2 * frameSize, 1024, 1500, RATE);
        assertTrue(energy < steadyHigh + bandExcessDb,
            "channel " + c + ": " + energy + " dB above 1.5 kHz, steady " + steadyHigh + " dB");
      }
    }
  }

  /**
   * After 100 random speed changes between 0.5 and 2, in blocks of random length, the stream is
   * as long as the sum of each block's frames over its speed, to within a frame, and the speed
   * applied is every time the one asked for.
   */
  @Test
  void theLengthKeepsToTheExactSpeedThroughAHundredChanges() {
    Random random = new Random(11);
    short[] input = tones(5000, new double[] {440}, new double[] {0.3}, RATE);
    try (Processor p = Processor.open(RATE, 1, 1024, 4)) {
      double exact = 0;
      long frames = 0;
      long out = 0;
      for (int change = 0; change < 100; change++) {
        double speed = Math.pow(2, 2 * random.nextDouble() - 1);
        p.setSpeed(speed);
        assertEquals(speed, p.effectiveSpeed(), 1e-12);
        int n = 1 + random.nextInt(input.length);
        out += p.process(input, 0, n).length;
        exact += n / speed;
        frames += n;
      }
      out += p.flush().length;
      assertEquals(exact, out, 1.0);
      assertEquals(frames, p.stats().inputFrames());
      assertEquals(out, p.stats().outputFrames());
    }
  }

  /** Mono switched on while the tone plays at speed 1.1 makes the two channels one. */
  @Test
  void monoSwitchedOnMidStreamMakesTheChannelsEqual() {
    try (Processor p = Processor.open(RATE, 2)) {
      p.setSpeed(1.1);
      long[] changeAt = new long[1];
      short[] out = run(p, twoPartialTone(3 * CHANGE_BLOCKS * BLOCK, RATE), BLOCK, k -> {
        if (k == CHANGE_BLOCKS) {
          p.setMono(true);
          changeAt[0] = p.stats().outputFrames() + p.latencyFrames();
        }
      });
      // After the 20 ms ramp and the native fade, which takes a frame of output.
      int from = (int) changeAt[0] + RATE / 50 + 3 * p.frameSize();
      for (int i = from; i < out.length / 2 - p.frameSize(); i++)
        assertEquals(out[2 * i], out[2 * i + 1], "frame " + i);
    }
  }

  static Stream<Arguments> controls() {
    Consumer<Processor> none = p -> {};
    Consumer<Processor> voiceOn = p -> p.setVoiceRemoval(1, 300, 3000);
    Consumer<Processor> eqOn =
        p -> p.setEqualizer(new double[] {300, 600, 1000}, new double[] {0, -12, 0});
    return Stream.of(Arguments.of("voice removal on, off", none, voiceOn,
                         (Consumer<Processor>) Processor::disableVoiceRemoval),
        Arguments.of("voice amount 0.2 to 1 and back",
            (Consumer<Processor>) p
            -> p.setVoiceRemoval(0.2, 300, 3000),
            voiceOn, (Consumer<Processor>) p -> p.setVoiceRemoval(0.2, 300, 3000)),
        Arguments.of("mono on, off", none,
            (Consumer<Processor>) p
            -> p.setMono(true),
            (Consumer<Processor>) p -> p.setMono(false)),
        Arguments.of("balance 0 to 100 and back",
            (Consumer<Processor>) p
            -> p.setBalance(0),
            (Consumer<Processor>) p
            -> p.setBalance(100),
            (Consumer<Processor>) p -> p.setBalance(0)),
        Arguments.of("gain 0 to -12 dB and back", none,
            (Consumer<Processor>) p -> p.setGainDb(-12), (Consumer<Processor>) p -> p.setGainDb(0)),
        Arguments.of(
            "equaliser on, off", none, eqOn, (Consumer<Processor>) Processor::clearEqualizer));
  }

  /**
   * A control changed twice while the tone plays leaves no click: the worst energy above 4 kHz in
   * 20 ms within two frames of each change stays within 3 dB of the worst the steady streams
   * before and after the first change have, counted as no less than {@link #QUIET_FLOOR_DB}. Set
   * in one step, each of these controls put 44 to 66 dB more there.
   */
  @ParameterizedTest(name = "{0}")
  @MethodSource("controls")
  void aControlMovesWithoutAClick(String what, Consumer<Processor> initial,
      Consumer<Processor> first, Consumer<Processor> second) {
    int frames = 3 * CHANGE_BLOCKS * BLOCK;
    double steady = Double.NEGATIVE_INFINITY;
    for (Consumer<Processor> state : List.of(initial, first)) {
      try (Processor p = Processor.open(RATE, 2)) {
        initial.accept(p);
        state.accept(p);
        short[] out = run(p, twoPartialTone(frames, RATE), BLOCK);
        for (int c = 0; c < 2; c++) {
          double[] x = channel(out, 2, c);
          steady = Math.max(
              steady, worstEnergyAboveDb(x, RATE / 4, x.length - RATE / 4, 882, 4000, RATE));
        }
      }
    }
    try (Processor p = Processor.open(RATE, 2)) {
      initial.accept(p);
      long[] changeAt = new long[2];
      short[] out = run(p, twoPartialTone(frames, RATE), BLOCK, k -> {
        if (k == CHANGE_BLOCKS || k == 2 * CHANGE_BLOCKS) {
          (k == CHANGE_BLOCKS ? first : second).accept(p);
          changeAt[k / CHANGE_BLOCKS - 1] = p.stats().outputFrames() + p.latencyFrames();
        }
      });
      int span = 2 * p.frameSize();
      for (int c = 0; c < 2; c++) {
        double[] x = channel(out, 2, c);
        for (long at : changeAt) {
          double energy = worstEnergyAboveDb(x, (int) at - span, (int) at + span, 882, 4000, RATE);
          assertTrue(energy < Math.max(steady, QUIET_FLOOR_DB) + 3,
              what + ", channel " + c + ": " + energy + " dB above 4 kHz around the change at " + at
                  + ", steady " + steady + " dB");
        }
      }
    }
  }
}
