package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.support.Spectra.amplitudeAt;
import static quenlab.hopwarbler.support.Spectra.energyAboveDb;
import static quenlab.hopwarbler.support.Spectra.worstEnergyAboveDb;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * {@code play} as a practice player, steered through a pseudo-terminal with {@code --record}: the
 * loop, the speed trainer, seeks and the key in cents, each checked in the recording. What is
 * checked does not depend on when a key arrives: a seek is measured from where it was made in the
 * recording, and loop passes from the recording's own repetition.
 */
class PracticeSessionTest {
  private static final int RATE = TestFiles.RATE;
  private static final Pattern STATUS = Pattern.compile("(\\d+):(\\d\\d)\\.(\\d) / 0:12\\.0");

  private static double seconds(Matcher status) {
    return Integer.parseInt(status.group(1)) * 60 + Integer.parseInt(status.group(2))
        + Integer.parseInt(status.group(3)) / 10.0;
  }

  /**
   * A steady tone looped from 1.0 to 2.3 s (not a whole number of its periods, so the seam joins
   * two phases) with the trainer at 0.8, 0.9, then 1: the first two passes last 1.3 s / 0.8 and
   * 1.3 s / 0.9, and from the third on the recording repeats itself exactly every 1.3 s, to the
   * frame; the seam adds no energy above 4 kHz beyond the passage's own.
   */
  @Test
  void theLoopRepeatsToTheFrameAndTheTrainerSpeedsUpEachPass(@TempDir Path dir)
      throws Exception {
    TestFiles.write(dir.resolve("tone.wav"),
        quenlab.hopwarbler.support.Sounds.tones(
            4 * RATE, new double[] {440}, new double[] {0.3}, RATE),
        1);
    try (LauncherRuns.InTerminal play = new LauncherRuns.InTerminal(LauncherRuns.launcher(), dir,
             "play", "tone.wav", "--loop", "1-2.3", "--trainer", "0.8:0.1:1", "--record",
             "rec.wav")) {
      play.await(Pattern.compile("pass 2 at 0\\.90"), m -> true);
      play.await(Pattern.compile("pass 6 at 1\\.00"), m -> true);
      play.type("q");
      assertEquals(0, play.waitFor(), play.text());
    }
    double[] x = TestFiles.read(dir.resolve("rec.wav")).channel(0);
    int period = (int) Math.round(1.3 * RATE);
    long first = Math.round(period / 0.8);
    long second = Math.round(period / 0.9);
    int seam = RATE * Song.SEAM_MILLISECONDS / 1000;
    // The first frame from which a whole period repeats the next one exactly: the third pass's
    // start, past the seam where the second pass's tail (at another speed) still sounds.
    int repeats = -1;
    for (int at = (int) (first + second) - 3000; at + 2 * period <= x.length - 16384; at++) {
      if (samePeriod(x, at, period)) {
        repeats = at;
        break;
      }
    }
    System.out.printf(Locale.ROOT, "passes of %d and %d frames, then %d; repeating from %d%n",
        first, second, period, repeats);
    assertTrue(repeats >= first + second && repeats <= first + second + seam,
        "the recording repeats every " + period + " frames from " + repeats + ", the third pass"
            + " starts at " + (first + second));
    assertTrue(x.length >= first + second + 3 * period, "at least three passes at speed 1");
    // The frames after q end the stream early, so the comparison stops short of them.
    for (int at = repeats; at + 2 * period <= x.length - 16384; at += period) {
      assertTrue(samePeriod(x, at, period), "pass from " + at);
    }
    // Energy above 4 kHz at a seam against the passage's own, in windows of 1024 frames.
    int seamAt = (int) (first + second + period);
    double atSeam = worstEnergyAboveDb(x, seamAt - 1024, seamAt + seam + 1024, 1024, 4000, RATE);
    double own = worstEnergyAboveDb(x, seamAt + 2 * seam, seamAt + period - 2 * seam, 1024,
        4000, RATE);
    System.out.printf(Locale.ROOT, "above 4 kHz: %.1f dB at the seam, %.1f dB in the passage%n",
        atSeam, own);
    assertTrue(atSeam <= own + 3, atSeam + " dB at the seam, " + own + " dB in the passage");
    assertTrue(energyAboveDb(x, seamAt - 512, 1024, 4000, RATE) <= own + 3);
  }

  private static boolean samePeriod(double[] x, int at, int period) {
    for (int i = 0; i < period; i++) {
      if (x[at + i] != x[at + period + i])
        return false;
    }
    return true;
  }

  /**
   * Every second of the input is a tone of its own. Started with --from 2.5, the recording begins
   * half-way through second 2; a seek forward and one back each land 5 s from where they were
   * pressed (the second heard jumps by 5 and the part of it played before and after the jump makes
   * one second); a marker set with 1 is where 1 returns to; three presses of ) raise the key by
   * 15 cents.
   */
  @Test
  void fromAndSeeksLandWhereAskedAndTheKeyMovesInCents(@TempDir Path dir) throws Exception {
    TestFiles.write(dir.resolve("coded.wav"), toneCoded(12), 1);
    double cents;
    double marked;
    try (LauncherRuns.InTerminal play = new LauncherRuns.InTerminal(LauncherRuns.launcher(), dir,
             "play", "coded.wav", "--from", "0:02.5", "--record", "rec.wav")) {
      play.await(STATUS, m -> seconds(m) >= 3.3);
      play.type("f");
      double after = seconds(play.await(STATUS, m -> seconds(m) >= 8));
      play.await(STATUS, m -> seconds(m) >= after + 1.2);
      play.type("b");
      double back = seconds(play.await(STATUS, m -> seconds(m) < after));
      play.type("1"); // the first press sets marker 1
      marked = seconds(play.await(STATUS, m -> seconds(m) > back));
      play.await(STATUS, m -> seconds(m) >= marked + 1.5);
      play.type("1"); // the second jumps to it
      play.await(STATUS, m -> seconds(m) < marked + 0.5);
      play.type(")))");
      play.await(Pattern.compile("key 0 st \\+15 c"), m -> true);
      cents = seconds(play.await(STATUS, m -> true));
      play.await(STATUS, m -> seconds(m) >= Math.max(back, cents) + 2.2);
      play.type("q");
      assertEquals(0, play.waitFor(), play.text());
    }
    double[] x = TestFiles.read(dir.resolve("rec.wav")).channel(0);
    List<int[]> runs = runs(x); // {second, first frame, frames}
    System.out.println("seconds heard (second, from, frames): "
        + runs.stream().map(r -> r[0] + "@" + r[1] + "+" + r[2]).toList());
    // --from 2.5: half of second 2, then second 3 whole.
    assertEquals(2, runs.get(0)[0]);
    assertEquals(0.5 * RATE, runs.get(0)[2], 0.02 * RATE);
    assertEquals(3, runs.get(1)[0]);
    int jumps = 0;
    for (int i = 1; i + 1 < runs.size(); i++) {
      int[] before = runs.get(i);
      int[] after = runs.get(i + 1);
      int step = after[0] - before[0];
      if (step == 1)
        continue;
      // A seek: 5 s on or back, and the part of the second before it and the part after it make
      // one second (unless the jump came right at a second's edge); then one to the marker, set
      // where the screen showed (about) `marked`.
      jumps++;
      if (jumps == 3) {
        assertEquals((int) marked, after[0], 1, "marker 1 at " + marked);
        if (after[0] == (int) marked && i + 2 < runs.size())
          assertEquals((1 - marked % 1) * RATE, after[2], 0.15 * RATE, "marker 1 at " + marked);
        continue;
      }
      assertEquals(jumps == 1 ? 5 : -5, step, "jump " + jumps + " from second " + before[0]);
      boolean wholeBefore = Math.abs(before[2] - RATE) < 0.02 * RATE;
      if (!wholeBefore && i + 2 < runs.size() && runs.get(i + 2)[0] == after[0] + 1) {
        assertEquals(RATE, before[2] + after[2], 0.02 * RATE,
            "second " + before[0] + " then " + after[0]);
      }
    }
    assertEquals(3, jumps, "two seeks and a jump to a marker");
    // The key: the last full second's tone, 15 cents up.
    int[] last = runs.get(runs.size() - 2);
    double hz = frequency(last[0]);
    int from = last[1] + last[2] / 4;
    int to = last[1] + last[2] * 3 / 4;
    double raised = amplitudeAt(x, from, to, hz * Math.pow(2, 15 / 1200.0), RATE);
    double plain = amplitudeAt(x, from, to, hz, RATE);
    assertTrue(raised > 0.2 && plain < raised / 3,
        "second " + last[0] + ": " + raised + " at +15 cents, " + plain + " unmoved");
  }

  // Second k of the input: a tone of frequency(k), amplitude 0.3, the phase running on.
  private static short[] toneCoded(int seconds) {
    short[] s = new short[seconds * RATE];
    double phase = 0;
    for (int i = 0; i < s.length; i++) {
      s[i] = (short) Math.round(0.3 * 32767 * Math.sin(phase));
      phase += 2 * Math.PI * frequency(i / RATE) / RATE;
    }
    return s;
  }

  private static double frequency(int second) {
    return 300 + 100 * second;
  }

  // The seconds heard in order, each a run of windows whose strongest tone is that second's:
  // {second, first frame, frames}. A run shorter than 0.1 s (a seam) joins no run.
  private static List<int[]> runs(double[] x) {
    int window = 1024;
    int hop = 256;
    List<int[]> runs = new ArrayList<>();
    int current = -1;
    int start = 0;
    for (int at = 0; at + window <= x.length; at += hop) {
      int best = -1;
      double bestAmplitude = 0.1;
      for (int k = 0; k < 12; k++) {
        double a = amplitudeAt(x, at, at + window, frequency(k), RATE);
        if (a > bestAmplitude) {
          bestAmplitude = a;
          best = k;
        }
      }
      if (best != current) {
        if (current >= 0)
          runs.add(new int[] {current, start, at - start});
        current = best;
        start = at;
      }
    }
    runs.add(new int[] {current, start, x.length - start});
    runs.removeIf(r -> r[0] < 0 || r[2] < RATE / 10);
    // Merge neighbours of the same second that a seam split.
    for (int i = 0; i + 1 < runs.size(); i++) {
      if (runs.get(i)[0] == runs.get(i + 1)[0]) {
        runs.get(i)[2] = runs.get(i + 1)[1] + runs.get(i + 1)[2] - runs.get(i)[1];
        runs.remove(i + 1);
        i--;
      }
    }
    return runs;
  }
}
