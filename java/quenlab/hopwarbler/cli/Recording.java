package quenlab.hopwarbler.cli;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;

/**
 * What {@code play --record} keeps: the bytes sent to the audio output, gathered in a hidden file
 * next to the target and written as an audio file once playing ends. Until {@link #finish} the
 * target is not touched, so a failed session leaves no partial file.
 */
final class Recording implements AutoCloseable {
  private final Path target;
  private final AudioFileFormat.Type type;
  private final AudioFormat format;
  private final Path samples;
  private final OutputStream out;
  private long bytes;

  private Recording(Path target, AudioFileFormat.Type type, AudioFormat format, Path samples)
      throws IOException {
    this.target = target;
    this.type = type;
    this.format = format;
    this.samples = samples;
    this.out = new BufferedOutputStream(Files.newOutputStream(samples));
  }

  /**
   * Starts a recording of sound in {@code format} (16-bit little-endian PCM) for {@code target},
   * whose type follows its extension; the checks of the name are the caller's.
   */
  static Recording start(Path target, AudioFileFormat.Type type, AudioFormat format) {
    Path absolute = target.toAbsolutePath();
    try {
      Path samples =
          Files.createTempFile(absolute.getParent(), "." + absolute.getFileName() + ".", ".pcm");
      try {
        return new Recording(target, type, format, samples);
      } catch (IOException e) {
        Files.deleteIfExists(samples);
        throw e;
      }
    } catch (IOException e) {
      throw CliException.io("cannot write '" + target + "': " + AudioFiles.describe(e));
    }
  }

  /** Appends {@code length} bytes of whole frames. */
  void write(byte[] data, int length) {
    try {
      out.write(data, 0, length);
      bytes += length;
    } catch (IOException e) {
      throw CliException.io("cannot write '" + target + "': " + AudioFiles.describe(e));
    }
  }

  /** Frames recorded so far. */
  long frames() {
    return bytes / format.getFrameSize();
  }

  /** Writes the target from what was recorded. */
  void finish() {
    try {
      out.close();
    } catch (IOException e) {
      throw CliException.io("cannot write '" + target + "': " + AudioFiles.describe(e));
    }
    AudioFiles.writeAtomically(target, file -> {
      try (InputStream in = Files.newInputStream(samples);
           AudioInputStream audio = new AudioInputStream(in, format, frames())) {
        AudioSystem.write(audio, type, file.toFile());
      }
    });
  }

  /** Removes the gathered samples. */
  @Override
  public void close() {
    AudioFiles.close(out);
    try {
      Files.deleteIfExists(samples);
    } catch (IOException ignored) {
      // A hidden file left behind; nothing more can be done.
    }
  }
}
