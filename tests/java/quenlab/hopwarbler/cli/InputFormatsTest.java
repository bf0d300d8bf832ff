package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.cli.LauncherRuns.names;
import static quenlab.hopwarbler.cli.LauncherRuns.run;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
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
 * The tool's inputs through the launcher: every format it reads, made here by sox, lame, flac,
 * opusenc and ffmpeg, comes out at its length and starts on time; a missing decoder, a file no
 * decoder reads, standard input, named pipes and the options that depend on the input.
 */
class InputFormatsTest {
  private static final int RATE = TestFiles.RATE;
  private static final int FRAMES = RATE;
  /** Where the sound starts: 0.3 s of silence, then a noise burst, then a tone. */
  private static final int ONSET = 13230;
  private static final double THRESHOLD = 0.1 * 32768;

  private static short[] signal() {
    Random random = new Random(19);
    short[] s = new short[2 * FRAMES];
    for (int i = 0; i < FRAMES; i++) {
      for (int c = 0; c < 2; c++) {
        double v = i < ONSET       ? 0
            : i < ONSET + RATE / 5 ? 0.5 * (2 * random.nextDouble() - 1)
                                   : 0.3 * Math.sin(2 * Math.PI * (440 + 220 * c) * i / RATE);
        s[2 * i + c] = (short) Math.round(v * 32767);
      }
    }
    return s;
  }

  private static int onset(TestFiles.Audio audio) {
    short[] s = audio.samples();
    for (int i = 0; i < s.length; i++) {
      if (Math.abs(s[i]) > THRESHOLD)
        return i / audio.channels();
    }
    return -1;
  }

  private static void make(Path dir, String... command) throws Exception {
    Run r = LauncherRuns.runCommand(dir, Map.of(), null, null, List.of(command));
    assertEquals(0, r.status(), String.join(" ", command) + ": " + r.err());
  }

  /**
   * A format, the commands that make it from in.wav, and how far its decoded length may exceed the
   * source's and its start lie behind (AAC keeps its encoder's padding at the end, and ADTS does
   * not say how long its encoder's priming is).
   */
  private record Format(String name, int extraFrames, int lateFrames, String... command) {}

  @Test
  void everyFormatReadsToItsLengthAndStartsOnTime(@TempDir Path dir) throws Exception {
    short[] source = signal();
    TestFiles.write(dir.resolve("in.wav"), source, 2);
    TestFiles.write(dir.resolve("in.aiff"), source, 2, AudioFileFormat.Type.AIFF);
    TestFiles.write(dir.resolve("in.au"), source, 2, AudioFileFormat.Type.AU);
    List<Format> formats =
        List.of(new Format("in.wav", 0, 0), new Format("in.aiff", 0, 0), new Format("in.au", 0, 0),
            new Format("rf64.wav", 0, 0, "ffmpeg", "-v", "error", "-i", "in.wav", "-rf64", "always",
                "rf64.wav"),
            new Format("cbr.mp3", 0, 0, "lame", "--quiet", "-b", "128", "in.wav", "cbr.mp3"),
            new Format("vbr.mp3", 0, 0, "lame", "--quiet", "-V", "4", "in.wav", "vbr.mp3"),
            new Format("tagged.mp3", 0, 0, "lame", "--quiet", "--add-id3v2", "--tt", "A title",
                "in.wav", "tagged.mp3"),
            new Format("in.ogg", 0, 0, "sox", "in.wav", "in.ogg"),
            new Format("in.flac", 0, 0, "flac", "--silent", "-o", "in.flac", "in.wav"),
            new Format("in.opus", 0, 0, "opusenc", "--quiet", "in.wav", "in.opus"),
            new Format("in.m4a", 1024, 0, "ffmpeg", "-v", "error", "-i", "in.wav", "-c:a", "aac",
                "in.m4a"),
            new Format("in.aac", 3 * 1024, 1024, "ffmpeg", "-v", "error", "-i", "in.wav", "-c:a",
                "aac", "-f", "adts", "in.aac"),
            // The name says WAV, the content is MP3: the content decides.
            new Format("mp3-named.wav", 0, 0, "cp", "cbr.mp3", "mp3-named.wav"));
    int reference = -1;
    for (Format f : formats) {
      if (f.command().length > 0)
        make(dir, f.command());
      String out = "out-" + f.name() + ".wav";
      Run r = run(dir, "process", f.name(), out, "--quality", "fast", "--quiet");
      assertEquals(0, r.status(), f.name() + ": " + r.err());
      assertEquals("", r.err(), f.name());
      TestFiles.Audio audio = TestFiles.read(dir.resolve(out));
      assertEquals(2, audio.channels(), f.name());
      assertEquals(RATE, audio.sampleRate(), f.name());
      assertTrue(audio.frames() >= FRAMES && audio.frames() <= FRAMES + f.extraFrames(),
          f.name() + " has " + audio.frames() + " frames");
      // Compared with the WAV's output, so that only the decoding moves the start.
      int start = onset(audio);
      if (reference < 0)
        reference = start;
      assertTrue(Math.abs(start - reference - f.lateFrames()) <= 128,
          f.name() + " starts at " + start + ", the WAV at " + reference);
    }
  }

  /** Without its decoder on the PATH, a format is refused in one line that names the package. */
  @Test
  void aMissingDecoderNamesItsPackage(@TempDir Path dir) throws Exception {
    TestFiles.write(dir.resolve("in.wav"), signal(), 2);
    make(dir, "flac", "--silent", "-o", "in.flac", "in.wav");
    make(dir, "opusenc", "--quiet", "in.wav", "in.opus");
    make(dir, "ffmpeg", "-v", "error", "-i", "in.wav", "-c:a", "aac", "in.m4a");
    List<String> before = names(dir);
    String[][] cases = {{"in.flac", "apt-get install flac"},
        {"in.opus", "apt-get install opus-tools"}, {"in.m4a", "apt-get install ffmpeg"}};
    for (String[] c : cases) {
      Run r = run(dir, Map.of("PATH", dir.resolve("no-programs").toString()), null, "process", c[0],
          "out.wav");
      assertEquals(1, r.status(), c[0] + ": " + r.err());
      assertEquals(1, r.err().lines().count(), r.err());
      assertTrue(r.err().startsWith("hopwarbler: cannot read '" + c[0] + "': decoding ")
              && r.err().contains("not on the PATH") && r.err().contains(c[1]),
          r.err());
      assertEquals(before, names(dir), c[0]);
    }
  }

  /**
   * Bytes that only look like compressed audio at first (an MP3 or ADTS frame header, an Ogg page)
   * are refused, not decoded into noise.
   */
  @Test
  void bytesNoDecoderReadsAreRefused(@TempDir Path dir) throws Exception {
    Random random = new Random(5);
    byte[][] starts = {{(byte) 0xff, (byte) 0xfb, (byte) 0x90, 0x64},
        {(byte) 0xff, (byte) 0xf1, 0x50, (byte) 0x80}, "OggS".getBytes()};
    String[] names = {"noise.mp3", "noise.aac", "noise.ogg"};
    for (int i = 0; i < names.length; i++) {
      byte[] bytes = new byte[20000];
      random.nextBytes(bytes);
      System.arraycopy(starts[i], 0, bytes, 0, starts[i].length);
      Files.write(dir.resolve(names[i]), bytes);
    }
    for (String name : names) {
      Run r = run(dir, "process", name, "out.wav");
      assertEquals(1, r.status(), name + ": " + r.err());
      assertEquals("hopwarbler: cannot read '" + name
              + "': not a WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or M4A/AAC file",
          r.err().strip());
    }
    assertEquals(List.of(names).stream().sorted().toList(), names(dir));
  }

  /**
   * Standard input, /dev/stdin, a named pipe and a process substitution are read once, as a
   * stream, to their true length: a WAV whose length a pipe's writer left open, and one shorter
   * than its header, included.
   */
  @Test
  void pipesAreReadOnceToTheirTrueLength(@TempDir Path dir) throws Exception {
    short[] source = signal();
    Path wav = dir.resolve("in.wav");
    TestFiles.write(wav, source, 2);
    byte[] bytes = Files.readAllBytes(wav);
    WavHeader header = WavHeader.parse(bytes, bytes.length);
    byte[] open = bytes.clone();
    ByteBuffer.wrap(open)
        .order(ByteOrder.LITTLE_ENDIAN)
        .putInt(4, -1)
        .putInt(header.dataOffset - 4, -1);
    byte[] cut = Arrays.copyOf(bytes, header.dataOffset + 4 * (FRAMES / 2));
    make(dir, "lame", "--quiet", "in.wav", "in.mp3");
    Path fifo = dir.resolve("fifo.wav");
    make(dir, "mkfifo", fifo.toString());

    record Case(String what, byte[] input, int frames, String warning, String... args) {}
    List<Case> cases = List.of(new Case("WAV on stdin", bytes, FRAMES, null, "-"),
        new Case("WAV of open length on stdin", open, FRAMES, null, "-"),
        new Case("short WAV on stdin", cut, FRAMES / 2,
            "(" + (FRAMES - FRAMES / 2) + " frames"
                + " missing)",
            "-"),
        new Case("MP3 on stdin", Files.readAllBytes(dir.resolve("in.mp3")), FRAMES, null, "-"),
        new Case("/dev/stdin", bytes, FRAMES, null, "/dev/stdin"),
        new Case("named pipe", null, FRAMES, null, fifo.toString()));
    for (Case c : cases) {
      Thread writer = null;
      if (c.input() == null) {
        // The pipe's writer, which waits for the tool to open it.
        writer = new Thread(() -> {
          try {
            Files.write(fifo, bytes);
          } catch (java.io.IOException e) {
            // The test fails on the tool's side.
          }
        });
        writer.setDaemon(true);
        writer.start();
      }
      List<String> args = new ArrayList<>(List.of("process"));
      args.addAll(List.of(c.args()));
      args.addAll(List.of("out.wav", "--quiet"));
      Run r = run(dir, Map.of(), c.input(), args.toArray(new String[0]));
      if (writer != null)
        writer.join(TimeUnit.SECONDS.toMillis(10));
      assertEquals(0, r.status(), c.what() + ": " + r.err());
      if (c.warning() == null) {
        assertEquals("", r.err(), c.what());
      } else {
        assertTrue(r.err().startsWith("hopwarbler: warning: '-' is shorter than its header says")
                && r.err().contains(c.warning()) && r.err().lines().count() == 1,
            c.what() + ": " + r.err());
      }
      assertEquals(c.frames(), TestFiles.read(dir.resolve("out.wav")).frames(), c.what());
      byte[] written = Files.readAllBytes(dir.resolve("out.wav"));
      WavHeader out = WavHeader.parse(written, written.length);
      assertEquals(written.length - out.dataOffset, out.declaredBytes, c.what() + ": the header");
    }

    String command = "exec '" + LauncherRuns.launcher() + "' process <(cat in.wav) out.wav -q";
    Run substituted = LauncherRuns.runCommand(dir, Map.of(), null, null, List.of("bash", "-c", command));
    assertEquals(0, substituted.status(), substituted.err());
    assertEquals(FRAMES, TestFiles.read(dir.resolve("out.wav")).frames());
  }
}
