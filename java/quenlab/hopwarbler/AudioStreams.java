package quenlab.hopwarbler;

import java.io.IOException;
import java.io.InputStream;
import java.util.Arrays;
import java.util.Objects;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;

/**
 * Adapters between {@link Processor} and {@code javax.sound.sampled}: decode any PCM stream (8, 16,
 * 24 or 32 bits, signed or unsigned, either byte order, 32- or 64-bit float, and &micro;-law or
 * A-law through Java Sound's own decoders) to 16-bit samples, and wrap a stream so that reading it
 * yields the processed sound.
 *
 * <pre>{@code
 * try (AudioInputStream in = AudioSystem.getAudioInputStream(file);
 *     Processor p = AudioStreams.openProcessor(in.getFormat())) {
 *   p.setSpeed(0.8);
 *   AudioSystem.write(AudioStreams.process(in, p), AudioFileFormat.Type.WAVE, target);
 * }
 * }</pre>
 */
public final class AudioStreams {
  /** Frames per block that {@link #process(AudioInputStream, Processor)} reads from its source. */
  public static final int DEFAULT_BLOCK_FRAMES = 4096;

  private AudioStreams() {}

  /**
   * Signed 16-bit PCM at the given rate and channel count, in the given byte order.
   *
   * @param sampleRate frames per second, in Hz
   * @param channels 1 for mono, 2 for interleaved stereo
   * @param bigEndian true for big-endian samples, false for little-endian
   * @return the format
   */
  public static AudioFormat pcm16(float sampleRate, int channels, boolean bigEndian) {
    return new AudioFormat(AudioFormat.Encoding.PCM_SIGNED, sampleRate, 16, channels, 2 * channels,
        sampleRate, bigEndian);
  }

  /**
   * Opens a processor for the rate and channel count of {@code format}.
   *
   * @param format the format of the audio the processor will take
   * @return the open processor, with the default frame size and oversampling
   * @throws IllegalArgumentException if the format is not mono or stereo, or its rate is not a
   *     whole number of Hz in the processor's range
   */
  public static Processor openProcessor(AudioFormat format) {
    checkChannels(format);
    return Processor.open(sampleRateOf(format), format.getChannels());
  }

  /**
   * The rate of {@code format} in whole Hz.
   *
   * @param format the format
   * @return its sample rate in Hz
   * @throws IllegalArgumentException if the rate is unknown or not a whole number of Hz
   */
  public static int sampleRateOf(AudioFormat format) {
    float rate = format.getSampleRate();
    if (!(rate >= 1) || rate != Math.rint(rate) || rate > Integer.MAX_VALUE) {
      throw new IllegalArgumentException(
          "the sample rate must be a whole number of Hz, got " + rate);
    }
    return (int) rate;
  }

  /**
   * Returns a reader of 16-bit samples for {@code source}. PCM (signed, unsigned, float) is
   * decoded here; other encodings are first converted to 16-bit PCM by Java Sound.
   *
   * @param source the stream to read
   * @return the reader; closing it closes {@code source}
   * @throws IllegalArgumentException if the stream is not mono or stereo, or its encoding cannot
   *     be decoded
   */
  public static SampleReader reader(AudioInputStream source) {
    Objects.requireNonNull(source, "source");
    checkChannels(source.getFormat());
    return new SampleReader(decodable(source));
  }

  /**
   * Wraps {@code source} so that reading the result yields the processed sound as signed 16-bit
   * little-endian PCM with the source's rate and channels. At the end of the source the processor
   * is flushed, so the result holds the whole processed stream. Its declared length is {@link
   * Processor#expectedOutputFrames} of the source's length when that is known (exact while the
   * speed does not change during the reading); otherwise it is {@link AudioSystem#NOT_SPECIFIED}.
   * The processor must be open for the source's rate and channel count; closing the result closes
   * the source, not the processor.
   *
   * @param source the stream to process
   * @param processor the processor to run it through
   * @return the processed stream
   * @throws IllegalArgumentException if the processor's format does not match the source's
   */
  public static AudioInputStream process(AudioInputStream source, Processor processor) {
    return process(source, processor, DEFAULT_BLOCK_FRAMES, null);
  }

  /** Told about every block that a {@link #process} stream has pulled through its processor. */
  @FunctionalInterface
  public interface BlockListener {
    /**
     * Called on the reading thread after each block.
     *
     * @param inputFrames frames read from the source so far
     * @param output the output frames of this block, interleaved (the flushed tail at the end)
     * @param last true for the block that ends the stream
     */
    void processed(long inputFrames, short[] output, boolean last);
  }

  /**
   * Like {@link #process(AudioInputStream, Processor)}, reading the source {@code blockFrames}
   * frames at a time and telling {@code listener} (if not null) about each block, for example to
   * show progress or to poll {@link Processor#spectrum()}.
   *
   * @param source the stream to process
   * @param processor the processor to run it through
   * @param blockFrames frames per block, from 1 to 1048576
   * @param listener told about each block, or null
   * @return the processed stream
   * @throws IllegalArgumentException if the processor's format does not match the source's, or
   *     {@code blockFrames} is out of range
   */
  public static AudioInputStream process(
      AudioInputStream source, Processor processor, int blockFrames, BlockListener listener) {
    Objects.requireNonNull(processor, "processor");
    if (blockFrames < 1 || blockFrames > 1 << 20) {
      throw new IllegalArgumentException(
          "blockFrames must be from 1 to " + (1 << 20) + ", got " + blockFrames);
    }
    SampleReader reader = reader(source);
    AudioFormat format = source.getFormat();
    if (sampleRateOf(format) != processor.sampleRate()
        || format.getChannels() != processor.channels()) {
      throw new IllegalArgumentException("the processor is open for " + processor.sampleRate()
          + " Hz, " + processor.channels() + " channel(s), the stream has " + format.getSampleRate()
          + " Hz, " + format.getChannels() + " channel(s)");
    }
    long frames = source.getFrameLength();
    long length = frames == AudioSystem.NOT_SPECIFIED ? AudioSystem.NOT_SPECIFIED
                                                      : processor.expectedOutputFrames(frames);
    AudioFormat target = pcm16(format.getSampleRate(), format.getChannels(), false);
    return new AudioInputStream(
        new ProcessedStream(reader, processor, blockFrames, listener), target, length);
  }

  /**
   * Little-endian or big-endian bytes of 16-bit samples.
   *
   * @param samples the samples
   * @param count how many of them, from 0 to {@code samples.length}
   * @param bigEndian byte order
   * @param target receives 2 &times; count bytes, or null to allocate
   * @return {@code target} if it has room for the bytes, otherwise a new array holding them
   * @throws IllegalArgumentException if {@code count} is outside that range, or its bytes are
   *     more than an array holds
   */
  public static byte[] toBytes(short[] samples, int count, boolean bigEndian, byte[] target) {
    if (count < 0 || count > samples.length || count > Integer.MAX_VALUE / 2) {
      throw new IllegalArgumentException("count must be from 0 to the " + samples.length
          + " samples given, and its bytes fit in an array, got " + count);
    }
    byte[] bytes = target != null && target.length >= 2 * count ? target : new byte[2 * count];
    for (int i = 0; i < count; i++) {
      int s = samples[i];
      if (bigEndian) {
        bytes[2 * i] = (byte) (s >> 8);
        bytes[2 * i + 1] = (byte) s;
      } else {
        bytes[2 * i] = (byte) s;
        bytes[2 * i + 1] = (byte) (s >> 8);
      }
    }
    return bytes;
  }

  private static void checkChannels(AudioFormat format) {
    int channels = format.getChannels();
    if (channels != 1 && channels != 2) {
      throw new IllegalArgumentException("only mono and stereo are supported, the stream has "
          + (channels == AudioSystem.NOT_SPECIFIED ? "an unknown number of" : channels)
          + " channels");
    }
  }

  // PCM streams are decoded by SampleReader; anything else (mu-law, a-law) is converted by Java
  // Sound to 16-bit PCM first.
  private static AudioInputStream decodable(AudioInputStream source) {
    AudioFormat format = source.getFormat();
    if (SampleReader.canDecode(format))
      return source;
    AudioFormat pcm = pcm16(format.getSampleRate(), format.getChannels(), false);
    if (!AudioSystem.isConversionSupported(pcm, format)) {
      throw new IllegalArgumentException(
          "the encoding " + format.getEncoding() + " of " + format + " cannot be decoded");
    }
    return AudioSystem.getAudioInputStream(pcm, source);
  }

  /**
   * Reads 16-bit samples from a PCM stream, converting other sample widths: wider integers are
   * rounded to the nearest 16-bit value, 8-bit ones scaled up, floats (full scale &plusmn;1.0)
   * multiplied by 32768 and rounded; everything is clamped to &minus;32768..32767.
   */
  public static final class SampleReader implements AutoCloseable {
    private final AudioInputStream source;
    private final int channels;
    private final int bytesPerSample;
    private final boolean bigEndian;
    private final boolean floating; // PCM_FLOAT; otherwise PCM_SIGNED or PCM_UNSIGNED
    private final boolean unsigned;
    private byte[] bytes = new byte[0];
    private int carried; // bytes of an incomplete frame kept from the last read

    private SampleReader(AudioInputStream source) {
      this.source = source;
      AudioFormat format = source.getFormat();
      this.channels = format.getChannels();
      this.bytesPerSample = format.getSampleSizeInBits() / 8;
      this.bigEndian = format.isBigEndian();
      this.floating = format.getEncoding().equals(AudioFormat.Encoding.PCM_FLOAT);
      this.unsigned = format.getEncoding().equals(AudioFormat.Encoding.PCM_UNSIGNED);
    }

    static boolean canDecode(AudioFormat format) {
      int bits = format.getSampleSizeInBits();
      AudioFormat.Encoding e = format.getEncoding();
      if (format.getFrameSize() != format.getChannels() * (bits / 8))
        return false;
      if (e.equals(AudioFormat.Encoding.PCM_SIGNED)
          || e.equals(AudioFormat.Encoding.PCM_UNSIGNED)) {
        return bits == 8 || bits == 16 || bits == 24 || bits == 32;
      }
      return e.equals(AudioFormat.Encoding.PCM_FLOAT) && (bits == 32 || bits == 64);
    }

    /** {@return the number of interleaved channels in a frame: 1 or 2} */
    public int channels() {
      return channels;
    }

    /**
     * Reads up to {@code frames} frames into {@code target} (interleaved from index 0).
     *
     * @param target receives the samples; must hold {@code frames} frames
     * @param frames how many frames to read at most
     * @return frames read, or -1 at the end of the stream
     * @throws IOException if the source cannot be read
     * @throws IllegalArgumentException if {@code target} holds fewer than {@code frames} frames
     */
    public int read(short[] target, int frames) throws IOException {
      if ((long) frames * channels > target.length) {
        throw new IllegalArgumentException("target holds " + target.length / channels
            + " frames of " + channels + " samples, fewer than the " + frames + " asked for");
      }
      if (frames <= 0)
        return 0;
      int frameBytes = bytesPerSample * channels;
      // The bytes of one read, and a carried frame, must fit in an array: a larger request reads
      // fewer frames.
      frames = Math.min(frames, Integer.MAX_VALUE / frameBytes - 2);
      int wanted = frames * frameBytes;
      // Room for one carried incomplete frame on top, so that every request is a whole number of
      // frames (AudioInputStream answers requests for less than a frame with 0 bytes).
      if (bytes.length < wanted + frameBytes)
        bytes = Arrays.copyOf(bytes, wanted + frameBytes);
      int filled = carried;
      while (filled < frameBytes) {
        int n = source.read(bytes, filled, wanted);
        if (n < 0) {
          carried = 0;
          return -1; // a trailing incomplete frame is dropped
        }
        filled += n;
      }
      int complete = Math.min(frames, filled / frameBytes);
      int samples = complete * channels;
      if (bytesPerSample == 2 && !floating && !unsigned) {
        // 16-bit signed, by far the most common: the bytes are the sample.
        int high = bigEndian ? 0 : 1;
        for (int i = 0; i < samples; i++)
          target[i] = (short) ((bytes[2 * i + high] << 8) | (bytes[2 * i + 1 - high] & 0xff));
      } else {
        for (int i = 0; i < samples; i++) target[i] = decode(i * bytesPerSample);
      }
      carried = filled - complete * frameBytes;
      System.arraycopy(bytes, complete * frameBytes, bytes, 0, carried);
      return complete;
    }

    private short decode(int at) {
      if (floating) {
        double v = bytesPerSample == 4 ? Float.intBitsToFloat((int) raw(at))
                                       : Double.longBitsToDouble(raw(at));
        return clamp(Math.round(v * 32768.0));
      }
      long value = raw(at);
      int bits = 8 * bytesPerSample;
      if (unsigned) {
        value -= 1L << (bits - 1);
      } else {
        value = (value << (64 - bits)) >> (64 - bits); // sign-extend
      }
      if (bits == 8)
        return (short) (value << 8);
      if (bits == 16)
        return (short) value;
      int shift = bits - 16;
      return clamp((value + (1L << (shift - 1))) >> shift);
    }

    private long raw(int at) {
      long value = 0;
      for (int k = 0; k < bytesPerSample; k++) {
        int b = bytes[bigEndian ? at + k : at + bytesPerSample - 1 - k] & 0xff;
        value = (value << 8) | b;
      }
      return value;
    }

    private static short clamp(long v) {
      return (short) Math.max(-32768, Math.min(32767, v));
    }

    @Override
    public void close() throws IOException {
      source.close();
    }
  }

  // Pulls blocks from the reader through the processor; flushes it at the end of the source.
  private static final class ProcessedStream extends InputStream {
    private final SampleReader reader;
    private final Processor processor;
    private final int blockFrames;
    private final BlockListener listener;
    private final short[] block;
    private long framesRead;
    private byte[] buffered = new byte[0];
    private int position;
    private int limit;
    private boolean finished;

    ProcessedStream(
        SampleReader reader, Processor processor, int blockFrames, BlockListener listener) {
      this.reader = reader;
      this.processor = processor;
      this.blockFrames = blockFrames;
      this.listener = listener;
      this.block = new short[blockFrames * reader.channels()];
    }

    @Override
    public int read() throws IOException {
      byte[] one = new byte[1];
      int n = read(one, 0, 1);
      return n < 0 ? -1 : one[0] & 0xff;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      Objects.checkFromIndexSize(off, len, b.length);
      if (len == 0)
        return 0;
      while (position == limit) {
        if (finished)
          return -1;
        fill();
      }
      int n = Math.min(len, limit - position);
      System.arraycopy(buffered, position, b, off, n);
      position += n;
      return n;
    }

    @Override
    public int available() {
      return limit - position;
    }

    private void fill() throws IOException {
      int frames = reader.read(block, blockFrames);
      short[] output;
      if (frames < 0) {
        output = processor.flush();
        finished = true;
      } else {
        output = processor.process(block, 0, frames);
        framesRead += frames;
      }
      if (listener != null)
        listener.processed(framesRead, output, finished);
      buffered = toBytes(output, output.length, false, buffered);
      position = 0;
      limit = 2 * output.length;
    }

    @Override
    public void close() throws IOException {
      reader.close();
    }
  }
}
