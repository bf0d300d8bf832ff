package quenlab.hopwarbler.cli;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.channels.Channels;
import java.nio.channels.FileChannel;
import java.nio.channels.WritableByteChannel;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;

/**
 * Where {@code process} writes its sound, 16-bit PCM block by block: a WAV, AIFF, AU or FLAC file,
 * written under a temporary name and put in place by {@link #commit}, or a WAV file on standard
 * output ({@code -}). On standard output the header comes first, so the length must be known: when
 * the input does not say it, the file is gathered in a temporary file first and then copied out.
 * Closing without a commit removes every temporary.
 */
final class AudioOutput implements AutoCloseable {
  /** The name that stands for standard output. */
  static final String STANDARD_OUTPUT = "-";

  private final Path target;
  private final StagedFile staged;
  private final Path gathered;
  private final FileChannel file;
  private final PcmWriter writer;
  private final FlacEncoder flac;
  private long frames;
  private int peak;
  private boolean finished;

  private AudioOutput(Path target, StagedFile staged, Path gathered, FileChannel file,
      PcmWriter writer, FlacEncoder flac) {
    this.target = target;
    this.staged = staged;
    this.gathered = gathered;
    this.file = file;
    this.writer = writer;
    this.flac = flac;
  }

  static boolean isStandardOutput(Path target) {
    return target.toString().equals(STANDARD_OUTPUT);
  }

  /** How summaries and messages name a target. */
  static String name(Path target) {
    return isStandardOutput(target) ? "standard output" : target.toString();
  }

  /**
   * Opens the output for {@code target}.
   *
   * @param frames the frames that will be written, or -1 when unknown
   * @param flacProgram the flac encoder, for a .flac target
   */
  static AudioOutput open(Path target, int sampleRate, int channels, long frames, Path flacProgram)
      throws IOException {
    if (isStandardOutput(target)) {
      PcmWriter writer = new PcmWriter(PcmWriter.Container.WAV, sampleRate, channels, frames);
      if (frames >= 0) {
        writer.startStream(standardOutput());
        return new AudioOutput(target, null, null, null, writer, null);
      }
      Path folder = Path.of(System.getProperty("java.io.tmpdir"));
      Path gathered = TempFiles.create(folder, "hopwarbler-output.wav", "part", name(target));
      return startFile(target, null, gathered, writer);
    }
    StagedFile staged = StagedFile.stage(target);
    try {
      if (flacProgram != null) {
        FlacEncoder flac = new FlacEncoder(flacProgram, staged.temporary(), sampleRate, channels);
        return new AudioOutput(target, staged, null, null, null, flac);
      }
      PcmWriter.Container container = PcmWriter.of(AudioFiles.typeFor(target));
      return startFile(target, staged, staged.temporary(),
          new PcmWriter(container, sampleRate, channels, frames));
    } catch (IOException | RuntimeException e) {
      staged.close();
      throw e;
    }
  }

  private static AudioOutput startFile(
      Path target, StagedFile staged, Path temporary, PcmWriter writer) throws IOException {
    FileChannel file = null;
    try {
      file = FileChannel.open(temporary, StandardOpenOption.WRITE);
      writer.start(file);
      return new AudioOutput(target, staged, staged == null ? temporary : null, file, writer, null);
    } catch (IOException | RuntimeException e) {
      if (file != null)
        AudioFiles.close(file);
      if (staged == null)
        TempFiles.delete(temporary);
      throw e;
    }
  }

  // Standard output's descriptor, written without Java's buffering and never closed.
  private static WritableByteChannel standardOutput() {
    System.out.flush();
    return Channels.newChannel(new FileOutputStream(FileDescriptor.out));
  }

  /** Appends whole frames of little-endian 16-bit samples. */
  void write(byte[] littleEndian, int length) throws IOException {
    if (flac != null) {
      peak = PcmWriter.peak(littleEndian, length, peak);
      frames += length / (2L * flac.channels());
      flac.write(littleEndian, length);
    } else {
      writer.write(littleEndian, length);
    }
  }

  /** Completes the file (or the stream); nothing is in place before {@link #commit}. */
  void finish() throws IOException {
    if (flac != null) {
      flac.finish();
    } else {
      writer.finish();
      if (file != null)
        file.close();
      if (gathered != null) {
        try (FileChannel in = FileChannel.open(gathered, StandardOpenOption.READ)) {
          WritableByteChannel out = standardOutput();
          long size = in.size();
          for (long done = 0; done < size;) {
            long n = in.transferTo(done, size - done, out);
            if (n <= 0)
              throw new IOException("standard output takes no more");
            done += n;
          }
        }
      }
    }
    finished = true;
  }

  /** Puts a finished file in its target's place; on standard output there is nothing to do. */
  void commit() throws IOException {
    if (!finished)
      throw new IllegalStateException("commit before finish");
    if (staged != null)
      staged.commit();
  }

  /** Frames the output holds. */
  long frames() {
    return flac != null ? frames : writer.frames();
  }

  /** Frames the processor gave, which on standard output may differ from {@link #frames}. */
  long produced() {
    return flac != null ? frames : writer.produced();
  }

  /** The peak of what was written, 1.0 being full scale. */
  double peak() {
    return flac != null ? peak / 32768.0 : writer.peak();
  }

  Path target() {
    return target;
  }

  @Override
  public void close() {
    if (file != null)
      AudioFiles.close(file);
    if (flac != null)
      flac.close();
    if (staged != null)
      staged.close();
    if (gathered != null)
      TempFiles.delete(gathered);
  }
}
