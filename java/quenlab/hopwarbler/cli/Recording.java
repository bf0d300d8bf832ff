package quenlab.hopwarbler.cli;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import javax.sound.sampled.AudioFormat;

/**
 * What {@code play --record} keeps: the bytes sent to the audio output, gathered in a hidden file
 * next to the target and written as an audio file once playing ends. Until {@link #finish} the
 * target is not touched, so a failed or interrupted session leaves no partial file.
 */
final class Recording implements AutoCloseable {
  private final Path target;
  private final AudioFormat format;
  private final Path flac;
  private final Path samples;
  private final OutputStream out;
  private long bytes;

  private Recording(Path target, AudioFormat format, Path flac, Path samples) throws IOException {
    this.target = target;
    this.format = format;
    this.flac = flac;
    this.samples = samples;
    this.out = new BufferedOutputStream(Files.newOutputStream(samples));
  }

  /**
   * Starts a recording of sound in {@code format} (16-bit little-endian PCM) for {@code target},
   * whose type follows its extension; the checks of the name are the caller's.
   */
  static Recording start(Path target, AudioFormat format) {
    Path flac = AudioFiles.isFlac(target) ? FlacEncoder.find(System.getenv("PATH"), target) : null;
    Path absolute = target.toAbsolutePath();
    try {
      Path samples = TempFiles.create(
          absolute.getParent(), absolute.getFileName().toString(), "pcm", target.toString());
      try {
        return new Recording(target, format, flac, samples);
      } catch (IOException e) {
        TempFiles.delete(samples);
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
    AudioFiles.checkWritable(target);
    try {
      out.close();
      try (InputStream in = Files.newInputStream(samples);
           AudioOutput audio = AudioOutput.open(
               target, (int) format.getSampleRate(), format.getChannels(), frames(), flac)) {
        byte[] block = new byte[65536 - 65536 % format.getFrameSize()];
        int n;
        while ((n = in.readNBytes(block, 0, block.length)) > 0) audio.write(block, n);
        audio.finish();
        audio.commit();
      }
    } catch (IOException e) {
      throw CliException.io("cannot write '" + target + "': " + AudioFiles.describe(e));
    }
  }

  /** Removes the gathered samples. */
  @Override
  public void close() {
    AudioFiles.close(out);
    TempFiles.delete(samples);
  }
}
