package quenlab.hopwarbler.cli;

import java.io.FilterInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Path;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;

/**
 * An opened input file. Its stream reports read failures as {@link ReadFailure}, so that a failure
 * while an output is being written can be told apart from a failure of the output.
 */
final class InputFile implements AutoCloseable {
  /** A failure to read the input, raised while the stream is read. */
  static final class ReadFailure extends IOException {
    private static final long serialVersionUID = 1L;

    ReadFailure(IOException cause) {
      super(cause.getMessage(), cause);
    }
  }

  final Path path;
  final AudioInputStream stream;
  final AudioFormat format;
  final int sampleRate;
  final int channels;
  /** Frames the file declares, or -1 when it does not say. */
  final long frames;

  private InputFile(Path path, AudioInputStream raw) {
    this.path = path;
    this.format = raw.getFormat();
    this.sampleRate = (int) format.getSampleRate();
    this.channels = format.getChannels();
    long length = raw.getFrameLength();
    this.frames = length < 0 ? -1 : length;
    this.stream = new AudioInputStream(new Tagging(raw), format, raw.getFrameLength());
  }

  static InputFile open(Path path) {
    return new InputFile(path, AudioFiles.openInput(path));
  }

  /** The one-line error for a failure that came from reading this input. */
  CliException readError(IOException e) {
    IOException cause = e instanceof ReadFailure && e.getCause() instanceof IOException io ? io : e;
    return CliException.io("cannot read '" + path + "': " + AudioFiles.describe(cause));
  }

  @Override
  public void close() {
    AudioFiles.close(stream);
  }

  private static final class Tagging extends FilterInputStream {
    Tagging(InputStream in) {
      super(in);
    }

    @Override
    public int read() throws IOException {
      try {
        return super.read();
      } catch (IOException e) {
        throw new ReadFailure(e);
      }
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      try {
        return super.read(b, off, len);
      } catch (IOException e) {
        throw new ReadFailure(e);
      }
    }
  }
}
