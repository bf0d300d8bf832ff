package quenlab.hopwarbler.cli;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * FLAC output through the {@code flac} program (Debian package flac): it takes the processed
 * 16-bit samples on its standard input and writes the file given, filling in the stream's length
 * and checksum at the end.
 */
final class FlacEncoder implements AutoCloseable {
  static final String PROGRAM = "flac";

  private final int channels;
  private final Process process;
  private final OutputStream samples;
  private final ByteArrayOutputStream messages = new ByteArrayOutputStream();
  private final Thread messageReader;
  private final Path file;
  private final long stallNanos = ExternalDecoder.stallSeconds() * 1_000_000_000L;
  private volatile long writingSince; // when the write under way began; 0 outside writes
  private volatile boolean stalled;
  private volatile boolean closed;

  /**
   * The flac program on {@code searchPath} (a PATH value), or a one-line error naming the package
   * that brings it.
   */
  static Path find(String searchPath, Path target) {
    if (searchPath != null) {
      for (String folder : searchPath.split(File.pathSeparator)) {
        if (folder.isEmpty())
          continue;
        Path candidate = Path.of(folder, PROGRAM);
        if (Files.isRegularFile(candidate) && Files.isExecutable(candidate))
          return candidate;
      }
    }
    throw CliException.io("cannot write '" + target + "': FLAC output needs the flac encoder,"
        + " which is not installed (Debian package flac: apt-get install flac)");
  }

  /** Starts {@code program} writing {@code file} from 16-bit little-endian samples. */
  FlacEncoder(Path program, Path file, int sampleRate, int channels) throws IOException {
    this.channels = channels;
    this.file = file;
    List<String> command = List.of(program.toString(), "--silent", "--force", "--force-raw-format",
        "--endian=little", "--sign=signed", "--channels=" + channels, "--bps=16",
        "--sample-rate=" + sampleRate, "-o", file.toString(), "-");
    process = new ProcessBuilder(ExternalDecoder.leashed(command))
                  .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                  .redirectError(ProcessBuilder.Redirect.PIPE)
                  .start();
    TempFiles.watch(process);
    samples = process.getOutputStream();
    messageReader = new Thread(this::readMessages, "flac messages");
    messageReader.setDaemon(true);
    messageReader.start();
    Thread watchdog = new Thread(this::watch, "flac watchdog");
    watchdog.setDaemon(true);
    watchdog.start();
  }

  // Stops an encoder that has taken no input for too long while the tool was writing to it.
  private void watch() {
    while (!closed && process.isAlive()) {
      long since = writingSince;
      if (since != 0 && System.nanoTime() - since > stallNanos) {
        stalled = true;
        ExternalDecoder.stop(process);
        return;
      }
      try {
        Thread.sleep(200);
      } catch (InterruptedException e) {
        return;
      }
    }
  }

  private void readMessages() {
    try (InputStream in = process.getErrorStream()) {
      in.transferTo(messages);
    } catch (IOException ignored) {
      // The encoder went away; its exit status says how.
    }
  }

  int channels() {
    return channels;
  }

  void write(byte[] littleEndian, int length) throws IOException {
    writingSince = System.nanoTime() | 1;
    try {
      samples.write(littleEndian, 0, length);
    } catch (IOException e) {
      throw failure(e);
    } finally {
      writingSince = 0;
    }
  }

  /** Ends the input and waits for the encoder to finish the file. */
  void finish() throws IOException {
    try {
      samples.close();
    } catch (IOException e) {
      throw failure(e);
    }
    IOException failed = failure(null);
    if (failed != null)
      throw failed;
    // An encoder that reports success must have written a FLAC file before it replaces anything.
    byte[] start = new byte[4];
    try (InputStream in = Files.newInputStream(file)) {
      if (in.readNBytes(start, 0, 4) < 4 || !Sniffer.ascii(start, 0, "fLaC"))
        throw new IOException("the flac encoder reported success but wrote no FLAC file");
    } catch (java.nio.file.NoSuchFileException e) {
      throw new IOException("the flac encoder reported success but wrote no file");
    }
  }

  // The encoder's own reason when it has stopped with an error; `cause` (or null) otherwise.
  private IOException failure(IOException cause) {
    int status;
    try {
      if (stalled) {
        return new IOException("the flac encoder took no input for "
            + ExternalDecoder.stallSeconds() + " seconds and was stopped");
      }
      if (!process.waitFor(Math.max(60, ExternalDecoder.stallSeconds()), TimeUnit.SECONDS)) {
        ExternalDecoder.stop(process);
        return new IOException("the flac encoder did not finish, and was stopped");
      }
      status = process.exitValue();
      messageReader.join(5000);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      return new IOException("interrupted while the flac encoder was writing");
    }
    if (status == 0)
      return cause;
    String said = messages.toString(StandardCharsets.UTF_8).strip();
    String last =
        said.isEmpty() ? "" : ExternalDecoder.plain(said.lines().reduce((a, b) -> b).orElse(""));
    return new IOException("the flac encoder failed (exit status " + status + ")"
        + (last.isEmpty() ? "" : ": " + last));
  }

  @Override
  public void close() {
    closed = true;
    AudioFiles.close(samples);
    ExternalDecoder.stop(process);
    TempFiles.unwatch(process);
  }
}
