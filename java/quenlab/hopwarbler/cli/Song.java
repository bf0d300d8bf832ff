package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.nio.file.Path;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Processor;
import quenlab.hopwarbler.Resampler;

/**
 * One input of {@code play} on its way to the output: read, processed at its own rate and channels
 * by a processor of its own, then, where the output was opened for another format, folded or
 * spread to the output's channels and converted to its rate.
 */
final class Song implements Crossfader.Track, AutoCloseable {
  /** Its place in the list, from 1. */
  final int number;
  final InputFile in;
  final Processor processor;
  private final int channels; // of the output
  private final int frameBytes; // of the song
  private final AudioInputStream processed;
  private final Resampler resampler; // null when the rates agree
  private final double ratio; // song frames per output frame
  private final boolean converts;
  private byte[] bytes = new byte[0];
  private short[] samples = new short[0];
  private short[] mapped = new short[0];
  // Converted frames not yet read: pending[from .. to) in samples.
  private short[] pending = new short[0];
  private int from;
  private int to;
  private long inputFrames;
  private long fedFrames;
  private double owedFrames; // output frames owed for the input fed so far, at the speeds it had
  private long given; // frames of the output read
  private int peak; // of the song's own output, 32768 being full scale
  private boolean sourceEnded;

  private Song(int number, InputFile in, Processor processor, int rate, int channels, int block) {
    this.number = number;
    this.in = in;
    this.processor = processor;
    this.channels = channels;
    this.frameBytes = 2 * in.channels;
    this.ratio = in.sampleRate / (double) rate;
    this.converts = in.sampleRate != rate || in.channels != channels;
    this.resampler = in.sampleRate != rate ? new Resampler(channels, ratio) : null;
    // The length is left open: a slower speed chosen while playing lengthens the output.
    AudioInputStream source = Dither.applies(in.format) ? Dither.reduce(in.stream) : in.stream;
    AudioInputStream unsized =
        new AudioInputStream(source, source.getFormat(), AudioSystem.NOT_SPECIFIED);
    processed = AudioStreams.process(unsized, processor, block, (frames, output, last) -> {
      owedFrames += (frames - fedFrames) / processor.effectiveSpeed();
      fedFrames = frames;
      inputFrames = frames;
    });
  }

  /**
   * Plays {@code in} through {@code processor} into an output of {@code rate} and {@code
   * channels}, taking the input {@code block} frames at a time.
   *
   * @throws CliException if the song's rate is too far from the output's to be converted
   */
  static Song of(int number, InputFile in, Processor processor, int rate, int channels,
      int block) {
    double ratio = in.sampleRate / (double) rate;
    if (!(ratio >= Resampler.MIN_RATIO && ratio <= Resampler.MAX_RATIO)) {
      throw CliException.io("cannot play '" + in.path + "' after the first song: its "
          + in.sampleRate + " Hz is more than four times off the output's " + rate + " Hz");
    }
    return new Song(number, in, processor, rate, channels, block);
  }

  /** The input position reached, in frames of the input. */
  long inputFrames() {
    return inputFrames;
  }

  /** The peak of the song's output, 1 being full scale. */
  double peak() {
    return peak / 32768.0;
  }

  @Override
  public int read(short[] out, int frames) throws IOException {
    int n = converts ? readConverted(out, frames) : readDirect(out, frames);
    given += n;
    return n;
  }

  private int readConverted(short[] out, int frames) throws IOException {
    while (to - from < frames * channels && !sourceEnded) convertMore(frames);
    int n = Math.min(frames, (to - from) / channels);
    System.arraycopy(pending, from, out, 0, n * channels);
    from += n * channels;
    return n;
  }

  private int readDirect(short[] out, int frames) throws IOException {
    if (sourceEnded)
      return 0;
    int n = read(frames) / in.channels;
    System.arraycopy(samples, 0, out, 0, n * channels);
    if (n < frames)
      sourceEnded = true;
    return n;
  }

  // Reads up to `frames` frames of the song's output into samples; returns the samples read.
  private int read(int frames) throws IOException {
    int length = frames * frameBytes;
    if (bytes.length < length)
      bytes = new byte[length];
    int got;
    try {
      got = processed.readNBytes(bytes, 0, length);
    } catch (IOException e) {
      throw in.readError(e);
    }
    int count = got / 2;
    if (samples.length < count)
      samples = new short[count];
    for (int i = 0; i < count; i++) {
      samples[i] = (short) ((bytes[2 * i] & 0xff) | (bytes[2 * i + 1] << 8));
      peak = Math.max(peak, Math.abs(samples[i]));
    }
    return count;
  }

  // Converts about `frames` output frames' worth of the song into pending.
  private void convertMore(int frames) throws IOException {
    int want = Math.max(1, (int) Math.ceil(frames * ratio));
    int count = read(want);
    int got = count / in.channels;
    sourceEnded = got < want;
    convert(samples, got);
  }

  // Maps `frames` frames of song samples to the output's channels and rate, into pending, and
  // after the source's end drains the rate converter too.
  private void convert(short[] source, int frames) {
    if (mapped.length < frames * channels)
      mapped = new short[frames * channels];
    if (in.channels == channels) {
      System.arraycopy(source, 0, mapped, 0, frames * channels);
    } else if (channels == 2) {
      for (int f = 0; f < frames; f++) mapped[2 * f] = mapped[2 * f + 1] = source[f];
    } else {
      for (int f = 0; f < frames; f++)
        mapped[f] = (short) Math.floorDiv(source[2 * f] + source[2 * f + 1], 2);
    }
    int room = resampler != null ? Resampler.maxOutputFrames(frames, ratio)
            + Resampler.maxOutputFrames(0, ratio)
                                 : frames;
    makeRoom(room * channels);
    if (resampler == null) {
      System.arraycopy(mapped, 0, pending, to, frames * channels);
      to += frames * channels;
      return;
    }
    if (frames > 0)
      to += channels * resampler.process(mapped, 0, frames, pending, to);
    if (sourceEnded)
      to += channels * resampler.finish(pending, to);
  }

  private void makeRoom(int samples) {
    if (from > 0) {
      System.arraycopy(pending, from, pending, 0, to - from);
      to -= from;
      from = 0;
    }
    if (pending.length < to + samples) {
      short[] larger = new short[Math.max(to + samples, 2 * pending.length)];
      System.arraycopy(pending, 0, larger, 0, to);
      pending = larger;
    }
  }

  /**
   * Output frames still to come: of the whole length, where each input frame counts at the speed
   * it was fed with and the rest at the current one (the total the processor keeps to), what was
   * not read yet.
   */
  @Override
  public long remainingFrames() {
    // An MP3's stated length plans the crossfade; the file is still read to its real end.
    if (in.lengthHint < 0)
      return -1;
    if (sourceEnded)
      return (to - from) / channels;
    // The rate converter gives round(frames / ratio) frames for a whole stream.
    return Math.max(0, lengthFrames() - given);
  }

  @Override
  public long lengthFrames() {
    return in.lengthHint < 0 ? -1 : Math.round(totalFrames() / ratio);
  }

  // The song's whole output at the speeds it had and has, in its own frames.
  private long totalFrames() {
    double speed = processor.effectiveSpeed();
    return Math.round(owedFrames + Math.max(0, in.lengthHint - fedFrames) / speed);
  }

  @Override
  public short[] tail() {
    short[] flushed = processor.flush();
    sourceEnded = true;
    if (!converts)
      return flushed;
    convert(flushed, flushed.length / in.channels);
    short[] rest = new short[to - from];
    System.arraycopy(pending, from, rest, 0, rest.length);
    from = to = 0;
    return rest;
  }

  @Override
  public void close() {
    try {
      processor.close();
    } finally {
      in.close();
    }
  }

  /** The name shown for the song: its file name. */
  String name() {
    Path name = in.path.getFileName();
    return name != null ? name.toString() : in.path.toString();
  }
}
