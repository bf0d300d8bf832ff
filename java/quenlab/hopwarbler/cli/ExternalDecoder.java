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
 * its name, or, for an input that can be read only once, the bytes the tool feeds it.
 */
final class ExternalDecoder {
  /** A decoding program and the Debian package that installs it. */
  private record Program(String name, String debianPackage) {}

  private static final Program FLAC = new Program("flac", "flac");
  private static final Program OPUSDEC = new Program("opusdec", "opus-tools");
  private static final Program FFMPEG = new Program("ffmpeg", "ffmpeg");
  // What the tool keeps of a decoder's error output, for its one-line message.
  private static final int ERROR_BYTES = 4096;

  private ExternalDecoder() {}

  /**
   * Starts the decoder for {@code kind} on {@code file} (a regular file, read by the program
   * itself) or on {@code feed} (everything else: the rest of the input, pumped into the program)
   * and returns the WAV it writes. Closing the stream ends the program.
   *
   * @param name the input's name, for messages
   * @param bitsPerSample the input's sample width when its header gives one, else 16
   */
  static Output start(Sniffer.Kind kind, Path file, InputStream feed, String name,
      int bitsPerSample) throws IOException {
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
      command.addAll(List.of("--decode", "--stdout", "--silent"));
      if (kind == Sniffer.Kind.OGG_FLAC)
        command.add("--ogg");
      command.add(input);
    } else if (used == OPUSDEC) {
      command.addAll(List.of("--quiet", "--force-wav", input, "-"));
    } else {
      // The first audio stream as 16-bit WAV (24-bit for a wider lossless source).
      command.addAll(List.of("-nostdin", "-hide_banner", "-loglevel", "error", "-i",
          file != null ? "file:" + input : "pipe:0", "-map", "0:a:0", "-f", "wav", "-acodec",
          bitsPerSample > 16 ? "pcm_s24le" : "pcm_s16le", "-"));
    }
    ProcessBuilder builder = new ProcessBuilder(command);
    builder.redirectInput(file != null ? ProcessBuilder.Redirect.from(new File("/dev/null"))
                                       : ProcessBuilder.Redirect.PIPE);
    Process process;
    try {
      process = builder.start();
    } catch (IOException e) {
      throw CliException.io("cannot read '" + name + "': " + program
          + " cannot be started: " + AudioFiles.describe(e));
    }
    return new Output(process, used.name(), feed);
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
    private boolean checked;

    Output(Process process, String program, InputStream feed) {
      super(process.getInputStream());
      this.process = process;
      this.program = program;
      errorReader = daemon(program + " errors", this::keepErrors);
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
    private static void pump(InputStream feed, OutputStream target) {
      byte[] buffer = new byte[1 << 16];
      try (OutputStream out = target) {
        int n;
        while ((n = feed.read(buffer)) >= 0) out.write(buffer, 0, n);
      } catch (IOException e) {
        // Reported through the program's status or the tool's own read.
      }
    }

    @Override
    public int read() throws IOException {
      int b = super.read();
      if (b < 0)
        checkStatus();
      return b;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      int n = super.read(b, off, len);
      if (n < 0)
        checkStatus();
      return n;
    }

    private void checkStatus() throws IOException {
      if (checked)
        return;
      checked = true;
      int status;
      try {
        status = process.waitFor();
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
        if (!process.waitFor(5, java.util.concurrent.TimeUnit.SECONDS))
          return program + " gave no WAV output";
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
      String[] lines = text.split("\\R");
      return ": " + lines[lines.length - 1].strip();
    }

    @Override
    public void close() throws IOException {
      process.destroy();
      try {
        super.close();
      } finally {
        process.getOutputStream().close();
        try {
          if (!process.waitFor(5, java.util.concurrent.TimeUnit.SECONDS))
            process.destroyForcibly();
          if (pump != null)
            pump.join(1000);
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        }
      }
    }
  }
}
