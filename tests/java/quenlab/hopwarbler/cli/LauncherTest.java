package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.cli.LauncherRuns.names;
import static quenlab.hopwarbler.cli.LauncherRuns.run;
import static quenlab.hopwarbler.support.Levels.db;
import static quenlab.hopwarbler.support.Levels.rms;
import static quenlab.hopwarbler.support.Levels.zeroCrossingHz;
import static quenlab.hopwarbler.support.Sounds.tones;
import static quenlab.hopwarbler.support.Spectra.amplitudeAt;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import javax.imageio.ImageIO;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioSystem;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quenlab.hopwarbler.Notes;
import quenlab.hopwarbler.cli.LauncherRuns.Run;

/**
 * End to end: the launcher that the build configures, run as a user would, on generated files.
 * The launcher's path comes from the system property {@code hopwarbler.launcher}.
 */
class LauncherTest {
  /**
   * A 3 s stereo tone file at each speed: the output has exactly round(frames / speed) frames,
   * whatever hop the tool picks, and both tones keep their pitch within 5 cents.
   */
  @Test
  void durationsAndPitchAtEverySpeed(@TempDir Path dir) throws Exception {
    int frames = 3 * TestFiles.RATE;
    double[] hz = {440, 554.37};
    TestFiles.write(
        dir.resolve("tone.wav"), tones(frames, hz, new double[] {0.3, 0.3}, TestFiles.RATE), 2);
    StringBuilder report =
        new StringBuilder("speed  frames  expected  seconds  cents L  cents R\n");
    for (double speed : new double[] {0.5, 0.8, 1.25, 2.0}) {
      String name = "tone-" + speed + ".wav";
      Run r = run(dir, "process", "tone.wav", name, "--speed", Double.toString(speed));
      assertEquals(0, r.status(), r.err());
      TestFiles.Audio out = TestFiles.read(dir.resolve(name));
      assertEquals(Math.round(frames / speed), out.frames(), "speed " + speed);
      double[] cents = new double[2];
      for (int c = 0; c < 2; c++) {
        double[] x = out.channel(c);
        double measured = zeroCrossingHz(x, x.length / 5, 4 * x.length / 5, TestFiles.RATE);
        cents[c] = Notes.cents(measured, hz[c]);
        assertEquals(0, cents[c], 5.0, "speed " + speed + " channel " + c + ": " + measured);
      }
      report.append(String.format(Locale.ROOT, "%5.2f  %6d  %8.1f  %7.4f  %7.3f  %7.3f%n", speed,
          out.frames(), frames / speed, out.frames() / (double) TestFiles.RATE, cents[0],
          cents[1]));
    }
    System.out.print(report);
  }

  @Test
  void voiceRemovalLowersACentrePannedTone(@TempDir Path dir) throws Exception {
    int frames = TestFiles.RATE;
    short[] s = new short[2 * frames];
    for (int i = 0; i < frames; i++) {
      double centre = 0.3 * Math.sin(2 * Math.PI * 800 * i / TestFiles.RATE);
      double side = 0.2 * Math.sin(2 * Math.PI * 3000 * i / TestFiles.RATE);
      s[2 * i] = (short) Math.round((centre + side) * 32767);
      s[2 * i + 1] = (short) Math.round(centre * 32767);
    }
    TestFiles.write(dir.resolve("mix.wav"), s, 2);
    Run r = run(
        dir, "process", "--voice-removal", "--voice-band", "400-1600", "mix.wav", "karaoke.wav");
    assertEquals(0, r.status(), r.err());
    assertTrue(r.out().contains("voice removal 1 at 400-1600 Hz"), r.out());
    TestFiles.Audio out = TestFiles.read(dir.resolve("karaoke.wav"));
    double[] left = out.channel(0);
    double[] right = out.channel(1);
    int from = frames / 4;
    int to = 3 * frames / 4;
    assertTrue(db(amplitudeAt(left, from, to, 800, TestFiles.RATE) / 0.3) < -30);
    assertTrue(db(amplitudeAt(right, from, to, 800, TestFiles.RATE) / 0.3) < -30);
    assertEquals(
        0.2, amplitudeAt(left, from, to, 3000, TestFiles.RATE), 0.004, "the side tone stays");
  }

  /** Every error: one line naming the problem, its exit status, and no output file left. */
  @Test
  void everyErrorIsOneLineWithItsExitStatus(@TempDir Path dir) throws Exception {
    TestFiles.write(dir.resolve("in.wav"),
        tones(8000, new double[] {440, 660}, new double[] {0.3, 0.3}, TestFiles.RATE), 2);
    TestFiles.write(dir.resolve("mono.wav"),
        tones(8000, new double[] {440}, new double[] {0.3}, TestFiles.RATE), 1);
    short[] six = new short[6 * 1000];
    TestFiles.write(dir.resolve("six.wav"), six, 6);
    Files.writeString(dir.resolve("notes.txt"), "not audio at all\n".repeat(100));
    Files.createDirectory(dir.resolve("folder.wav"));
    byte[] original = Files.readAllBytes(dir.resolve("in.wav"));
    String[][] cases = {
        {"2", "missing command: give one of process, spectrum, play or demo"},
        {"2", "Unmatched argument at index 0: 'frobnicate'", "frobnicate"},
        {"2", "Missing required parameter: 'IN'", "process"},
        {"2", "Missing required parameter: 'OUT'", "process", "in.wav"},
        {"2", "Unknown option: '--loud'", "process", "in.wav", "out.wav", "--loud"},
        {"1", "cannot read 'missing.wav': no such file", "process", "missing.wav", "out.wav"},
        {"1", "cannot read 'folder.wav': it is a folder", "process", "folder.wav", "out.wav"},
        {"1", "cannot read 'notes.txt': not a WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or"
            + " M4A/AAC file", "process", "notes.txt", "out.wav"},
        {"1", "it has 6 channels, and only mono and stereo are supported", "process", "six.wav",
            "out.wav"},
        {"2", "its name must end in .wav, .aiff, .aif, .au or .flac", "process", "in.wav",
            "out.mp3"},
        {"2", "refusing to overwrite the input 'in.wav'", "process", "in.wav", "in.wav"},
        {"2", "refusing to overwrite the input 'in.wav'", "process", "in.wav", "./in.wav"},
        {"2", "--speed 0 is out of range: the speed must be from 0.1 to 10", "process", "in.wav",
            "out.wav", "--speed", "0"},
        {"2", "--speed -1 is out of range", "process", "in.wav", "out.wav", "--speed", "-1"},
        {"2", "Invalid value for option '--speed': 'fast' is not a double", "process", "in.wav",
            "out.wav", "--speed", "fast"},
        {"2", "--speed and --tempo cannot be combined", "process", "in.wav", "out.wav", "-s", "2",
            "-t", "5"},
        {"2", "--tempo -95 is out of range", "process", "in.wav", "out.wav", "--tempo", "-95"},
        {"2", "--frame-size 64 is too short for the 44100 Hz of 'in.wav': a frame shorter than"
            + " 2.5 ms does not keep the level; use 128 or more", "process", "in.wav", "out.wav",
            "--frame-size", "64"},
        {"2", "--frame-size must be a power of two from 64 to 4096, got 1000", "process", "in.wav",
            "out.wav", "--frame-size", "1000"},
        {"2", "--oversampling must be from 1 to the frame size 4096, got 0", "process", "in.wav",
            "out.wav", "--oversampling", "0"},
        {"2", "--oversampling must be a whole number or auto, got 'lots'", "process", "in.wav",
            "out.wav", "--oversampling", "lots"},
        {"2", "--speed 0.2 needs --oversampling of at least 5", "process", "in.wav", "out.wav",
            "--speed", "0.2", "--oversampling", "4"},
        {"2", "--pitch must be from -12 to 12 semitones, got 12.5", "process", "in.wav", "out.wav",
            "--pitch", "12.5"},
        {"2",
            "speed 0.2 with --pitch 12 (a stretch to speed 0.1) needs --oversampling of at least"
                + " 10",
            "process", "in.wav", "out.wav", "--speed", "0.2", "--pitch", "12", "--oversampling",
            "8"},
        {"2", "--voice-amount must be from 0 to 1, got 1.5", "process", "in.wav", "out.wav",
            "--voice-removal", "--voice-amount", "1.5"},
        {"2", "--voice-amount needs --voice-removal", "process", "in.wav", "out.wav",
            "--voice-amount", "0.5"},
        {"2", "--voice-band must look like LOW-HIGH in Hz", "process", "in.wav", "out.wav",
            "--voice-removal", "--voice-band", "300"},
        {"2", "--voice-band 100-30000 reaches the Nyquist frequency 22050 Hz", "process", "in.wav",
            "out.wav", "--voice-removal", "--voice-band", "100-30000"},
        {"2", "--voice-band needs --voice-removal", "process", "in.wav", "out.wav", "--voice-band",
            "100-2000"},
        {"2", "--voice-removal needs a stereo input, and 'mono.wav' is mono", "process", "mono.wav",
            "out.wav", "--voice-removal"},
        {"2", "--balance must be from 0 to 100, got 101", "process", "in.wav", "out.wav",
            "--balance", "101"},
        {"2", "--gain must be from -96 to 24 dB, got 30", "process", "in.wav", "out.wav", "--gain",
            "30"},
        {"2", "--eq points must look like HZ:DB", "process", "in.wav", "out.wav", "--eq", "1000"},
        {"2", "--eq frequency 30000 Hz must be above 0 and at most the Nyquist frequency 22050",
            "process", "in.wav", "out.wav", "--eq", "100:3,30k:3"},
        {"2", "--eq gain must be a number of dB, got 'x'", "process", "in.wav", "out.wav", "--eq",
            "1k:x"},
        {"2", "--eq has an empty point in ','", "process", "in.wav", "out.wav", "--eq=,"},
        {"2", "--eq has an empty point in '100:3,'", "process", "in.wav", "out.wav", "--eq=100:3,"},
        {"1", "cannot write 'missing/out.wav': the folder", "process", "in.wav", "missing/out.wav"},
        {"2", "--spectrum needs a file name ending in .png, got 'out.jpg'", "process", "in.wav",
            "out.wav", "--spectrum", "out.jpg"},
        {"1", "cannot write 'missing/s.png': the folder", "process", "in.wav", "out.wav",
            "--spectrum", "missing/s.png"},
        {"1", "cannot read 'missing.wav': no such file", "spectrum", "missing.wav"},
        {"2", "--png needs a file name ending in .png, got 'in.wav'", "spectrum", "in.wav", "--png",
            "in.wav"},
        {"2", "--top must be from 1 to 72, got 0", "spectrum", "in.wav", "--top", "0"},
        {"2", "--seconds must be from 2 to 60, got 1", "demo", "--seconds", "1"},
        {"1", "cannot read 'missing.wav': no such file", "play", "missing.wav"},
        {"2", "--speed 20 is out of range", "play", "in.wav", "--speed", "20"},
        {"2", "its name must end in .wav, .aiff, .aif, .au or .flac", "play", "in.wav", "--record",
            "take.mp3"},
        {"2", "refusing to overwrite the input 'in.wav'", "play", "in.wav", "--record", "in.wav"},
        {"1", "cannot write 'missing/take.wav': the folder", "play", "in.wav", "--record",
            "missing/take.wav"},
    };
    for (String[] c : cases) {
      String[] args = Arrays.copyOfRange(c, 2, c.length);
      Run r = run(dir, args);
      String what = String.join(" ", args);
      assertEquals(Integer.parseInt(c[0]), r.status(), what + ": " + r.err());
      assertEquals(1, r.err().lines().count(), what + ": " + r.err());
      assertTrue(r.err().startsWith("hopwarbler: "), what + ": " + r.err());
      assertTrue(r.err().contains(c[1]), what + ": " + r.err());
      assertFalse(r.err().contains("Exception") || r.err().contains("\tat "), r.err());
      assertEquals("", r.out(), what);
      assertEquals(List.of("folder.wav", "in.wav", "mono.wav", "notes.txt", "six.wav"), names(dir),
          what + " left files behind");
    }
    assertTrue(Arrays.equals(original, Files.readAllBytes(dir.resolve("in.wav"))));
  }

  @Test
  void playWithoutAnAudioDeviceSaysSoInOneLine(@TempDir Path dir) throws Exception {
    boolean device;
    try {
      AudioSystem.getSourceDataLine(new AudioFormat(44100, 16, 2, true, false)).close();
      device = true;
    } catch (Exception e) {
      device = false;
    }
    org.junit.jupiter.api.Assumptions.assumeFalse(device, "this machine has an audio device");
    TestFiles.write(dir.resolve("in.wav"),
        tones(4000, new double[] {440}, new double[] {0.3}, TestFiles.RATE), 1);
    Run r = run(dir, "play", "in.wav");
    assertEquals(1, r.status());
    assertEquals(1, r.err().lines().count(), r.err());
    assertTrue(r.err().startsWith("hopwarbler: no audio output device is available"), r.err());

    // With --record it plays to the file alone, in real time, with no terminal to take keys from.
    Run recorded = run(dir, "play", "in.wav", "--record", "rec.wav", "--speed", "1.25");
    assertEquals(0, recorded.status(), recorded.err());
    assertEquals(1, recorded.err().lines().count(), recorded.err());
    assertTrue(recorded.err().startsWith("hopwarbler: no audio output device is available")
            && recorded.err().contains("recording to 'rec.wav' only"),
        recorded.err());
    assertTrue(recorded.out().contains("recorded to rec.wav"), recorded.out());
    TestFiles.Audio rec = TestFiles.read(dir.resolve("rec.wav"));
    assertEquals(1, rec.channels());
    assertEquals(4000 / 1.25, rec.frames(), 512);
    assertEquals(0.3, Math.sqrt(2) * rms(rec.channel(0), 800, 2400), 0.01);
    assertEquals(List.of("in.wav", "rec.wav"), names(dir));
  }

  /** The demo needs nothing but an empty folder and makes its files there. */
  @Test
  void demoRunsInAnEmptyFolder(@TempDir Path dir) throws Exception {
    Run r = run(dir, "demo", "--seconds", "3");
    assertEquals(0, r.status(), r.err());
    assertEquals("", r.err());
    Path demo = dir.resolve("hopwarbler-demo");
    List<String> expected = new ArrayList<>();
    for (String name : new String[] {"piece", "slower", "faster", "voice-removed", "mono"}) {
      expected.add(name + ".png");
      expected.add(name + ".wav");
      assertTrue(r.out().contains(name + ".wav"), r.out());
      assertTrue(ImageIO.read(demo.resolve(name + ".png").toFile()).getHeight() > 72 * 4);
    }
    assertEquals(expected.stream().sorted().toList(), names(demo));
    assertEquals(3 * TestFiles.RATE, TestFiles.read(demo.resolve("piece.wav")).frames());
    assertEquals(
        Math.round(3 * TestFiles.RATE / 0.8), TestFiles.read(demo.resolve("slower.wav")).frames());
    assertEquals(
        Math.round(3 * TestFiles.RATE / 1.25), TestFiles.read(demo.resolve("faster.wav")).frames());
    Run again = run(dir, "demo", "--seconds", "2", "--out", "other");
    assertEquals(0, again.status(), again.err());
    assertEquals(10, names(dir.resolve("other")).size());
  }

  @Test
  void helpAndVersionThroughTheLauncher(@TempDir Path dir) throws Exception {
    for (String command : new String[] {"process", "spectrum", "play", "demo"}) {
      Run r = run(dir, command, "--help");
      assertEquals(0, r.status(), command);
      assertTrue(r.out().startsWith("Usage: hopwarbler " + command), r.out());
    }
    Run version = run(dir, "--version");
    assertEquals(0, version.status());
    assertTrue(version.out().startsWith("hopwarbler "), version.out());
  }
}
