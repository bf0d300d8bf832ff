package quenlab.hopwarbler.cli;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.FilterInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/**
 * Formats Java has no decoder for (FLAC, Opus, M4A/AAC), decoded by a program found on the PATH
 * into a WAV stream read through a pipe: {@code flac}, {@code opusdec} (opus-tools) or {@code
 * ffmpeg}, which reads them all and stands in for the other two. The program reads the file by
 * its name, or, for an input that can be read only once, the bytes the tool feeds it. Free-format
 * MP3, which the Java decoders cannot read, goes to {@code mpg123} as raw samples.
 */
final class ExternalDecoder {
  /** A decoding program and the Debian package that installs it. */
  private record Program(String name, String debianPackage) {}

  private static final Program FLAC = new Program("flac", "flac");
  private static final Program OPUSDEC = new Program("opusdec", "opus-tools");
  private static final Program FFMPEG = new Program("ffmpeg", "ffmpeg");
  private static final Program MPG123 = new Program("mpg123", "mpg123");
  // What the tool keeps of a decoder's error output, for its one-line message.
  private static final int ERROR_BYTES = 4096;

  /**
   * How long a program may keep the tool waiting: a decoder that gives no output for this long
   * while the tool waits for it, or that closes its output and does not exit, or an encoder that
   * takes no input for this long, is stopped. HOPWARBLER_STALL_SECONDS sets it (30 by default).
   */
  static long stallSeconds() {
    try {
      String value = System.getenv("HOPWARBLER_STALL_SECONDS");
      long seconds = value == null ? 30 : Long.parseLong(value.strip());
      return seconds > 0 ? seconds : 30;
    } catch (NumberFormatException e) {
      return 30;
    }
  }

  // A small shell the programs run under, so that a program goes with the tool even when the
  // tool is killed outright (SIGKILL leaves the tool no chance to stop it): a watcher checks once
  // a second that the shell's parent is still the tool, and kills the program when it is not.
  // The shell passes on the signals the tool sends it and exits with the program's status; it
  // keeps none of the program's pipes open, so the tool sees them close as the program closes
  // them. Without /proc it runs the program directly.
  private static final String LEASH = String.join("\n",
      "[ -r /proc/$$/stat ] || exec \"$@\"",
      "tool=$PPID",
      "self=$$",
      "exec 3<&0",
      "\"$@\" <&3 3<&- &",
      "child=$!",
      "exec 3<&- </dev/null >/dev/null 2>&1",
      "(while kill -0 \"$child\"; do",
      "  read -r _ _ _ parent _ </proc/$self/stat || parent=",
      "  [ \"$parent\" = \"$tool\" ] || { kill -KILL \"$child\"; exit 0; }",
      "  sleep 1",
      "done) &",
      "trap 'kill -TERM \"$child\"' TERM INT HUP",
      "wait \"$child\"",
      "status=$?",
      "while kill -0 \"$child\"; do",
      "  wait \"$child\"",
      "  status=$?",
      "done",
      "exit $status");

  /** {@code command} run under the shell that ends it with the tool (see LEASH). */
  static List<String> leashed(List<String> command) {
    List<String> wrapped = new ArrayList<>(List.of("/bin/sh", "-c", LEASH, "sh"));
    wrapped.addAll(command);
    return wrapped;
  }

  /** Stops a program and whatever it started. */
  static void stop(Process process) {
    process.descendants().forEach(ProcessHandle::destroyForcibly);
    process.destroyForcibly();
  }

  private ExternalDecoder() {}

  /**
   * Starts the decoder for {@code kind} on {@code file} (a regular file, read by the program
   * itself) or on {@code feed} (everything else: the rest of the input, pumped into the program)
   * and returns the WAV it writes. Closing the stream ends the program.
   *
   * @param name the input's name, for messages
   * @param bitsPerSample the input's sample width when its header gives one, else 16
   * @param rate the sample rate to decode Opus at (the rate of the source it was made from), or 0
   */
  static Output start(Sniffer.Kind kind, Path file, InputStream feed, String name,
      int bitsPerSample, int rate) throws IOException {
    Program preferred = kind == Sniffer.Kind.OGG_OPUS                ? OPUSDEC
        : kind == Sniffer.Kind.FLAC || kind == Sniffer.Kind.OGG_FLAC ? FLAC
                                                                     : FFMPEG;
    Path program = onPath(preferred.name());
    Program used = preferred;
    if (program == null && preferred != FFMPEG) {
      program = onPath(FFMPEG.name());
      used = FFMPEG;
    }
    if (program == null) {
      throw CliException.io("cannot read '" + name + "': decoding " + kind.label + " needs the"
          + " program " + preferred.name() + (preferred != FFMPEG ? " (or ffmpeg)" : "")
          + ", which is not on the PATH; install the Debian package " + preferred.debianPackage()
          + " (apt-get install " + preferred.debianPackage() + ")");
    }
    // Absolute names never start with '-', so no program takes one for an option.
    String input = file != null ? file.toAbsolutePath().toString() : "-";
    List<String> command = new ArrayList<>();
    command.add(program.toString());
    if (used == FLAC) {
      // Through errors: a file cut short gives what it holds (its header states the length, so
      // the tool warns of the rest).
      command.addAll(List.of("--decode", "--stdout", "--silent", "--decode-through-errors"));
      if (kind == Sniffer.Kind.OGG_FLAC)
        command.add("--ogg");
      command.add(input);
    } else if (used == OPUSDEC) {
      command.addAll(List.of("--quiet", "--force-wav"));
      if (rate > 0)
        command.addAll(List.of("--rate", Integer.toString(rate)));
      command.addAll(List.of(input, "-"));
    } else {
      // The first audio stream as 16-bit WAV (24-bit for a wider lossless source).
      command.addAll(List.of("-nostdin", "-hide_banner", "-loglevel", "error", "-i",
          file != null ? "file:" + input : "pipe:0", "-map", "0:a:0", "-f", "wav", "-acodec",
          bitsPerSample > 16 ? "pcm_s24le" : "pcm_s16le"));
      if (rate > 0)
        command.addAll(List.of("-ar", Integer.toString(rate)));
      command.add("-");
    }
    return launch(command, file == null ? feed : null, name, used.name());
  }

  /** Whether mpg123, which decodes free-format MP3, is on the PATH. */
  static boolean hasMpg123() {
    return onPath(MPG123.name()) != null;
  }

  /**
   * Starts mpg123 on a free-format MP3 fed through a pipe (see {@link #hasMpg123}). It trims the
   * encoder delay and padding a LAME tag states, and writes raw 16-bit samples in the machine's
   * byte order at {@code rate} with {@code channels} throughout, so that a later part of another
   * rate or channel count is converted, not dropped.
   */
  static Output startMpg123(InputStream feed, String name, int rate, int channels)
      throws IOException {
    Path program = onPath(MPG123.name());
    if (program == null)
      throw new IOException("mpg123 is not on the PATH");
    List<String> command = new ArrayList<>(List.of(program.toString(), "-q", "-s", "-e", "s16",
        "-r", Integer.toString(rate), channels == 1 ? "-m" : "--stereo", "-"));
    return launch(command, feed, name, MPG123.name());
  }

  // Starts the command, which reads the file named in it, or `feed` when that is not null.
  private static Output launch(List<String> command, InputStream feed, String name,
      String program) {
    ProcessBuilder builder = new ProcessBuilder(leashed(command));
    builder.redirectInput(feed == null ? ProcessBuilder.Redirect.from(new File("/dev/null"))
                                       : ProcessBuilder.Redirect.PIPE);
    Process process;
    try {
      process = builder.start();
    } catch (IOException e) {
      throw CliException.io("cannot read '" + name + "': " + command.get(0)
          + " cannot be started: " + AudioFiles.describe(e));
    }
    return new Output(process, program, feed);
  }

  // The program's file on the PATH, or null.
  private static Path onPath(String program) {
    String path = System.getenv("PATH");
    if (path == null)
      return null;
    for (String folder : path.split(File.pathSeparator)) {
      if (folder.isEmpty())
        continue;
      Path candidate = Path.of(folder, program);
      if (Files.isRegularFile(candidate) && Files.isExecutable(candidate))
        return candidate;
    }
    return null;
  }

  /**
   * The program's standard output. At its end the program's exit status is checked, so that a
   * decoder that fails half-way reports its error instead of passing for a short file.
   */
  static final class Output extends FilterInputStream {
    private final Process process;
    private final String program;
    private final ByteArrayOutputStream errors = new ByteArrayOutputStream();
    private final Thread errorReader;
    private final Thread pump;
    private final long stallNanos = stallSeconds() * 1_000_000_000L;
    private volatile long waitingSince; // when the read under way began; 0 outside reads
    private volatile boolean stalled;
    private volatile boolean closed;
    // The feed's side: a program that waits for a slow input is not stalled.
    private volatile boolean feeding;
    private volatile long fed;
    private boolean checked;

    /** The program's name. */
    String program() {
      return program;
    }

    Output(Process process, String program, InputStream feed) {
      super(process.getInputStream());
      this.process = process;
      this.program = program;
      TempFiles.watch(process);
      errorReader = daemon(program + " errors", this::keepErrors);
      daemon(program + " watchdog", this::watch);
      if (feed != null) {
        pump = daemon(program + " input", () -> pump(feed, process.getOutputStream()));
      } else {
        pump = null;
      }
    }

    private static Thread daemon(String name, Runnable task) {
      Thread t = new Thread(task, name);
      t.setDaemon(true);
      t.start();
      return t;
    }

    // Stops the program when a read has waited for it too long. A read that is not under way
    // (the tool busy, or playback paused) is not the program's delay, nor is the time the input
    // it is fed takes to come.
    private void watch() {
      while (!closed && process.isAlive()) {
        long now = System.nanoTime();
        long since = waitingSince;
        if (since != 0 && now - Math.max(since, feeding ? now : fed) > stallNanos) {
          stalled = true;
          stop(process);
          return;
        }
        try {
          Thread.sleep(200);
        } catch (InterruptedException e) {
          return;
        }
      }
    }

    private void keepErrors() {
      byte[] buffer = new byte[1024];
      try (InputStream in = process.getErrorStream()) {
        int n;
        while ((n = in.read(buffer)) >= 0) {
          synchronized (errors) {
            if (errors.size() < ERROR_BYTES)
              errors.write(buffer, 0, Math.min(n, ERROR_BYTES - errors.size()));
          }
        }
      } catch (IOException e) {
        // The program went away; its status tells the rest.
      }
    }

    // Copies the input into the program until either ends; a program that stops reading early
    // (it failed, or the tool closed it) ends the copy with a broken pipe.
    private void pump(InputStream feed, OutputStream target) {
      byte[] buffer = new byte[1 << 16];
      try (OutputStream out = target) {
        while (true) {
          feeding = true;
          int n;
          try {
            n = feed.read(buffer);
          } finally {
            feeding = false;
            fed = System.nanoTime();
          }
          if (n < 0)
            break;
          out.write(buffer, 0, n);
        }
      } catch (IOException e) {
        // Reported through the program's status or the tool's own read.
      }
    }

    @Override
    public int read() throws IOException {
      byte[] one = new byte[1];
      return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      int n;
      waitingSince = System.nanoTime() | 1;
      try {
        n = super.read(b, off, len);
      } catch (IOException e) {
        if (stalled)
          throw stalledFailure();
        throw e;
      } finally {
        waitingSince = 0;
      }
      if (stalled)
        throw stalledFailure();
      if (n < 0)
        checkStatus();
      return n;
    }

    private IOException stalledFailure() {
      return new IOException(program + " gave no output for " + stallSeconds()
          + " seconds and was stopped" + lastError());
    }

    private void checkStatus() throws IOException {
      if (checked)
        return;
      checked = true;
      int status;
      try {
        if (!process.waitFor(stallSeconds(), java.util.concurrent.TimeUnit.SECONDS)) {
          stop(process);
          throw new IOException(
              program + " ended its output but did not exit, and was stopped" + lastError());
        }
        status = process.exitValue();
        errorReader.join(1000);
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        throw new IOException(program + " was interrupted");
      }
      if (status != 0)
        throw new IOException(program + " failed (exit status " + status + ")" + lastError());
    }

    /**
     * Why the program gave no usable output: waits for it to end (a few seconds at most) and
     * names its status and its last error line.
     */
    String failure() {
      try {
        if (!process.waitFor(5, java.util.concurrent.TimeUnit.SECONDS)) {
          stop(process);
          return program + " gave no WAV output" + lastError();
        }
        errorReader.join(1000);
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        return program + " was interrupted";
      }
      int status = process.exitValue();
      return program
          + (status != 0 ? " failed (exit status " + status + ")" : " gave no WAV output")
          + lastError();
    }

    /** The last line the program wrote to its error output, after a colon, or "". */
    String lastError() {
      String text;
      synchronized (errors) {
        text = errors.toString(StandardCharsets.UTF_8).strip();
      }
      if (text.isEmpty())
        return "";
      // ffmpeg's advice on the tool's own -map option, for a file without sound.
      if (text.contains("matches no streams"))
        return ": the file holds no audio stream";
      String[] lines = text.split("\\R");
      String last = plain(lines[lines.length - 1]);
      return last.isEmpty() ? "" : ": " + last;
    }

    @Override
    public void close() throws IOException {
      closed = true;
      process.destroy();
      try {
        super.close();
      } finally {
        process.getOutputStream().close();
        try {
          if (!process.waitFor(5, java.util.concurrent.TimeUnit.SECONDS))
            stop(process);
          if (pump != null)
            pump.join(1000);
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        } finally {
          TempFiles.unwatch(process);
        }
      }
    }
  }

  /**
   * A line a program printed, fit for the tool's own message: escape sequences and other control
   * characters out, and the "file:" prefix and folder the tool gave the program before the
   * file's name.
   */
  static String plain(String line) {
    String text = line.replaceAll("\u001b\\[[0-9;?]*[ -/]*[@-~]", "")
                      .replaceAll("\u001b\\][^\u0007\u001b]*(\u0007|\u001b\\\\)?", "")
                      .replaceAll("\\p{Cntrl}", "");
    // ffmpeg names its inputs as the tool gave them: "file:/absolute/path: reason".
    text = text.replaceAll("^file:[^:]*: ", "");
    return text.strip();
  }
}
