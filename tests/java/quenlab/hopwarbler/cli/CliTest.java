package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.support.Sounds.tones;
import static quenlab.hopwarbler.support.Spectra.amplitudeAt;

import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.stream.Stream;
import javax.imageio.ImageIO;
import javax.sound.sampled.AudioFileFormat;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quenlab.hopwarbler.Notes;
import quenlab.hopwarbler.cli.LauncherRuns.Run;

/** The tool run in this JVM through {@link Main#run}: what it writes and prints when it works. */
class CliTest {
  private static Run run(String... args) {
    return LauncherRuns.inThisJvm(args);
  }

  @Test
  void everyCommandHasHelpAndTheVersion() {
    for (String command : new String[] {"", "process", "spectrum", "play", "demo"}) {
      String[] args =
          command.isEmpty() ? new String[] {"--help"} : new String[] {command, "--help"};
      Run r = run(args);
      assertEquals(0, r.status(), command);
      assertTrue(r.out().startsWith("Usage: hopwarbler" + (command.isEmpty() ? "" : " " + command)),
          r.out());
      assertTrue(r.out().contains("Exit status"), command);
      assertEquals("", r.err());
    }
    Run version = run("--version");
    assertEquals(0, version.status());
    assertTrue(version.out().startsWith("hopwarbler " + Main.VERSION), version.out());
    assertEquals(0, run("process", "--version").status());
  }

  /** --quality picks the frame and hops; --frame-size and --oversampling override its choice. */
  @Test
  void theQualityPresetAndItsOverridesReachTheSummary(@TempDir Path dir) throws IOException {
    Path in = dir.resolve("in.wav");
    TestFiles.write(
        in, tones(TestFiles.RATE / 4, new double[] {440}, new double[] {0.4}, TestFiles.RATE), 1);
    // {options, frame and hops in the summary}
    String[][] cases = {{"--speed 0.8", "frame 4096, 16 hops"},
        {"--speed 1.5", "frame 4096, 16 hops"}, {"--quality fast", "frame 2048, 4 hops"},
        {"--quality BALANCED --speed 2", "frame 4096, 8 hops"},
        {"--quality fast --frame-size 4096", "frame 4096, 4 hops"},
        {"--speed 2 --oversampling 8", "frame 4096, 8 hops"},
        {"--oversampling 2049", "frame 4096, 4096 hops"},  // a hop of 4096 / 2049 = 1 frame
        {"--frame-size 512 --oversampling auto", "frame 512, 4 hops"}};
    for (String[] c : cases) {
      List<String> args = new java.util.ArrayList<>(
          List.of("process", in.toString(), dir.resolve("out.wav").toString()));
      args.addAll(List.of(c[0].split(" ")));
      Run r = run(args.toArray(new String[0]));
      assertEquals(0, r.status(), c[0] + ": " + r.err());
      assertTrue(r.out().contains(", " + c[1] + ", "), c[0] + ": " + r.out());
    }
    Run bad = run("process", in.toString(), dir.resolve("out.wav").toString(), "--quality", "top");
    assertEquals(2, bad.status());
    assertTrue(
        bad.err().contains("--quality must be fast, balanced or best, got 'top'"), bad.err());

    // --without turns the engine's refinements off: here the attack handling, which reshapes the
    // tone's start.
    Path refined = dir.resolve("refined.wav");
    Path plain = dir.resolve("plain.wav");
    assertEquals(0, run("process", in.toString(), refined.toString(), "--speed", "0.8").status());
    assertEquals(0,
        run("process", in.toString(), plain.toString(), "--speed", "0.8", "--without", "all")
            .status());
    assertFalse(java.util.Arrays.equals(Files.readAllBytes(refined), Files.readAllBytes(plain)));
    Run unknown = run("process", in.toString(), plain.toString(), "--without", "reverb");
    assertEquals(2, unknown.status());
    assertTrue(unknown.err().contains("--without takes linked-stereo, attacks, fine-peaks,"
                   + " level-keeping or all, got 'reverb'"),
        unknown.err());
  }

  @Test
  void processWritesTheStretchedFileThePictureAndASummary(@TempDir Path dir) throws IOException {
    Path in = dir.resolve("in.wav");
    TestFiles.write(in,
        tones(TestFiles.RATE, new double[] {440, 440}, new double[] {0.4, 0.4}, TestFiles.RATE), 2);
    Path out = dir.resolve("out.wav");
    Path png = dir.resolve("out.png");
    Run r = run("process", in.toString(), out.toString(), "--speed", "0.8", "--spectrum",
        png.toString(), "--width", "200");
    assertEquals(0, r.status(), r.err());
    assertEquals("", r.err());
    TestFiles.Audio audio = TestFiles.read(out);
    assertEquals(2, audio.channels());
    assertEquals(Math.round(TestFiles.RATE / 0.8), audio.frames());
    assertTrue(
        r.out().matches(".*in\\.wav 0:01\\.000 -> .*out\\.wav 0:01\\.250, speed 0\\.8"
            + " \\(effective 0\\.8000\\), frame 4096, 16 hops, peak -\\d+\\.\\d dBFS, limiter 0"
            + " samples, clamp 0 samples\\R"),
        r.out());
    BufferedImage image = ImageIO.read(png.toFile());
    assertEquals(30 + 200 + 8, image.getWidth());
    assertEquals(8 + 72 * 4 + 18, image.getHeight());
    // Notes go up: A4's row is the brightest in the second half of the picture.
    int x = 30 + 150;
    int a4 = 8 + (71 - 45) * 4 + 1;
    int c2 = 8 + (71 - 12) * 4 + 1;
    assertTrue(brightness(image.getRGB(x, a4)) > 0.95 * brightness(Spectrogram.colour(1.0)));
    assertTrue(brightness(image.getRGB(x, c2)) < brightness(image.getRGB(x, a4)) / 4);
    try (Stream<Path> files = Files.list(dir)) {
      assertEquals(List.of("in.wav", "out.png", "out.wav"),
          files.map(p -> p.getFileName().toString()).sorted().toList(), "no temporary left");
    }
  }

  private static int brightness(int rgb) {
    return ((rgb >> 16) & 0xff) + ((rgb >> 8) & 0xff) + (rgb & 0xff);
  }

  @Test
  void tempoGainAndTheOutputFormats(@TempDir Path dir) {
    Path in = dir.resolve("in.aiff");
    TestFiles.write(in,
        tones(TestFiles.RATE / 2, new double[] {440}, new double[] {0.2}, TestFiles.RATE), 1,
        AudioFileFormat.Type.AIFF);
    for (String name : new String[] {"out.au", "out.aif", "out.wav", "OUT.AIFF", "out.snd"}) {
      Path out = dir.resolve(name);
      Run r = run(
          "process", in.toString(), out.toString(), "--tempo", "-20", "--gain", "-6", "--quiet");
      assertEquals(0, r.status(), r.err());
      assertEquals("", r.out());
      TestFiles.Audio audio = TestFiles.read(out);
      assertEquals(1, audio.channels());
      assertEquals(Math.round(TestFiles.RATE / 2 * 640 / 512.0), audio.frames(), name);
      double[] x = audio.channel(0);
      assertEquals(
          0.1, amplitudeAt(x, x.length / 4, 3 * x.length / 4, 440, TestFiles.RATE), 0.004, name);
    }
  }

  @Test
  void pitchMovesTheKeyOfTheFileAndOfItsPicture(@TempDir Path dir) throws IOException {
    Path in = dir.resolve("in.wav");
    TestFiles.write(in,
        tones(TestFiles.RATE, new double[] {440, 440}, new double[] {0.4, 0.4}, TestFiles.RATE), 2);
    Path out = dir.resolve("out.wav");
    Path png = dir.resolve("out.png");
    // 2048 / 4: the analyser reads tones true only on hops near a multiple of 4 frames.
    Run r = run("process", in.toString(), out.toString(), "--pitch", "-3", "--spectrum",
        png.toString(), "--width", "200", "--frame-size", "2048", "--oversampling", "4");
    assertEquals(0, r.status(), r.err());
    assertTrue(r.out().contains(", pitch -3 semitones"), r.out());
    Path kept = dir.resolve("kept.wav");
    Run keep = run("process", in.toString(), kept.toString(), "--pitch", "-3", "--formants=keep");
    assertEquals(0, keep.status(), keep.err());
    assertTrue(keep.out().contains(", pitch -3 semitones (formants kept)"), keep.out());
    Run bad = run("process", in.toString(), kept.toString(), "--pitch", "-3", "--formants=up");
    assertEquals(2, bad.status());
    assertTrue(bad.err().contains("--formants takes keep or shift, got 'up'"), bad.err());
    TestFiles.Audio audio = TestFiles.read(out);
    // The vocoder stretches by p = 2^(-3/12) exactly on average, the resampler takes that back.
    double p = Math.pow(2, -0.25);
    assertEquals(Math.round(Math.round(TestFiles.RATE * p) / p), audio.frames());
    double[] x = audio.channel(0);
    double fSharp4 = 440 * Math.pow(2, -0.25);
    assertEquals(
        0.4, amplitudeAt(x, x.length / 4, 3 * x.length / 4, fSharp4, TestFiles.RATE), 0.02);
    assertTrue(amplitudeAt(x, x.length / 4, 3 * x.length / 4, 440, TestFiles.RATE) < 0.01);
    BufferedImage image = ImageIO.read(png.toFile());
    int brightest = 0;
    int[] level = new int[Notes.BANDS];
    for (int band = 0; band < Notes.BANDS; band++) {
      level[band] = brightness(image.getRGB(30 + 150, 8 + (71 - band) * 4 + 1));
      if (level[band] > level[brightest])
        brightest = band;
    }
    assertEquals("F#4", Notes.name(brightest), "the picture shows what is heard");
  }

  @Test
  void spectrumNamesTheStrongestNotes(@TempDir Path dir) throws IOException {
    Path in = dir.resolve("chord.wav");
    short[] a =
        tones(TestFiles.RATE, new double[] {440, 659.26}, new double[] {0.4, 0.2}, TestFiles.RATE);
    TestFiles.write(in, a, 2);
    Path png = dir.resolve("chord.png");
    Run r = run("spectrum", in.toString(), "--png", png.toString(), "--top", "2");
    assertEquals(0, r.status(), r.err());
    List<String> lines = r.out().lines().toList();
    assertTrue(lines.get(0).startsWith(in + ": 0:01.000, 44100 Hz stereo, "), lines.get(0));
    assertTrue(lines.get(1).matches("strongest notes \\(mean level\\): A4 -\\d+\\.\\d dB,"
                   + " E5 -\\d+\\.\\d dB"),
        lines.get(1));
    assertEquals("wrote " + png, lines.get(2));
    assertTrue(ImageIO.read(png.toFile()).getWidth() > 30);
  }

  @Test
  void aFailedWriteLeavesNeitherTheFileNorATemporary(@TempDir Path dir) throws IOException {
    Path target = dir.resolve("result.wav");
    CliException e =
        assertThrows(CliException.class, () -> AudioFiles.writeAtomically(target, file -> {
          Files.write(file, new byte[1000]);
          throw new IOException("disk full");
        }));
    assertEquals(CliException.IO, e.exitCode());
    assertEquals("cannot write '" + target + "': disk full", e.getMessage());
    try (Stream<Path> files = Files.list(dir)) {
      assertEquals(0, files.count());
    }
    Files.writeString(target, "old");
    assertThrows(CliException.class,
        () -> AudioFiles.writeAtomically(target, file -> { throw new IOException("broken"); }));
    assertEquals("old", Files.readString(target), "an existing file stays as it was");
    AudioFiles.writeAtomically(target, file -> Files.writeString(file, "new"));
    assertEquals("new", Files.readString(target));
    try (Stream<Path> files = Files.list(dir)) {
      assertEquals(1, files.count());
    }
  }

  @Test
  void theLiveMeterLine() {
    float[] bands = new float[Notes.BANDS];
    bands[45] = 0.5f;
    bands[57] = 0.002f;
    String line = PlayCommand.meterLine(0.5f, bands);
    // 0.5 is -6 dB: 18 of 20 cells; A4 at full shade, A5 (-54 dB) at the lowest visible shade.
    assertEquals("["
            + "=".repeat(18) + "  ]   -6.0  A4  |"
            + " ".repeat(45) + "%"
            + " ".repeat(11) + "."
            + " ".repeat(14) + "|",
        line);
    assertEquals("["
            + " ".repeat(20) + "]   -inf  -   |"
            + " ".repeat(72) + "|",
        PlayCommand.meterLine(0f, new float[Notes.BANDS]));
  }

  /**
   * The practice options' times and trainer, the key in semitones and cents, and the position bar
   * with a loop and markers; bad values are usage errors (status 2) that say what was wanted.
   */
  @Test
  void practiceTimesTrainerKeyAndBar() {
    assertEquals(83.5, PlayCommand.parseTime("1:23.5", "--from"), 1e-9);
    assertEquals(83.5, PlayCommand.parseTime("83.5", "--from"), 1e-9);
    assertEquals(3723, PlayCommand.parseTime("1:02:03", "--from"), 1e-9);
    for (String bad : new String[] {"", "1:75", "-3", "1:2:3:4", "x", "1:"}) {
      CliException e =
          assertThrows(CliException.class, () -> PlayCommand.parseTime(bad, "--loop"), bad);
      assertTrue(e.getMessage().startsWith("--loop wants a time"), e.getMessage());
    }
    Song.Trainer t = PlayCommand.parseTrainer("0.7:0.05:1");
    assertEquals(0.7, t.speed(1));
    assertEquals(0.85, t.speed(4));
    assertEquals(1.0, t.speed(7));
    assertEquals(1.0, t.speed(30));
    for (String bad : new String[] {"0.7:0.05", "1:0.05:0.7", "0.05:0.1:1", "a:b:c", "1:0:1"})
      assertThrows(CliException.class, () -> PlayCommand.parseTrainer(bad), bad);
    assertEquals(2, run("play", "x.wav", "--trainer", "0.8:0.1:1").status(), "needs --loop");
    assertEquals(2, run("play", "a.wav", "b.wav", "--loop", "1-2").status(), "one IN");
    assertEquals(2, run("play", "a.wav", "--loop", "2-1").status(), "B after A");
    assertEquals(2, run("play", "a.wav", "--loop", "1-2", "--from", "3").status(), "in the loop");

    assertEquals("+2 st -15 c", PlayCommand.keyText(1.85));
    assertEquals("0 st +5 c", PlayCommand.keyText(0.05));
    assertEquals("-1 st 0 c", PlayCommand.keyText(-1.0));
    long[] markers = {-1, 90, -1, -1, -1, -1, -1, -1, -1, -1};
    // 10 frames a cell: the position at 36, marker 1 at 90, the loop from 100 to 200.
    assertEquals("[---|-----1A=========B" + "-".repeat(15) + "]",
        PlayCommand.bar(36, 360, 100, 200, -1, markers));
    assertEquals("[" + " ".repeat(36) + "]", PlayCommand.bar(36, -1, -1, -1, -1, markers));
  }

  /**
   * --tempo is checked in percent as typed (-90 is its stated limit), a --tempo that looks like a
   * speed factor is processed with a warning, and a low sample rate needs no voice band unless
   * voice removal is on.
   */
  @Test
  void optionsThatDependOnWhatWasTypedOrTheInput(@TempDir Path dir) {
    Path in = dir.resolve("in.wav");
    String out = dir.resolve("out.wav").toString();
    TestFiles.write(in, tones(4410, new double[] {440}, new double[] {0.4}, TestFiles.RATE), 1);
    Run slowest = run("process", in.toString(), out, "--tempo", "-90", "--quality", "fast");
    assertEquals(0, slowest.status(), slowest.err());
    assertEquals(44100, TestFiles.read(Path.of(out)).frames());
    assertEquals(0, run("process", in.toString(), out, "--tempo", "900", "-q").status());
    Run beyond = run("process", in.toString(), out, "--tempo", "-90.5");
    assertEquals(2, beyond.status());
    assertTrue(beyond.err().contains("from -90 to +900 percent"), beyond.err());

    Run factor = run("process", in.toString(), out, "--tempo", "1.25", "-q");
    assertEquals(0, factor.status(), factor.err());
    assertEquals("hopwarbler: warning: --tempo 1.25 is a tempo change of +1.25 percent (speed"
            + " 1.0125); for 1.25 times the speed, use --speed 1.25",
        factor.err().strip());
    assertEquals("", run("process", in.toString(), out, "--tempo", "25", "-q").err());

    // {rate, the band suggested when voice removal is on}
    String[][] rates = {{"4000", "200-1800"}, {"5512", "200-2480"}, {"6000", "200-2700"}};
    for (String[] r : rates) {
      Path low = dir.resolve("low-" + r[0] + ".wav");
      short[] stereo =
          tones(Integer.parseInt(r[0]) / 4, new double[] {300, 500}, new double[] {0.3, 0.3}, 4000);
      TestFiles.write(low, stereo, 2, Integer.parseInt(r[0]));
      Run processed = run("process", low.toString(), out, "-q", "--speed", "0.8");
      assertEquals(0, processed.status(), r[0] + ": " + processed.err());
      Run played = run("play", low.toString(), "--record", dir.resolve("rec.wav").toString());
      assertEquals(0, played.status(), r[0] + ": " + played.err());
      Run voice = run("process", low.toString(), out, "--voice-removal");
      assertEquals(2, voice.status(), r[0]);
      assertTrue(voice.err().contains("reaches the Nyquist frequency")
              && voice.err().contains("a band that fits is --voice-band " + r[1]),
          voice.err());
    }
  }

  @Test
  void timeLabelsAndDurations() {
    assertEquals("0s", Spectrogram.timeLabel(0));
    assertEquals("2.5s", Spectrogram.timeLabel(2.5));
    assertEquals("1:30", Spectrogram.timeLabel(90));
    assertEquals("0:01.500", AudioFiles.duration(66150, 44100));
    assertEquals("2:03.000", AudioFiles.duration(123 * 48000L, 48000));
    assertEquals(0x000004, Spectrogram.colour(0));
    assertEquals(0xfcfdbf, Spectrogram.colour(1));
    assertFalse(Spectrogram.colour(0.5) == Spectrogram.colour(0.6));
  }
}
