package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.cli.LauncherRuns.names;
import static quenlab.hopwarbler.support.Sounds.tones;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.Channels;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quenlab.hopwarbler.cli.LauncherRuns.Run;

/** What process writes, run in this JVM: headers, peaks, what OUT was, names, FLAC, batches. */
class OutputFilesTest {
  private static Run run(String... args) {
    return LauncherRuns.inThisJvm(args);
  }

  private static Path tone(Path dir, String name, int frames, int channels) {
    Path file = dir.resolve(name);
    double[] hz = channels == 2 ? new double[] {440, 660} : new double[] {440};
    double[] level = channels == 2 ? new double[] {0.3, 0.2} : new double[] {0.3};
    TestFiles.write(file, tones(frames, hz, level, TestFiles.RATE), channels);
    return file;
  }

  private static double peakDb(short[] samples) {
    int peak = 0;
    for (short s : samples) peak = Math.max(peak, Math.abs(s));
    return 20 * Math.log10(peak / 32768.0);
  }

  /** The summary's peak is that of the file written, at slow speeds too. */
  @Test
  void theSummaryPeakIsThatOfTheFile(@TempDir Path dir) {
    Path in = tone(dir, "in.wav", TestFiles.RATE / 2, 2);
    Pattern peak = Pattern.compile(", peak (-?\\d+\\.\\d) dBFS,");
    for (String speed : new String[] {"0.1", "0.5", "2"}) {
      Path out = dir.resolve("out-" + speed + ".wav");
      Run r = run("process", in.toString(), out.toString(), "--speed", speed, "--quality", "fast");
      assertEquals(0, r.status(), r.err());
      Matcher m = peak.matcher(r.out());
      assertTrue(m.find(), r.out());
      double file = peakDb(TestFiles.read(out).samples());
      assertEquals(file, Double.parseDouble(m.group(1)), 0.051, "speed " + speed + ": " + r.out());
    }
  }

  // The chunks of a RIFF or RF64 file: id and body, with the data chunk's body as the file holds.
  private static List<Object[]> chunks(byte[] file) {
    ByteBuffer b = ByteBuffer.wrap(file).order(ByteOrder.LITTLE_ENDIAN);
    b.position(12);
    List<Object[]> chunks = new ArrayList<>();
    while (b.remaining() >= 8) {
      byte[] id = new byte[4];
      b.get(id);
      long size = b.getInt() & 0xffffffffL;
      int length = (int) Math.min(size, b.remaining());
      byte[] body = new byte[length];
      b.get(body);
      chunks.add(new Object[] {new String(id, StandardCharsets.US_ASCII), size, body});
    }
    return chunks;
  }

  private static byte[] ramp(int frames) {
    byte[] bytes = new byte[2 * frames];
    for (int i = 0; i < frames; i++) {
      bytes[2 * i] = (byte) (i * 7);
      bytes[2 * i + 1] = (byte) (i >> 3);
    }
    return bytes;
  }

  private static byte[] writeWav(Path file, long announced, int frames, long limit)
      throws IOException {
    PcmWriter w = new PcmWriter(PcmWriter.Container.WAV, 8000, 1, announced, limit);
    try (FileChannel c = FileChannel.open(file, StandardOpenOption.CREATE,
             StandardOpenOption.TRUNCATE_EXISTING, StandardOpenOption.WRITE)) {
      w.start(c);
      byte[] data = ramp(frames);
      w.write(data, data.length);
      w.finish();
    }
    return Files.readAllBytes(file);
  }

  /**
   * Past the size limit a WAV becomes RF64 with the true sizes in its ds64 chunk; below it, a
   * plain WAV that Java Sound reads. The limit is lowered to 1000 bytes so that no test writes 4
   * GiB; an AIFF too long for its header is refused before anything is written.
   */
  @Test
  void largeWavFilesBecomeRf64(@TempDir Path dir) throws IOException {
    byte[] rf64 = writeWav(dir.resolve("big.wav"), -1, 600, 1000);
    ByteBuffer head = ByteBuffer.wrap(rf64).order(ByteOrder.LITTLE_ENDIAN);
    assertEquals("RF64", new String(rf64, 0, 4, StandardCharsets.US_ASCII));
    assertEquals(0xffffffffL, head.getInt(4) & 0xffffffffL);
    assertEquals("WAVE", new String(rf64, 8, 4, StandardCharsets.US_ASCII));
    List<Object[]> chunks = chunks(rf64);
    assertEquals(List.of("ds64", "fmt ", "data"), chunks.stream().map(c -> c[0]).toList());
    ByteBuffer ds64 = ByteBuffer.wrap((byte[]) chunks.get(0)[2]).order(ByteOrder.LITTLE_ENDIAN);
    assertEquals(28L, chunks.get(0)[1]);
    assertEquals(rf64.length - 8, ds64.getLong(0), "RIFF size");
    assertEquals(1200, ds64.getLong(8), "data size");
    assertEquals(600, ds64.getLong(16), "sample count");
    assertEquals(0xffffffffL, chunks.get(2)[1]);
    assertArrayEquals(ramp(600), (byte[]) chunks.get(2)[2]);

    // Announced on a stream that cannot be rewound, the header comes first and is RF64 too.
    Path streamed = dir.resolve("streamed.wav");
    PcmWriter w = new PcmWriter(PcmWriter.Container.WAV, 8000, 1, 600, 1000);
    try (OutputStream stream = Files.newOutputStream(streamed)) {
      w.startStream(Channels.newChannel(stream));
      w.write(ramp(600), 1200);
      w.finish();
    }
    byte[] s = Files.readAllBytes(streamed);
    assertEquals(List.of("ds64", "fmt ", "data"), chunks(s).stream().map(c -> c[0]).toList());
    assertEquals(s.length - 8,
        ByteBuffer.wrap((byte[]) chunks(s).get(0)[2]).order(ByteOrder.LITTLE_ENDIAN).getLong(0));

    byte[] plain = writeWav(dir.resolve("small.wav"), -1, 400, 1000);
    assertEquals("RIFF", new String(plain, 0, 4, StandardCharsets.US_ASCII));
    assertEquals(plain.length - 8, ByteBuffer.wrap(plain).order(ByteOrder.LITTLE_ENDIAN).getInt(4));
    assertEquals(400, TestFiles.read(dir.resolve("small.wav")).frames());
    // Announced short, it has no room for the RF64 header: refused rather than mislabelled.
    assertThrows(IOException.class, () -> writeWav(dir.resolve("lied.wav"), 100, 600, 1000));
    IOException aiff = assertThrows(
        IOException.class, () -> PcmWriter.checkFits(PcmWriter.Container.AIFF, 2, 1L << 29));
    assertTrue(aiff.getMessage().contains("do not fit an AIFF file"), aiff.getMessage());
  }

  /** A replaced OUT keeps its mode, a symbolic link stays a link, hard links stay joined. */
  @Test
  void replacingOutKeepsWhatItWas(@TempDir Path dir) throws IOException {
    String in = tone(dir, "in.wav", 8000, 1).toString();
    Path real = tone(dir, "real.wav", 100, 1);
    Files.setPosixFilePermissions(real, PosixFilePermissions.fromString("rw-------"));
    Path link = Files.createSymbolicLink(dir.resolve("link.wav"), Path.of("real.wav"));
    Path hard = Files.createLink(dir.resolve("hard.wav"), real);
    Path dangling = Files.createSymbolicLink(dir.resolve("new-link.wav"), Path.of("new.wav"));
    // Each at its own speed, so that each run's frames show where it landed.
    Path[] outs = {real, link, hard, dangling};
    String[] speeds = {"2", "1.25", "0.8", "0.5"};
    for (int i = 0; i < outs.length; i++) {
      Run r = run("process", in, outs[i].toString(), "--speed", speeds[i], "-q");
      assertEquals(0, r.status(), outs[i] + ": " + r.err());
      long frames = Math.round(8000 / Double.parseDouble(speeds[i]));
      Path landed = outs[i] == dangling ? dir.resolve("new.wav") : real;
      assertEquals(frames, TestFiles.read(landed).frames(), outs[i].toString());
      assertEquals("rw-------", PosixFilePermissions.toString(Files.getPosixFilePermissions(real)));
      assertTrue(Files.isSameFile(real, hard), outs[i] + " split the hard link");
      assertTrue(Files.isSymbolicLink(link));
    }
    assertTrue(Files.isSymbolicLink(dangling));
    assertEquals(List.of("hard.wav", "in.wav", "link.wav", "new-link.wav", "new.wav", "real.wav"),
        names(dir));
  }

  /** Names of 254 and 255 bytes (the most a file name may have) work for OUT and the picture. */
  @Test
  void longestNamesWork(@TempDir Path dir) {
    String in = tone(dir, "in.wav", 4000, 1).toString();
    for (int length : new int[] {254, 255}) {
      Path out = dir.resolve("o".repeat(length - 4) + ".wav");
      Path png = dir.resolve("p".repeat(length - 4) + ".png");
      Run r = run("process", in, out.toString(), "--spectrum", png.toString(), "-q");
      assertEquals(0, r.status(), r.err());
      assertTrue(Files.isRegularFile(out) && Files.isRegularFile(png));
    }
    assertEquals(5, dir.toFile().list().length, "no temporary left");
  }

  private static Path wav24(Path dir, String name, int frames) throws IOException {
    byte[] bytes = new byte[3 * 2 * frames];
    for (int i = 0; i < 2 * frames; i++) {
      int v = (int) Math.round(0.25 * 8388607 * Math.sin(2 * Math.PI * 440 * (i / 2) / 44100.0));
      bytes[3 * i] = (byte) v;
      bytes[3 * i + 1] = (byte) (v >> 8);
      bytes[3 * i + 2] = (byte) (v >> 16);
    }
    Path file = dir.resolve(name);
    AudioFormat format = new AudioFormat(44100, 24, 2, true, false);
    try (AudioInputStream s =
             new AudioInputStream(new ByteArrayInputStream(bytes), format, frames)) {
      AudioSystem.write(s, AudioFileFormat.Type.WAVE, file.toFile());
    }
    return file;
  }

  /**
   * FLAC through the flac program holds the same samples as the WAV of the same run; 24-bit input
   * is dithered the same way every run, and the summary says so. Without the program the error
   * names the package to install.
   */
  @Test
  void flacOutputAndDitheredInput(@TempDir Path dir) throws Exception {
    String in = wav24(dir, "in24.wav", 11025).toString();
    Path wav = dir.resolve("out.wav");
    Path flac = dir.resolve("out.flac");
    for (Path out : new Path[] {wav, flac}) {
      Run r = run("process", in, out.toString(), "--speed", "0.8");
      assertEquals(0, r.status(), r.err());
      assertTrue(
          r.out().endsWith(", 24-bit input dithered to 16 bits" + System.lineSeparator()), r.out());
    }
    Process decode = new ProcessBuilder("flac", "-d", "-s", "-c", "--force-raw-format",
        "--endian=little", "--sign=signed", flac.toString())
                         .redirectError(ProcessBuilder.Redirect.DISCARD)
                         .start();
    byte[] decoded = decode.getInputStream().readAllBytes();
    assertEquals(0, decode.waitFor());
    short[] samples = TestFiles.read(wav).samples();
    short[] fromFlac = new short[decoded.length / 2];
    ByteBuffer.wrap(decoded).order(ByteOrder.LITTLE_ENDIAN).asShortBuffer().get(fromFlac);
    assertEquals(Math.round(11025 / 0.8), samples.length / 2);
    assertArrayEquals(samples, fromFlac);

    CliException missing =
        assertThrows(CliException.class, () -> FlacEncoder.find(dir.toString(), flac));
    assertEquals(CliException.IO, missing.exitCode());
    assertTrue(missing.getMessage().contains("Debian package flac"), missing.getMessage());
  }

  /**
   * TPDF dither: the rounding error averages out to nothing at any level between two steps, and
   * its power is a quarter of a step squared (a twelfth from rounding, a sixth from the noise),
   * whatever the signal; a 24-bit stream decodes to its value in 16-bit steps.
   */
  @Test
  void ditherIsUnbiasedNoiseOfAFixedPower() throws IOException {
    int n = 200_000;
    for (double level : new double[] {0, 0.25, 0.5, -0.7, 100.3}) {
      Dither.Noise noise = new Dither.Noise();
      double sum = 0;
      double squares = 0;
      for (int i = 0; i < n; i++) {
        double error = Dither.round(level, noise.next()) - level;
        sum += error;
        squares += error * error;
      }
      String what = String.format(Locale.ROOT, "level %.2f", level);
      assertEquals(0, sum / n, 0.005, what);
      assertEquals(0.25, squares / n, 0.005, what);
    }
    byte[] constant = new byte[3 * 4096];
    for (int i = 0; i < constant.length; i += 3) {
      constant[i] = (byte) 0x80; // 0x000180: one and a half 16-bit steps
      constant[i + 1] = 0x01;
    }
    AudioFormat format = new AudioFormat(44100, 24, 1, true, false);
    try (AudioInputStream reduced = Dither.reduce(
             new AudioInputStream(new ByteArrayInputStream(constant), format, 4096))) {
      assertEquals(16, reduced.getFormat().getSampleSizeInBits());
      byte[] out = reduced.readAllBytes();
      assertEquals(2 * 4096, out.length);
      double sum = 0;
      for (int i = 0; i < out.length; i += 2) sum += (short) ((out[i] & 0xff) | (out[i + 1] << 8));
      assertEquals(1.5, sum / 4096, 0.05);
    }
  }

  /**
   * Several inputs into --out-dir: a file that cannot be read is reported in one line, the others
   * are written with a summary line each, and the exit status is 1.
   */
  @Test
  void severalFilesIntoAFolder(@TempDir Path dir) throws IOException {
    tone(dir, "a.wav", 8000, 2);
    Files.writeString(dir.resolve("notes.wav"), "not audio\n".repeat(50));
    Path b = dir.resolve("b.aiff");
    TestFiles.write(b, tones(4000, new double[] {440}, new double[] {0.3}, TestFiles.RATE), 1,
        AudioFileFormat.Type.AIFF);
    Path out = Files.createDirectory(dir.resolve("out"));
    String[] inputs = {"a.wav", "notes.wav", "b.aiff"};
    List<String> args = new ArrayList<>(List.of("process"));
    for (String name : inputs) args.add(dir.resolve(name).toString());
    args.addAll(List.of("--out-dir", out.toString(), "--speed", "0.8"));
    Run r = run(args.toArray(new String[0]));
    assertEquals(1, r.status(), r.err());
    assertEquals(List.of("a.wav", "b.aiff"), names(out));
    assertEquals(10000, TestFiles.read(out.resolve("a.wav")).frames());
    assertEquals(5000, TestFiles.read(out.resolve("b.aiff")).frames());
    List<String> lines = r.out().lines().toList();
    assertEquals(2, lines.size(), r.out());
    assertTrue(lines.get(0).startsWith(dir.resolve("a.wav") + " 0:00.181 -> "), lines.get(0));
    assertTrue(lines.get(1).startsWith(dir.resolve("b.aiff") + " "), lines.get(1));
    assertEquals(1, r.err().lines().count(), r.err());
    assertTrue(r.err().startsWith("hopwarbler: cannot read '" + dir.resolve("notes.wav")), r.err());

    Run clash = run("process", dir.resolve("a.wav").toString(), out.resolve("a.wav").toString(),
        "--out-dir", dir.resolve("elsewhere").toString());
    assertEquals(2, clash.status(), clash.err());
    assertTrue(clash.err().contains("would both be written to"), clash.err());
    assertFalse(Files.exists(dir.resolve("elsewhere")));

    for (String jobs : new String[] {"0", "-1", "two"}) {
      Run refused = run("process", dir.resolve("a.wav").toString(), "--out-dir", out.toString(),
          "--jobs", jobs);
      assertEquals(2, refused.status(), jobs + ": " + refused.err());
      assertTrue(refused.err().contains("--jobs"), refused.err());
    }
  }

  /**
   * Files processed at once are those processed one after the other, byte for byte, with the
   * summary lines and the failure of a file that cannot be read in the order of the inputs, even
   * when a later file is done first (the first file is the longest).
   */
  @Test
  void jobsAtOnceWriteWhatOneAfterTheOtherWrites(@TempDir Path dir) throws IOException {
    List<String> names = List.of("long.wav", "a.wav", "broken.wav", "b.wav", "c.aiff", "d.wav");
    List<String> args = new ArrayList<>(List.of("process"));
    for (String name : names) {
      Path file = dir.resolve(name);
      args.add(file.toString());
      if (name.startsWith("broken")) {
        Files.writeString(file, "not audio\n".repeat(50));
      } else if (name.endsWith(".aiff")) {
        TestFiles.write(file, tones(6000, new double[] {330}, new double[] {0.3}, TestFiles.RATE),
            1, AudioFileFormat.Type.AIFF);
      } else {
        int frames =
            name.startsWith("long") ? 5 * TestFiles.RATE : 5000 + 700 * names.indexOf(name);
        tone(dir, name, frames, 2);
      }
    }
    args.addAll(List.of("--speed", "0.8", "--pitch", "2", "--out-dir"));
    Run[] runs = new Run[2];
    String[] jobs = {"1", "3"};
    for (int i = 0; i < 2; i++) {
      Path out = Files.createDirectory(dir.resolve("out" + jobs[i]));
      List<String> these = new ArrayList<>(args);
      these.addAll(List.of(out.toString(), "--jobs", jobs[i]));
      runs[i] = run(these.toArray(new String[0]));
      assertEquals(1, runs[i].status(), runs[i].err());
      assertEquals(List.of("a.wav", "b.wav", "c.aiff", "d.wav", "long.wav"), names(out));
    }
    for (String name : names(dir.resolve("out1"))) {
      assertArrayEquals(Files.readAllBytes(dir.resolve("out1").resolve(name)),
          Files.readAllBytes(dir.resolve("out3").resolve(name)), name);
    }
    List<String> lines = runs[1].out().lines().toList();
    assertEquals(5, lines.size(), runs[1].out());
    int line = 0;
    for (String name : names) {
      if (!name.startsWith("broken"))
        assertTrue(lines.get(line++).startsWith(dir.resolve(name) + " "), runs[1].out());
    }
    assertEquals(runs[0].out().replace("out1", "out3"), runs[1].out());
    assertEquals(runs[0].err(), runs[1].err());
    assertEquals(1, runs[1].err().lines().count(), runs[1].err());
    assertTrue(runs[1].err().startsWith("hopwarbler: cannot read '" + dir.resolve("broken.wav")),
        runs[1].err());
  }
}
