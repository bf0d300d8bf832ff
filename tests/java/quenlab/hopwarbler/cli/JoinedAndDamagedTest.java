package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.cli.LauncherRuns.run;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quenlab.hopwarbler.cli.LauncherRuns.Run;

/**
 * Files as people join, cut and tag them, made here with lame, sox and the encoders: every one is
 * read to its real end, a cut one with a one-line warning, and one that cannot be read whole is
 * refused in one line that says why.
 */
class JoinedAndDamagedTest {
  private static final int RATE = TestFiles.RATE;
  private static final int FRAMES_A = RATE; // 1 s
  private static final int FRAMES_B = RATE / 2;

  private static short[] tone(int frames, double hz) {
    short[] s = new short[2 * frames];
    for (int i = 0; i < frames; i++) {
      short v = (short) Math.round(0.3 * 32767 * Math.sin(2 * Math.PI * hz * i / RATE));
      s[2 * i] = v;
      s[2 * i + 1] = v;
    }
    return s;
  }

  private static void make(Path dir, String... command) throws Exception {
    Run r = LauncherRuns.runCommand(dir, Map.of(), null, null, List.of(command));
    assertEquals(0, r.status(), String.join(" ", command) + ": " + r.err());
  }

  private static void join(Path dir, String target, String... parts) throws Exception {
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    for (String p : parts) out.write(Files.readAllBytes(dir.resolve(p)));
    Files.write(dir.resolve(target), out.toByteArray());
  }

  // Two tones in WAV files, a.wav (1 s, 440 Hz) and b.wav (0.5 s, 660 Hz).
  private static void sources(Path dir) {
    TestFiles.write(dir.resolve("a.wav"), tone(FRAMES_A, 440), 2);
    TestFiles.write(dir.resolve("b.wav"), tone(FRAMES_B, 660), 2);
  }

  /** Processes a file that must convert; returns the output and checks standard error. */
  private static TestFiles.Audio converts(Path dir, String name, String warning) throws Exception {
    String out = "out-" + name + ".wav";
    Run r = run(dir, "process", name, out, "--quality", "fast", "--quiet");
    assertEquals(0, r.status(), name + ": " + r.err());
    if (warning == null) {
      assertEquals("", r.err(), name);
    } else {
      assertTrue(r.err().startsWith("hopwarbler: warning: '" + name + "' is shorter than its "
                     + "header says")
              && r.err().contains(warning) && r.err().lines().count() == 1,
          name + ": " + r.err());
    }
    return TestFiles.read(dir.resolve(out));
  }

  private static void refused(Path dir, String name, String reason) throws Exception {
    Run r = run(dir, "process", name, "out.wav", "--quiet");
    assertEquals(1, r.status(), name + ": " + r.err());
    assertEquals(1, r.err().lines().count(), name + ": " + r.err());
    assertTrue(r.err().startsWith("hopwarbler: ") && r.err().contains("'" + name + "'")
            && r.err().contains(reason),
        name + ": " + r.err());
    assertTrue(!Files.exists(dir.resolve("out.wav")), name + " left an output");
  }

  // No stretch of 1024 frames inside the audio is silent (a seam where files were joined).
  private static void noGap(TestFiles.Audio audio, String what) {
    double[] left = audio.channel(0);
    for (int at = 2048; at + 1024 < left.length - 2048; at += 512) {
      double peak = 0;
      for (int i = at; i < at + 1024; i++) peak = Math.max(peak, Math.abs(left[i]));
      assertTrue(peak > 0.1, what + ": silence at frame " + at);
    }
  }

  private static int xingCount(byte[] mp3) {
    for (int i = 0; i + 12 < 4096; i++) {
      String tag = new String(mp3, i, 4, StandardCharsets.ISO_8859_1);
      if (tag.equals("Xing") || tag.equals("Info"))
        return i + 8;
    }
    throw new AssertionError("no Xing header");
  }

  // An ID3v2 tag holding a title, with a footer when `footer` (as one after the audio has).
  private static byte[] id3(int version, boolean footer) {
    byte[] title = "\u0003A title".getBytes(StandardCharsets.ISO_8859_1);
    ByteBuffer frame = ByteBuffer.allocate(10 + title.length + 300);
    frame.put("TIT2".getBytes(StandardCharsets.ISO_8859_1)).putInt(title.length).putShort((short) 0)
        .put(title);
    int size = frame.capacity();
    byte[] sizeBytes = {(byte) (size >> 21 & 127), (byte) (size >> 14 & 127),
        (byte) (size >> 7 & 127), (byte) (size & 127)};
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    out.writeBytes(new byte[] {'I', 'D', '3', (byte) version, 0, (byte) (footer ? 0x10 : 0)});
    out.writeBytes(sizeBytes);
    out.writeBytes(frame.array());
    if (footer) {
      out.writeBytes(new byte[] {'3', 'D', 'I', (byte) version, 0, 0x10});
      out.writeBytes(sizeBytes);
    }
    return out.toByteArray();
  }

  /**
   * MP3: the frame count of the Xing header is a hint, never a stop; joined files come out whole
   * and without a seam; tags before or after the audio cost nothing; a file with CRCs is trimmed
   * as its LAME tag says; a file cut short warns; a change of sample rate or from stereo to mono
   * is refused in words. A free-format file is read through mpg123, trimmed, from a file and a
   * pipe, a cut one with the warning; without mpg123 it is refused with what to install.
   */
  @Test
  void mp3ReadsToItsRealEnd(@TempDir Path dir) throws Exception {
    sources(dir);
    TestFiles.write(dir.resolve("c.wav"), tone(RATE / 2, 660), 2, RATE / 2f);
    make(dir, "lame", "--quiet", "-V", "4", "a.wav", "a.mp3");
    make(dir, "lame", "--quiet", "-V", "4", "b.wav", "b.mp3");
    make(dir, "lame", "--quiet", "-V", "4", "c.wav", "c.mp3");
    make(dir, "lame", "--quiet", "-p", "-V", "4", "a.wav", "crc.mp3");
    make(dir, "lame", "--quiet", "-V", "4", "-m", "m", "a.wav", "mono.mp3");
    make(dir, "lame", "--quiet", "--freeformat", "-b", "200", "a.wav", "free.mp3");
    byte[] a = Files.readAllBytes(dir.resolve("a.mp3"));
    join(dir, "ab.mp3", "a.mp3", "b.mp3");
    join(dir, "aba.mp3", "a.mp3", "b.mp3", "a.mp3");
    join(dir, "ac.mp3", "a.mp3", "c.mp3");
    join(dir, "a-mono.mp3", "a.mp3", "mono.mp3");
    int count = xingCount(a);
    byte[] half = a.clone();
    ByteBuffer.wrap(half).putInt(count, ByteBuffer.wrap(a).getInt(count) / 2);
    Files.write(dir.resolve("half-count.mp3"), half);
    byte[] zero = a.clone();
    ByteBuffer.wrap(zero).putInt(count, 0);
    Files.write(dir.resolve("zero-count.mp3"), zero);
    ByteArrayOutputStream tagged = new ByteArrayOutputStream();
    tagged.writeBytes(a);
    tagged.writeBytes(id3(4, true));
    Files.write(dir.resolve("id3-after.mp3"), tagged.toByteArray());
    ByteArrayOutputStream twoTags = new ByteArrayOutputStream();
    twoTags.writeBytes(id3(3, false));
    twoTags.writeBytes(id3(4, false));
    twoTags.writeBytes(a);
    Files.write(dir.resolve("two-id3.mp3"), twoTags.toByteArray());
    Files.write(dir.resolve("cut.mp3"), Arrays.copyOf(a, a.length / 2));

    assertEquals(FRAMES_A + FRAMES_B, converts(dir, "ab.mp3", null).frames());
    noGap(converts(dir, "ab.mp3", null), "ab.mp3");
    TestFiles.Audio aba = converts(dir, "aba.mp3", null);
    assertEquals(2 * FRAMES_A + FRAMES_B, aba.frames());
    noGap(aba, "aba.mp3");
    for (String name : List.of("half-count.mp3", "zero-count.mp3")) {
      int frames = converts(dir, name, null).frames();
      assertTrue(frames >= FRAMES_A && frames < FRAMES_A + 1152, name + ": " + frames);
    }
    assertEquals(FRAMES_A, converts(dir, "id3-after.mp3", null).frames());
    assertEquals(FRAMES_A, converts(dir, "two-id3.mp3", null).frames());
    assertEquals(FRAMES_A, converts(dir, "crc.mp3", null).frames());
    int cut = converts(dir, "cut.mp3", "of the 0:01.000 declared").frames();
    assertTrue(cut > FRAMES_A / 3 && cut < FRAMES_A * 2 / 3, "cut.mp3: " + cut);
    refused(dir, "ac.mp3", "its sample rate changes from 44100 Hz to 22050 Hz");
    refused(dir, "a-mono.mp3", "it changes from stereo to mono");

    TestFiles.Audio free = converts(dir, "free.mp3", null);
    assertEquals(FRAMES_A, free.frames(), 1152);
    assertEquals(0.3, peak(free.channel(0), FRAMES_A / 4, FRAMES_A * 3 / 4), 0.03);
    Run piped = run(dir, Map.of(), Files.readAllBytes(dir.resolve("free.mp3")), "process", "-",
        "out-free-piped.wav", "--quiet");
    assertEquals(0, piped.status(), piped.err());
    assertEquals(free.frames(), TestFiles.read(dir.resolve("out-free-piped.wav")).frames());
    byte[] f = Files.readAllBytes(dir.resolve("free.mp3"));
    Files.write(dir.resolve("free-cut.mp3"), Arrays.copyOf(f, f.length / 2));
    int freeCut = converts(dir, "free-cut.mp3", "of the 0:01.000 declared").frames();
    assertTrue(freeCut > FRAMES_A / 3 && freeCut < FRAMES_A * 2 / 3, "free-cut.mp3: " + freeCut);
    Path empty = Files.createDirectories(dir.resolve("no-programs"));
    Run missing = run(dir, Map.of("PATH", empty.toString()), null, "process", "free.mp3",
        "out.wav", "--quiet");
    assertEquals(1, missing.status(), missing.err());
    assertTrue(missing.err().contains("'free.mp3': it is a free-format MP3")
            && missing.err().contains("apt-get install mpg123")
            && missing.err().lines().count() == 1,
        missing.err());
  }

  private static double peak(double[] samples, int from, int to) {
    double peak = 0;
    for (int i = from; i < to; i++) peak = Math.max(peak, Math.abs(samples[i]));
    return peak;
  }

  /**
   * Ogg Vorbis: a chained file (two streams one after the other) comes out whole; one cut short,
   * inside a page or between two, keeps what it holds and warns; one cut before its first sample,
   * or with more channels than two, is refused in words.
   */
  @Test
  void oggVorbisReadsEveryStreamToItsEnd(@TempDir Path dir) throws Exception {
    sources(dir);
    make(dir, "sox", "a.wav", "a.ogg");
    make(dir, "sox", "b.wav", "b.ogg");
    make(dir, "sox", "-n", "-r", "44100", "-c", "6", "six.ogg", "synth", "0.5", "sine", "440");
    join(dir, "ab.ogg", "a.ogg", "b.ogg");
    byte[] a = Files.readAllBytes(dir.resolve("a.ogg"));
    Files.write(dir.resolve("one-byte-short.ogg"), Arrays.copyOf(a, a.length - 1));
    Files.write(dir.resolve("cut-early.ogg"), Arrays.copyOf(a, a.length / 10));
    TestFiles.write(dir.resolve("long.wav"), tone(3 * RATE, 440), 2);
    make(dir, "sox", "long.wav", "long.ogg");
    byte[] pages = Files.readAllBytes(dir.resolve("long.ogg"));
    int lastPage = new String(pages, StandardCharsets.ISO_8859_1).lastIndexOf("OggS");
    Files.write(dir.resolve("no-last-page.ogg"), Arrays.copyOf(pages, lastPage));

    TestFiles.Audio ab = converts(dir, "ab.ogg", null);
    assertEquals(FRAMES_A + FRAMES_B, ab.frames());
    noGap(ab, "ab.ogg");
    int frames = converts(dir, "one-byte-short.ogg", "of the 0:01.000 declared").frames();
    assertTrue(frames >= FRAMES_A - 2048 && frames < FRAMES_A, "one-byte-short.ogg: " + frames);
    Run r = run(dir, "process", "no-last-page.ogg", "out-no-last-page.wav", "--quiet");
    assertEquals(0, r.status(), r.err());
    assertTrue(r.err().startsWith("hopwarbler: warning: 'no-last-page.ogg' is cut short: it ends"
                   + " before its last page")
            && r.err().lines().count() == 1,
        r.err());
    refused(dir, "cut-early.ogg", "it holds no audio");
    refused(dir, "six.ogg", "it has 6 channels");
  }

  /**
   * Opus, M4A with its movie header in front, and FLAC state their length; cut short, each gives
   * what it holds with the one-line warning, from a file and through a pipe. Opus comes out at
   * the same rate whichever program decodes it.
   */
  @Test
  void cutFilesKeepWhatTheyHoldAndWarn(@TempDir Path dir) throws Exception {
    TestFiles.write(dir.resolve("a.wav"), tone(2 * FRAMES_A, 440), 2);
    make(dir, "opusenc", "--quiet", "a.wav", "a.opus");
    make(dir, "ffmpeg", "-v", "error", "-i", "a.wav", "-c:a", "aac", "-movflags", "+faststart",
        "a.m4a");
    make(dir, "flac", "--silent", "--no-padding", "-o", "a.flac", "a.wav");
    for (String name : List.of("a.opus", "a.m4a", "a.flac")) {
      byte[] whole = Files.readAllBytes(dir.resolve(name));
      String cut = "cut-" + name;
      Files.write(dir.resolve(cut), Arrays.copyOf(whole, whole.length * 3 / 4));
      int frames = converts(dir, cut, "frames missing").frames();
      assertTrue(frames > FRAMES_A && frames < 2 * FRAMES_A, cut + ": " + frames);

      Run piped = run(dir, Map.of(), Arrays.copyOf(whole, whole.length * 3 / 4), "process", "-",
          "out-piped.wav", "--quiet");
      assertEquals(0, piped.status(), cut + " through a pipe: " + piped.err());
      assertTrue(piped.err().startsWith("hopwarbler: warning: '-' is shorter than its header says")
              && piped.err().lines().count() == 1,
          cut + " through a pipe: " + piped.err());
    }

    // Opus comes out at its source's rate through opusdec and through ffmpeg alike.
    Path bin = Files.createDirectories(dir.resolve("only-ffmpeg"));
    Path ffmpeg = java.util.Arrays.stream(System.getenv("PATH").split(":"))
                      .map(folder -> Path.of(folder, "ffmpeg"))
                      .filter(Files::isExecutable)
                      .findFirst()
                      .orElseThrow();
    Files.createSymbolicLink(bin.resolve("ffmpeg"), ffmpeg);
    for (Map<String, String> environment : List.of(Map.<String, String>of(),
             Map.of("PATH", bin.toString()))) {
      Run r = run(dir, environment, null, "process", "a.opus", "out.wav", "--quiet");
      assertEquals(0, r.status(), environment + ": " + r.err());
      TestFiles.Audio audio = TestFiles.read(dir.resolve("out.wav"));
      assertEquals(RATE, audio.sampleRate(), environment.toString());
      assertEquals(2 * FRAMES_A, audio.frames(), 1024, environment.toString());
    }
  }

  // A stand-in for flac on the PATH that notes its process id in flac.pid and then does what
  // FAKE says: "sleep" (never reads, never writes), "close" (closes its output, then waits),
  // "nothing" (reads everything, writes nothing, exits 0), "noisy" (fails with escape sequences
  // and a bell in its message), "badwav" (writes a WAV of a sample format Java Sound lacks).
  private static Map<String, String> fakeFlac(Path dir, String behaviour) throws Exception {
    Path bin = Files.createDirectories(dir.resolve("bin"));
    Path script = bin.resolve("flac");
    Files.writeString(script, """
        #!/bin/sh
        echo $$ > "$FAKE_DIR/flac.pid"
        case "$FAKE" in
          sleep) exec sleep 1000 ;;
          close) exec >&- ; exec sleep 1000 ;;
          nothing) cat > /dev/null ; exit 0 ;;
          noisy) printf 'a\\033[31mred\\033[0m line\\007 at the end\\n' >&2 ; exit 3 ;;
          badwav) printf 'RIFF\\044\\0\\0\\0WAVEfmt \\020\\0\\0\\0\\002\\0\\001\\0\\104\\254\\0\\0' ;
                  printf '\\0\\0\\0\\0\\004\\0\\004\\0data\\0\\0\\0\\0' ; exit 0 ;;
        esac
        """);
    script.toFile().setExecutable(true);
    return Map.of("PATH", bin + ":" + System.getenv("PATH"), "FAKE", behaviour, "FAKE_DIR",
        dir.toString(), "HOPWARBLER_STALL_SECONDS", "2");
  }

  // Whether the process whose id flac.pid holds has gone, within ten seconds.
  private static boolean fakeGone(Path dir) throws Exception {
    long pid = Long.parseLong(Files.readString(dir.resolve("flac.pid")).strip());
    for (int i = 0; i < 100; i++) {
      if (ProcessHandle.of(pid).map(h -> !h.isAlive()).orElse(true))
        return true;
      Thread.sleep(100);
    }
    return false;
  }

  /**
   * A decoder or encoder that hangs is stopped after the stall time with one line naming it (not
   * one that waits for a slow input); one that closes its output and waits too; an encoder that writes nothing leaves OUT as it was; a
   * program's message reaches the user without control characters, and a WAV it writes that cannot
   * be read is blamed on it; the program goes with the tool when the tool is stopped by a signal
   * or killed outright.
   */
  @Test
  void externalProgramsAreKeptOnALeash(@TempDir Path dir) throws Exception {
    TestFiles.write(dir.resolve("a.wav"), tone(FRAMES_A, 440), 2);
    make(dir, "flac", "--silent", "-o", "a.flac", "a.wav");
    Files.writeString(dir.resolve("old.flac"), "the user's file");
    record Case(String behaviour, String[] args, String says) {}
    List<Case> cases = List.of(
        new Case("sleep", new String[] {"a.flac", "out.wav"}, "flac gave no output for 2 seconds"),
        new Case("close", new String[] {"a.flac", "out.wav"}, "flac"),
        new Case("sleep", new String[] {"a.wav", "old.flac"}, "took no input for 2 seconds"),
        new Case("nothing", new String[] {"a.wav", "old.flac"}, "wrote no"),
        new Case("noisy", new String[] {"a.flac", "out.wav"}, "red line at the end"),
        new Case("badwav", new String[] {"a.flac", "out.wav"}, "flac gave a WAV the tool cannot"));
    for (Case c : cases) {
      String what = c.behaviour() + " " + String.join(" ", c.args());
      List<String> args = new java.util.ArrayList<>(List.of("process"));
      args.addAll(List.of(c.args()));
      args.add("--quiet");
      Run r = run(dir, fakeFlac(dir, c.behaviour()), null, args.toArray(new String[0]));
      assertEquals(1, r.status(), what + ": " + r.err());
      assertEquals(1, r.err().lines().count(), what + ": " + r.err());
      assertTrue(r.err().contains(c.says()) && r.err().contains("flac"), what + ": " + r.err());
      assertTrue(r.err().chars().noneMatch(ch -> ch < 32 && ch != '\n'), what + ": " + r.err());
      assertTrue(fakeGone(dir), what + ": flac is still running");
      assertEquals("the user's file", Files.readString(dir.resolve("old.flac")), what);
      assertTrue(!Files.exists(dir.resolve("out.wav")), what);
    }

    // A decoder that waits for a slow input is not stalled: the pipe pauses longer than the
    // stall time.
    short[] noise = new short[2 * 2 * RATE];
    java.util.Random random = new java.util.Random(3);
    for (int i = 0; i < noise.length; i++) noise[i] = (short) (random.nextGaussian() * 3000);
    TestFiles.write(dir.resolve("noise.wav"), noise, 2);
    make(dir, "flac", "--silent", "-o", "noise.flac", "noise.wav");
    assertTrue(Files.size(dir.resolve("noise.flac")) > 300000);
    String slow = "(head -c 200000 noise.flac; sleep 4; tail -c +200001 noise.flac) | '"
        + LauncherRuns.launcher() + "' process - slow.wav --quiet";
    Run paused = LauncherRuns.runCommand(dir, Map.of("HOPWARBLER_STALL_SECONDS", "2"), null, null,
        List.of("bash", "-c", slow));
    assertEquals(0, paused.status(), paused.err());
    assertEquals(2 * RATE, TestFiles.read(dir.resolve("slow.wav")).frames());

    // The tool stopped by SIGTERM, or killed by SIGKILL, while it waits for the decoder: the
    // decoder goes too.
    Map<String, String> environment = new java.util.HashMap<>(fakeFlac(dir, "sleep"));
    environment.put("HOPWARBLER_STALL_SECONDS", "100");
    for (boolean kill : new boolean[] {false, true}) {
      Files.deleteIfExists(dir.resolve("flac.pid"));
      ProcessBuilder builder =
          new ProcessBuilder(LauncherRuns.launcher().toString(), "process", "a.flac", "out.wav")
              .directory(dir.toFile())
              .redirectErrorStream(true)
              .redirectOutput(ProcessBuilder.Redirect.DISCARD);
      builder.environment().putAll(environment);
      Process tool = builder.start();
      for (int i = 0; i < 300 && !Files.exists(dir.resolve("flac.pid")); i++) Thread.sleep(100);
      Thread.sleep(500);
      if (kill)
        tool.destroyForcibly();
      else
        tool.destroy();
      assertTrue(tool.waitFor(30, java.util.concurrent.TimeUnit.SECONDS));
      assertTrue(fakeGone(dir), "flac outlived the tool " + (kill ? "killed" : "stopped"));
    }
  }

  /**
   * Failures are told in the user's words: no Java stream internals for a WAV header longer than
   * the tool reads ahead on a pipe, no advice on the tool's own ffmpeg options for a video without
   * sound.
   */
  @Test
  void failuresAreToldInPlainWords(@TempDir Path dir) throws Exception {
    make(dir, "ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=black:s=64x64:d=1", "-c:v",
        "mpeg4", "video.mp4");
    refused(dir, "video.mp4", "ffmpeg failed (exit status 1): the file holds no audio stream");

    // A RIFF header whose chunk before the format runs past 64 KiB, on standard input.
    ByteBuffer wav = ByteBuffer.allocate(12 + 8 + 100000).order(java.nio.ByteOrder.LITTLE_ENDIAN);
    wav.put("RIFF".getBytes(StandardCharsets.US_ASCII)).putInt(-1);
    wav.put("WAVE".getBytes(StandardCharsets.US_ASCII));
    wav.put("LIST".getBytes(StandardCharsets.US_ASCII)).putInt(100000);
    Run r = run(dir, Map.of(), wav.array(), "process", "-", "out.wav", "--quiet");
    assertEquals(1, r.status(), r.err());
    assertEquals("hopwarbler: cannot read '-': its header runs past the 64 KiB the tool reads"
            + " ahead in a stream; give it as a file",
        r.err().strip());
  }
}
