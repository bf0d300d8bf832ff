package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.cli.LauncherRuns.names;
import static quenlab.hopwarbler.cli.LauncherRuns.run;
import static quenlab.hopwarbler.support.Spectra.amplitudeAt;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.function.DoubleFunction;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quenlab.hopwarbler.cli.LauncherRuns.Run;

/**
 * Broken and unusual input files through the launcher: each gives a one-line error with exit
 * status 1 (for {@code process} and {@code spectrum} alike) or a correct conversion, never a stack
 * trace and never an output file left behind by a failure. The files are written here byte by
 * byte, headers included, so that they can be broken in exactly one place. The cases LauncherTest
 * covers (a missing file, a folder, a text file without a .wav name, six channels) are not
 * repeated.
 */
class BadInputsTest {
  private static final int RATE = 44100;
  private static final int FRAMES = RATE / 4;
  private static final double HZ = 440;
  private static final double AMPLITUDE = 0.5;
  /** The GUID of the PCM and IEEE-float subformats in WAVE_FORMAT_EXTENSIBLE, after its tag. */
  private static final byte[] GUID_TAIL = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, (byte) 0x80, 0x00,
      0x00, (byte) 0xaa, 0x00, 0x38, (byte) 0x9b, 0x71};

  private static double tone(int frame) {
    return AMPLITUDE * Math.sin(2 * Math.PI * HZ * frame / RATE);
  }

  /** The samples of a mono tone, or of a stereo one with the right channel inverted. */
  private static byte[] samples(int frames, int channels, int bytes, DoubleFunction<Long> encode) {
    ByteBuffer b = ByteBuffer.allocate(frames * channels * bytes).order(ByteOrder.LITTLE_ENDIAN);
    for (int i = 0; i < frames; i++) {
      for (int c = 0; c < channels; c++) {
        long v = encode.apply(c == 0 ? tone(i) : -tone(i));
        for (int k = 0; k < bytes; k++) {
          b.put((byte) (v >> (8 * k)));
        }
      }
    }
    return b.array();
  }

  /** A RIFF WAVE file: a fmt chunk with the given fields (and extension), then the data chunk. */
  private static byte[] wave(int tag, int channels, int rate, int bits, int blockAlign,
      byte[] extension, int dataClaim, byte[] data) {
    ByteBuffer fmt = ByteBuffer.allocate(16 + extension.length).order(ByteOrder.LITTLE_ENDIAN);
    fmt.putShort((short) tag).putShort((short) channels).putInt(rate).putInt(rate * blockAlign);
    fmt.putShort((short) blockAlign).putShort((short) bits).put(extension);
    ByteArrayOutputStream body = new ByteArrayOutputStream();
    body.writeBytes("WAVE".getBytes(StandardCharsets.US_ASCII));
    chunk(body, "fmt ", fmt.array().length, fmt.array());
    chunk(body, "data", dataClaim, data);
    ByteArrayOutputStream file = new ByteArrayOutputStream();
    chunk(file, "RIFF", body.size(), body.toByteArray());
    return file.toByteArray();
  }

  private static void chunk(ByteArrayOutputStream out, String id, int claimedLength, byte[] body) {
    out.writeBytes(id.getBytes(StandardCharsets.US_ASCII));
    out.writeBytes(
        ByteBuffer.allocate(4).order(ByteOrder.LITTLE_ENDIAN).putInt(claimedLength).array());
    out.writeBytes(body);
  }

  private static byte[] pcm(int channels, int bits, byte[] data) {
    int align = channels * bits / 8;
    return wave(1, channels, RATE, bits, align, new byte[0], data.length, data);
  }

  private static byte[] extensible(int channels, int bits, int subformat, byte[] data) {
    ByteBuffer ext = ByteBuffer.allocate(24).order(ByteOrder.LITTLE_ENDIAN);
    ext.putShort((short) 22).putShort((short) bits).putInt(channels == 2 ? 3 : (1 << channels) - 1);
    ext.putShort((short) subformat).put(GUID_TAIL);
    return wave(0xfffe, channels, RATE, bits, channels * bits / 8, ext.array(), data.length, data);
  }

  private static long sixteen(double v) {
    return Math.round(v * 32767);
  }

  /** What the tool makes of a 16-bit file: the reference the other sample formats must match. */
  private static final byte[] REFERENCE_16 =
      pcm(2, 16, samples(FRAMES, 2, 2, BadInputsTest::sixteen));

  /**
   * Files the tool must refuse, for both commands that read a file: the file's name, its bytes,
   * and the reason the one-line error must give.
   */
  private record Refused(String name, byte[] bytes, String reason) {}

  private static List<Refused> refused() {
    byte[] data = samples(FRAMES, 2, 2, BadInputsTest::sixteen);
    byte[] twoGigaFmt = REFERENCE_16.clone();
    ByteBuffer.wrap(twoGigaFmt).order(ByteOrder.LITTLE_ENDIAN).putInt(16, 0x7ffffff0);
    String notAudio = "not a WAV, AIFF or AU file that Java Sound can decode";
    String unknown = "not a WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or M4A/AAC file";
    return List.of(new Refused("empty.wav", new byte[0], unknown),
        new Refused("header-cut.wav", Arrays.copyOf(REFERENCE_16, 30), notAudio),
        new Refused("data-header-cut.wav", Arrays.copyOf(REFERENCE_16, 40), notAudio),
        new Refused("no-channels.wav",
            wave(1, 0, RATE, 16, 0, new byte[0], 4000, Arrays.copyOf(data, 4000)), notAudio),
        new Refused("eight-channels.wav", pcm(8, 16, Arrays.copyOf(data, 16 * 1000)),
            "it has 8 channels, and only mono and stereo are supported"),
        new Refused("eight-channels-extensible.wav",
            extensible(8, 16, 1, Arrays.copyOf(data, 16 * 1000)), "it has 8 channels"),
        new Refused("float-16.wav", wave(3, 2, RATE, 16, 4, new byte[0], data.length, data),
            "its 16-bit PCM_FLOAT samples cannot be decoded"),
        new Refused(
            "adpcm.wav", wave(2, 1, RATE, 4, 256, new byte[0], 4096, new byte[4096]), notAudio),
        new Refused("text.wav",
            "RIFF? no, just a text file\n".repeat(40).getBytes(StandardCharsets.US_ASCII), unknown),
        new Refused("rate-zero.wav", wave(1, 2, 0, 16, 4, new byte[0], data.length, data),
            "its sample rate 0.0 Hz is not a whole number"),
        new Refused("fmt-chunk-too-long.wav", twoGigaFmt, "its header is damaged"),
        // A header and no samples: a failure, not an empty output.
        new Refused("no-data.wav", wave(1, 2, RATE, 16, 4, new byte[0], 4 * FRAMES, new byte[0]),
            "it holds no audio of the 0:00.250 its header declares"),
        new Refused("empty-data.wav", wave(1, 2, RATE, 16, 4, new byte[0], 0, new byte[0]),
            "it holds no audio"));
  }

  private static void assertOneLineError(Run r, String what, String reason) {
    assertEquals(1, r.status(), what + ": " + r.err());
    assertEquals(1, r.err().lines().count(), what + ": " + r.err());
    assertTrue(r.err().startsWith("hopwarbler: cannot "), what + ": " + r.err());
    assertTrue(r.err().contains(reason), what + ": " + r.err());
    assertFalse(r.err().contains("Exception") || r.err().contains("\tat "), what + ": " + r.err());
    assertEquals("", r.out(), what);
  }

  @Test
  void brokenFilesGiveOneLineAndLeaveNothing(@TempDir Path dir) throws Exception {
    List<Refused> cases = refused();
    for (Refused c : cases) {
      Files.write(dir.resolve(c.name()), c.bytes());
    }
    List<String> before = names(dir);
    for (Refused c : cases) {
      Run processed = run(dir, "process", c.name(), "out.wav", "--spectrum", "out.png");
      assertOneLineError(processed, "process " + c.name(), c.reason());
      assertTrue(processed.err().contains("'" + c.name() + "'"), processed.err());
      assertEquals(before, names(dir), "process " + c.name() + " left files behind");
      Run analysed = run(dir, "spectrum", c.name(), "--png", "out.png");
      assertOneLineError(analysed, "spectrum " + c.name(), c.reason());
      assertEquals(before, names(dir), "spectrum " + c.name() + " left files behind");
    }
  }

  /**
   * A file whose reading fails: as root no permission bits keep a file from being read, so the
   * file is a link to /proc/self/mem, whose first page is never mapped and reads fail with EIO.
   */
  @Test
  void aFileThatCannotBeReadGivesOneLine(@TempDir Path dir) throws Exception {
    Path mem = Path.of("/proc/self/mem");
    org.junit.jupiter.api.Assumptions.assumeTrue(Files.exists(mem), "no /proc/self/mem here");
    Files.createSymbolicLink(dir.resolve("unreadable.wav"), mem);
    Run r = run(dir, "process", "unreadable.wav", "out.wav");
    assertOneLineError(r, "process unreadable.wav", "cannot read 'unreadable.wav'");
    assertFalse(r.err().contains("not a WAV") || r.err().contains("header"),
        "a read error is not a damaged file: " + r.err());
    assertEquals(List.of("unreadable.wav"), names(dir));
  }

  /**
   * Without read permission: a one-line "permission denied" for an ordinary user; root reads it
   * anyway, and then it converts like any other file.
   */
  @Test
  void aFileWithoutReadPermission(@TempDir Path dir) throws Exception {
    Path locked = dir.resolve("locked.wav");
    Files.write(locked, REFERENCE_16);
    Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("---------"));
    try {
      boolean readable = Files.isReadable(locked);
      Run r = run(dir, "process", "locked.wav", "out.wav");
      if (readable) {
        assertEquals(0, r.status(), r.err());
        assertEquals(FRAMES, TestFiles.read(dir.resolve("out.wav")).frames());
      } else {
        assertOneLineError(r, "process locked.wav", "permission denied");
        assertEquals(List.of("locked.wav"), names(dir));
      }
    } finally {
      Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("rw-------"));
    }
  }

  /**
   * Files the tool must convert: name, bytes, the frames the output must have, and the frames the
   * header declares (more than it holds for a short file, which converts with a warning).
   */
  private record Converted(String name, byte[] bytes, int frames, int declared) {
    Converted(String name, byte[] bytes, int frames) {
      this(name, bytes, frames, frames);
    }
  }

  /**
   * Damaged files that still hold whole frames convert what they hold; other sample formats
   * decode to what the 16-bit file gives, to within the dither of their extra bits.
   */
  @Test
  void otherSampleFormatsAndShortFilesConvert(@TempDir Path dir) throws Exception {
    byte[] data = samples(FRAMES, 2, 2, BadInputsTest::sixteen);
    int cut = FRAMES / 3;
    List<Converted> cases = List.of(new Converted("reference.wav", REFERENCE_16, FRAMES),
        // The data ends inside a frame: the incomplete frame is dropped.
        new Converted("data-cut.wav", Arrays.copyOf(REFERENCE_16, 44 + 4 * cut + 3), cut, FRAMES),
        // The header claims ten times the data there is.
        new Converted("claims-more.wav",
            wave(1, 2, RATE, 16, 4, new byte[0], 10 * 4 * cut, Arrays.copyOf(data, 4 * cut)), cut,
            10 * cut),
        // The length a writer on a pipe leaves open: the file holds what it holds, no warning.
        new Converted("length-open.wav",
            wave(1, 2, RATE, 16, 4, new byte[0], -1, Arrays.copyOf(data, 4 * cut)), cut),
        new Converted("unsigned-8.wav",
            pcm(2, 8, samples(FRAMES, 2, 1, v -> Math.round(v * 127) + 128)), FRAMES),
        new Converted("signed-24.wav",
            pcm(2, 24, samples(FRAMES, 2, 3, v -> Math.round(v * 8388607))), FRAMES),
        new Converted("signed-32.wav",
            pcm(2, 32, samples(FRAMES, 2, 4, v -> Math.round(v * 2147483647))), FRAMES),
        new Converted("float-32.wav",
            wave(3, 2, RATE, 32, 8, new byte[0], 8 * FRAMES,
                samples(FRAMES, 2, 4, v -> (long) Float.floatToIntBits((float) v))),
            FRAMES),
        new Converted("float-64.wav",
            wave(3, 2, RATE, 64, 16, new byte[0], 16 * FRAMES,
                samples(FRAMES, 2, 8, Double::doubleToLongBits)),
            FRAMES),
        new Converted("extensible-24.wav",
            extensible(2, 24, 1, samples(FRAMES, 2, 3, v -> Math.round(v * 8388607))), FRAMES),
        new Converted("extensible-float.wav",
            extensible(
                2, 32, 3, samples(FRAMES, 2, 4, v -> (long) Float.floatToIntBits((float) v))),
            FRAMES));
    for (Converted c : cases) {
      Files.write(dir.resolve(c.name()), c.bytes());
    }
    TestFiles.Audio reference = null;
    for (Converted c : cases) {
      String out = "out-" + c.name();
      Run r = run(dir, "process", c.name(), out, "--quiet");
      assertEquals(0, r.status(), c.name() + ": " + r.err());
      if (c.declared() > c.frames()) {
        // Short input is processed with one line that says how much is missing.
        assertEquals(1, r.err().lines().count(), c.name() + ": " + r.err());
        assertTrue(r.err().startsWith("hopwarbler: warning: '" + c.name() + "' is shorter than its"
                       + " header says")
                && r.err().contains("(" + (c.declared() - c.frames()) + " frames missing)"),
            c.name() + ": " + r.err());
      } else {
        assertEquals("", r.err(), c.name());
      }
      TestFiles.Audio audio = TestFiles.read(dir.resolve(out));
      assertEquals(2, audio.channels(), c.name());
      assertEquals(RATE, audio.sampleRate(), c.name());
      assertEquals(c.frames(), audio.frames(), c.name());
      if (reference == null) {
        reference = audio;
        // At speed 1 the tool keeps the level: both channels carry the tone at its amplitude.
        for (int ch = 0; ch < 2; ch++) {
          double a = amplitudeAt(audio.channel(ch), FRAMES / 4, FRAMES, HZ, RATE);
          assertEquals(AMPLITUDE, a, 0.005, "reference channel " + ch);
        }
        continue;
      }
      // 8-bit samples are 256 steps of 16 bits apart, and 127 is not 32767 / 256; wider samples
      // are reduced with dither, noise of up to a step either way before the vocoder.
      int tolerance = c.name().contains("-8") ? 400 : 4;
      // A file that ends early also ends its stream early: the last frame's worth of output
      // before its end holds the flushed tail, not the rest of the tone.
      int compared =
          c.frames() == FRAMES ? audio.samples().length : 2 * Math.max(0, c.frames() - 2 * 2048);
      int worst = 0;
      for (int i = 0; i < compared; i++) {
        worst = Math.max(worst, Math.abs(audio.samples()[i] - reference.samples()[i]));
      }
      assertTrue(worst <= tolerance, c.name() + " is up to " + worst + " off the 16-bit file");
    }
    List<String> expected = new ArrayList<>();
    for (Converted c : cases) {
      expected.add(c.name());
      expected.add("out-" + c.name());
    }
    assertEquals(expected.stream().sorted().toList(), names(dir), "stray files");
  }
}
