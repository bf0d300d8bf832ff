package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.cli.LauncherRuns.launcher;
import static quenlab.hopwarbler.cli.LauncherRuns.names;
import static quenlab.hopwarbler.cli.LauncherRuns.run;
import static quenlab.hopwarbler.support.Sounds.tones;

import java.io.File;
import java.io.IOException;
import java.io.OutputStream;
import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import javax.sound.sampled.AudioFileFormat;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quenlab.hopwarbler.cli.LauncherRuns.Run;

/**
 * The launcher as a process of its own: signals in the middle of a run, WAV on standard output,
 * and a disk that fills up while the picture is written.
 */
class InterruptsAndPipesTest {
  private static Process start(Path dir, Path log, String... args) throws IOException {
    List<String> command = new ArrayList<>(List.of(launcher().toString()));
    command.addAll(Arrays.asList(args));
    return new ProcessBuilder(command)
        .directory(dir.toFile())
        .redirectErrorStream(true)
        .redirectOutput(log.toFile())
        .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
        .start();
  }

  // Waits (a minute at most) for a hidden file whose name ends in `suffix`.
  private static void awaitHidden(Path dir, String suffix) throws Exception {
    long deadline = System.nanoTime() + TimeUnit.MINUTES.toNanos(1);
    while (names(dir).stream().noneMatch(n -> n.startsWith(".") && n.endsWith(suffix))) {
      assertTrue(System.nanoTime() < deadline, "no " + suffix + " file appeared: " + names(dir));
      Thread.sleep(20);
    }
  }

  private static void signal(Process p, String name) throws Exception {
    // Through bash's own kill: the kill program is not on every machine.
    assertEquals(0,
        new ProcessBuilder("bash", "-c", "kill -s " + name + " " + p.pid())
            .inheritIO()
            .start()
            .waitFor());
  }

  // Whether this process ignores a signal, which its children then ignore too (a background job).
  private static boolean ignored(int signal) throws IOException {
    for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
      if (line.startsWith("SigIgn:"))
        return new BigInteger(line.substring(7).trim(), 16).testBit(signal - 1);
    }
    return false;
  }

  /**
   * Ctrl-C, SIGTERM and SIGHUP in the middle of a run remove its temporary and name what was not
   * written; the temporary that SIGKILL leaves is removed by the next run into the folder.
   */
  @Test
  void signalsLeaveNoTemporaries(@TempDir Path dir) throws Exception {
    TestFiles.write(dir.resolve("long.wav"),
        tones(
            60 * TestFiles.RATE, new double[] {440, 660}, new double[] {0.3, 0.3}, TestFiles.RATE),
        2);
    TestFiles.write(dir.resolve("short.wav"),
        tones(4000, new double[] {440}, new double[] {0.3}, TestFiles.RATE), 1);
    Path log = Files.createTempFile("interrupted", ".log");
    try {
      String[][] signals = {{"INT", "130"}, {"TERM", "143"}, {"HUP", "129"}};
      for (String[] s : signals) {
        if (s[0].equals("INT") && ignored(2))
          continue;
        Process p = start(dir, log, "process", "long.wav", "out.wav", "--speed", "0.5");
        awaitHidden(dir, ".part");
        signal(p, s[0]);
        assertTrue(p.waitFor(60, TimeUnit.SECONDS));
        String said = Files.readString(log, StandardCharsets.UTF_8);
        assertEquals(Integer.parseInt(s[1]), p.exitValue(), s[0] + ": " + said);
        assertEquals(List.of("long.wav", "short.wav"), names(dir), s[0]);
        assertTrue(said.contains("hopwarbler: interrupted; not written: 'out.wav'"), said);
      }
      Process killed = start(dir, log, "process", "long.wav", "out.wav", "--speed", "0.5");
      awaitHidden(dir, ".part");
      killed.destroyForcibly();
      assertTrue(killed.waitFor(60, TimeUnit.SECONDS));
      assertEquals(3, names(dir).size(), "SIGKILL leaves the temporary: " + names(dir));
      assertEquals(0, run(dir, "process", "short.wav", "other.wav").status());
      assertEquals(List.of("long.wav", "other.wav", "short.wav"), names(dir));
    } finally {
      Files.deleteIfExists(log);
    }
  }

  /** play --record stopped by a signal leaves neither its gathered samples nor the recording. */
  @Test
  void anInterruptedRecordingLeavesNothing(@TempDir Path dir) throws Exception {
    TestFiles.write(dir.resolve("in.wav"),
        tones(10 * TestFiles.RATE, new double[] {440}, new double[] {0.3}, TestFiles.RATE), 1);
    Path log = Files.createTempFile("recording", ".log");
    try {
      Process p = start(dir, log, "play", "in.wav", "--record", "take.wav");
      awaitHidden(dir, ".pcm");
      p.destroy();
      assertTrue(p.waitFor(60, TimeUnit.SECONDS));
      assertEquals(143, p.exitValue(), Files.readString(log));
      assertEquals(List.of("in.wav"), names(dir));
    } finally {
      Files.deleteIfExists(log);
    }
  }

  // The samples of a RIFF WAV file after checking that its sizes are those of the file.
  private static short[] trueWav(byte[] file) {
    ByteBuffer b = ByteBuffer.wrap(file).order(ByteOrder.LITTLE_ENDIAN);
    assertEquals("RIFF", new String(file, 0, 4, StandardCharsets.US_ASCII));
    assertEquals(file.length - 8, b.getInt(4), "RIFF size");
    int at = 12;
    while (!new String(file, at, 4, StandardCharsets.US_ASCII).equals("data"))
      at += 8 + b.getInt(at + 4);
    assertEquals(file.length - at - 8, b.getInt(at + 4), "data size");
    short[] samples = new short[(file.length - at - 8) / 2];
    b.position(at + 8);
    b.asShortBuffer().get(samples);
    return samples;
  }

  /**
   * "-" writes the WAV to standard output with a header that tells its true length, whether the
   * input says its length (an announced header) or not (gathered first); the summary goes to
   * standard error.
   */
  @Test
  void standardOutputCarriesAWavWithATrueHeader(@TempDir Path dir) throws Exception {
    short[] tone =
        tones(TestFiles.RATE, new double[] {440, 660}, new double[] {0.3, 0.2}, TestFiles.RATE);
    TestFiles.write(dir.resolve("in.wav"), tone, 2);
    // An AU file that does not say its length: the size field holds the unknown-size marker.
    Path au = dir.resolve("unsized.au");
    TestFiles.write(au, tone, 2, AudioFileFormat.Type.AU);
    byte[] auBytes = Files.readAllBytes(au);
    ByteBuffer.wrap(auBytes).putInt(8, -1);
    Files.write(au, auBytes);
    assertEquals(0, run(dir, "process", "in.wav", "file.wav", "--speed", "0.8").status());
    short[] expected = TestFiles.read(dir.resolve("file.wav")).samples();
    assertEquals(2 * Math.round(TestFiles.RATE / 0.8), expected.length);
    for (String in : new String[] {"in.wav", "unsized.au"}) {
      Path stdout = Files.createTempFile("stdout", ".wav");
      try {
        Run r = LauncherRuns.run(dir, stdout, "process", in, "-", "--speed", "0.8");
        assertEquals(0, r.status(), r.err());
        assertTrue(r.err().startsWith(in + " 0:01.000 -> standard output 0:01.250, "), r.err());
        assertArrayEquals(expected, trueWav(Files.readAllBytes(stdout)), in);
      } finally {
        Files.deleteIfExists(stdout);
      }
    }
    assertEquals(List.of("file.wav", "in.wav", "unsized.au"), names(dir));
  }

  /**
   * A disk that fills up while the picture is written: the error names the cause, and neither
   * the picture nor OUT is left. As root on a small tmpfs; otherwise through a file size limit
   * that OUT fits and the picture does not.
   */
  @Test
  void aFullDiskWhileDrawingLeavesNothing(@TempDir Path dir) throws Exception {
    Path full = Files.createDirectory(dir.resolve("full"));
    boolean mounted =
        new ProcessBuilder("mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", full.toString())
            .redirectErrorStream(true)
            .redirectOutput(ProcessBuilder.Redirect.DISCARD)
            .start()
            .waitFor()
        == 0;
    try {
      // Ten seconds of 8 kHz noise: 160 kB of WAV, a picture of over 250 kB at 20000 pixels.
      short[] noise = new short[80_000];
      Random random = new Random(7);
      for (int i = 0; i < noise.length; i++) noise[i] = (short) (random.nextGaussian() * 4000);
      TestFiles.write(dir.resolve("in.wav"), noise, 1, 8000);
      Run r;
      if (mounted) {
        try (OutputStream filler = Files.newOutputStream(full.resolve("filler"))) {
          for (int i = 0; i < 64; i++) filler.write(new byte[1024]);
        } catch (IOException e) {
          // Full.
        }
        r = run(dir, "process", "in.wav", "out.wav", "--spectrum", "full/out.png");
      } else {
        r = LauncherRuns.runCommand(dir, Map.of(), null, null,
            List.of("bash", "-c",
                "ulimit -f 200; exec \"$0\" process in.wav out.wav --spectrum out.png"
                    + " --width 20000",
                launcher().toString()));
      }
      String reason = mounted ? "No space left on device" : "File too large";
      assertEquals(1, r.status(), r.err());
      assertEquals("hopwarbler: cannot write '" + (mounted ? "full/" : "") + "out.png': " + reason
              + System.lineSeparator(),
          r.err());
      assertEquals(List.of("full", "in.wav"), names(dir));
      assertEquals(mounted ? List.of("filler") : List.of(), names(full));
    } finally {
      if (mounted)
        new ProcessBuilder("umount", full.toString()).inheritIO().start().waitFor();
    }
  }
}
