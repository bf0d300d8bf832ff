package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.support.Levels.rms;
import static quenlab.hopwarbler.support.Sounds.tones;
import static quenlab.hopwarbler.support.Spectra.amplitudeAt;

import java.nio.file.Path;
import java.util.Locale;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * A {@code play} session steered from the keyboard as a user would, through a pseudo-terminal:
 * the recording it keeps shows every change where it was made. Each key is sent once the screen
 * shows the input position wanted, so what is checked does not depend on how fast the machine is.
 */
class PlaySessionTest {
  // The settings line: input position, speed and mono.
  private static final Pattern STATUS = Pattern.compile(
      "(\\d+):(\\d\\d)\\.(\\d) / 0:20\\.0  speed (\\d+\\.\\d\\d)  voice \\w+  mono (on|off)");
  private static final Pattern KEY = Pattern.compile("dB  key ([+-]?\\d+)");
  private static final Pattern SUMMARY =
      Pattern.compile("played in\\.wav: (\\d+):(\\d\\d)\\.(\\d{3}) -> .* quit at .* of 0:20\\.000");

  private static double seconds(Matcher status) {
    return Integer.parseInt(status.group(1)) * 60 + Integer.parseInt(status.group(2))
        + Integer.parseInt(status.group(3)) / 10.0;
  }

  @Test
  void keysChangeWhatIsRecordedFromWhereTheyArePressed(@TempDir Path dir) throws Exception {
    int rate = TestFiles.RATE;
    TestFiles.write(dir.resolve("in.wav"),
        tones(20 * rate, new double[] {440, 660}, new double[] {0.3, 0.2}, rate), 2);
    double mono;
    double faster;
    double fastest;
    double keyUp;
    double quit;
    try (LauncherRuns.InTerminal play = new LauncherRuns.InTerminal(
             LauncherRuns.launcher(), dir, "play", "in.wav", "--record", "rec.wav")) {
      play.await(STATUS, m -> seconds(m) >= 1.0);
      play.type("m");
      // The first line drawn after a key shows the position one block of 1/32 s after it.
      mono = seconds(play.await(STATUS, m -> m.group(5).equals("on")));
      play.await(STATUS, m -> seconds(m) >= mono + 1.0);
      play.type("+");
      faster = seconds(play.await(STATUS, m -> m.group(4).equals("1.05")));
      play.type("\033[C"); // the right arrow
      fastest = seconds(play.await(STATUS, m -> m.group(4).equals("1.10")));
      play.await(STATUS, m -> seconds(m) >= fastest + 2.5);
      play.type(">");
      play.await(KEY, m -> m.group(1).equals("+1"));
      keyUp = seconds(play.await(STATUS, m -> true));
      play.await(STATUS, m -> seconds(m) >= keyUp + 1.5);
      play.type("q");
      assertEquals(0, play.waitFor(), play.text());
      Matcher summary = SUMMARY.matcher(play.text());
      assertTrue(summary.find(), play.text());
      quit = Integer.parseInt(summary.group(1)) * 60 + Integer.parseInt(summary.group(2))
          + Integer.parseInt(summary.group(3)) / 1000.0;
    }
    assertTrue(quit < 10, "quit at " + quit + " s of 20");

    // Each stretch of input lasts its length / speed in the recording.
    double expected = faster + (fastest - faster) / 1.05 + (quit - fastest) / 1.10;
    TestFiles.Audio rec = TestFiles.read(dir.resolve("rec.wav"));
    System.out.printf(Locale.ROOT,
        "mono at %.1f s, speed 1.05 at %.1f s, 1.10 at %.1f s, quit at %.3f s: %d frames"
            + " recorded, %.0f expected%n",
        mono, faster, fastest, quit, rec.frames(), expected * rate);
    assertEquals(expected * rate, rec.frames(), 0.02 * rate + 2 * 512,
        "1.0 until " + faster + " s, 1.05 until " + fastest + " s, 1.10 until " + quit + " s");

    // The key moved a semitone up and the speed stayed: A4 (0.15 after the mono fold) became A#4
    // in the last second.
    int end = rec.frames() - 4096;
    double[] last = rec.channel(0);
    int from = end - rate;
    double raised = amplitudeAt(last, from, end, 440 * Math.pow(2, 1 / 12.0), rate);
    assertTrue(raised > 0.13 && amplitudeAt(last, from, end, 440, rate) < 0.01, "A#4 at " + raised);

    // From shortly after the mono key on, both channels are the same, through the speed changes
    // that follow; before, they differ.
    int monoFrame = (int) Math.round(mono * rate);
    double[] left = rec.channel(0);
    double[] right = rec.channel(1);
    double[] difference = new double[left.length];
    for (int i = 0; i < left.length; i++) difference[i] = left[i] - right[i];
    // The screen gives the position to a tenth of a second, and the fold is made on the input, so
    // it reaches the output through the analysis frame of 2048.
    int settle = rate / 10 + 2 * 2048;
    assertTrue(rms(difference, rate / 2, monoFrame - settle) > 0.15, "stereo before the mono key");
    for (int i = monoFrame + settle; i < left.length; i++) {
      assertEquals(left[i], right[i], 1.5 / 32767, "frame " + i + " after mono at " + monoFrame);
    }
  }

  @Test
  void aListCrossfadesFromEachSongToTheNextAndSkipsOneThatIsMissing(@TempDir Path dir)
      throws Exception {
    int rate = TestFiles.RATE;
    double amplitude = 0.3;
    TestFiles.write(dir.resolve("a.wav"),
        tones(2 * rate, new double[] {440}, new double[] {amplitude}, rate), 1);
    TestFiles.write(dir.resolve("b.wav"),
        tones(2 * rate, new double[] {660}, new double[] {amplitude}, rate), 1);
    try (LauncherRuns.InTerminal play = new LauncherRuns.InTerminal(LauncherRuns.launcher(), dir,
             "play", "a.wav", "missing.wav", "b.wav", "--crossfade", "0.5", "--record",
             "rec.wav")) {
      play.await(Pattern.compile("playing 1/3: a\\.wav"), m -> true);
      play.await(Pattern.compile("playing 1/3: a\\.wav, fading into 3/3: b\\.wav"), m -> true);
      play.await(Pattern.compile("playing 3/3: b\\.wav(?!,)"), m -> true);
      // A song skipped makes the status 1, as a file that fails in process --out-dir does.
      assertEquals(1, play.waitFor(), play.text());
      assertTrue(play.text().contains("cannot read 'missing.wav': no such file; skipping it"),
          play.text());
      assertTrue(play.text().contains("played 2 of 3 songs: 0:03.500"), play.text());
    }

    TestFiles.Audio rec = TestFiles.read(dir.resolve("rec.wav"));
    assertEquals(Math.round(3.5 * rate), rec.frames(), 2, "2 s + 2 s less the crossfade");
    double[] x = rec.channel(0);
    int window = 2048;
    int fadeStart = (int) (1.5 * rate);
    int fadeEnd = 2 * rate;
    for (int centre = rate; centre < 3 * rate; centre += rate / 50) {
      int from = centre - window / 2;
      double a = amplitudeAt(x, from, from + window, 440, rate) / amplitude;
      double b = amplitudeAt(x, from, from + window, 660, rate) / amplitude;
      double p = Math.max(0, Math.min(1, (centre - fadeStart) / (double) (fadeEnd - fadeStart)));
      String where = String.format(
          Locale.ROOT, "at %.3f s: 440 Hz %.3f, 660 Hz %.3f", centre / (double) rate, a, b);
      // The first song alone, then both with the gains of an equal-power fade, then the second.
      assertEquals(Math.cos(p * Math.PI / 2), a, 0.04, where);
      assertEquals(Math.sin(p * Math.PI / 2), b, 0.04, where);
      assertEquals(1, a * a + b * b, 0.06, where);
    }
    // No click at either end of the fade: no step larger than both tones at full level make.
    double largest = 2 * Math.PI * (440 + 660) * amplitude / rate;
    for (int i = fadeStart - 2048; i < fadeEnd + 2048; i++) {
      assertTrue(Math.abs(x[i + 1] - x[i]) <= largest, "step of " + (x[i + 1] - x[i]) + " at " + i);
    }
  }
}
