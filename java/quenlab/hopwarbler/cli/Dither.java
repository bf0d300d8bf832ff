package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.InputStream;
import java.util.Locale;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;

/**
 * Reduces PCM wider than 16 bits (24- or 32-bit integers, 32- or 64-bit floats) to the 16-bit
 * samples the processor takes, with TPDF dither: before rounding, each sample gets the sum of two
 * independent uniform values of &plusmn;half a 16-bit step, so that the rounding error is noise of
 * a fixed level (a quarter of a step squared) that does not follow the signal, instead of
 * distortion that does. The noise comes from a generator with a fixed seed, so a file gives the
 * same output every run.
 */
final class Dither {
  private Dither() {}

  /** True for the formats this reduces: integer PCM of more than 16 bits, and float PCM. */
  static boolean applies(AudioFormat format) {
    AudioFormat.Encoding e = format.getEncoding();
    int bits = format.getSampleSizeInBits();
    boolean integer =
        e.equals(AudioFormat.Encoding.PCM_SIGNED) || e.equals(AudioFormat.Encoding.PCM_UNSIGNED);
    boolean wide = (integer && (bits == 24 || bits == 32))
        || (e.equals(AudioFormat.Encoding.PCM_FLOAT) && (bits == 32 || bits == 64));
    return wide && format.getFrameSize() == format.getChannels() * bits / 8;
  }

  /** What the summary says of a reduced input, e.g. "24-bit input dithered to 16 bits". */
  static String describe(AudioFormat format) {
    boolean fl = format.getEncoding().equals(AudioFormat.Encoding.PCM_FLOAT);
    return String.format(Locale.ROOT, "%d-bit%s input dithered to 16 bits",
        format.getSampleSizeInBits(), fl ? " float" : "");
  }

  /**
   * The source as signed 16-bit little-endian PCM with the same rate, channels and length.
   *
   * @throws IllegalArgumentException if {@link #applies} is false for its format
   */
  static AudioInputStream reduce(AudioInputStream source) {
    AudioFormat from = source.getFormat();
    if (!applies(from))
      throw new IllegalArgumentException("no dither for " + from);
    AudioFormat to = new AudioFormat(from.getSampleRate(), 16, from.getChannels(), true, false);
    return new AudioInputStream(new Reducing(source, from), to, source.getFrameLength());
  }

  /** Rounds {@code value} (in 16-bit steps) to a 16-bit sample after adding {@code noise}. */
  static short round(double value, double noise) {
    return (short) Math.max(-32768, Math.min(32767, Math.floor(value + noise + 0.5)));
  }

  /** Triangular noise from -1 to 1 step, from two uniform draws of a 64-bit xorshift generator. */
  static final class Noise {
    private long state = 0x9E3779B97F4A7C15L;

    double next() {
      return uniform() + uniform() - 1;
    }

    private double uniform() {
      state ^= state << 13;
      state ^= state >>> 7;
      state ^= state << 17;
      return (state >>> 11) * 0x1.0p-53;
    }
  }

  private static final class Reducing extends InputStream {
    private final InputStream source;
    private final int bytesPerSample;
    private final boolean bigEndian;
    private final boolean unsigned;
    private final boolean floating;
    private final int frameBytes;
    private final Noise noise = new Noise();
    private final byte[] in;
    private final byte[] out;
    private int position;
    private int limit;
    private boolean ended;

    Reducing(InputStream source, AudioFormat format) {
      this.source = source;
      this.bytesPerSample = format.getSampleSizeInBits() / 8;
      this.bigEndian = format.isBigEndian();
      this.unsigned = format.getEncoding().equals(AudioFormat.Encoding.PCM_UNSIGNED);
      this.floating = format.getEncoding().equals(AudioFormat.Encoding.PCM_FLOAT);
      this.frameBytes = format.getFrameSize();
      this.in = new byte[frameBytes * 4096];
      this.out = new byte[in.length / bytesPerSample * 2];
    }

    @Override
    public int read() throws IOException {
      byte[] one = new byte[1];
      return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      if (len == 0)
        return 0;
      while (position == limit) {
        if (ended)
          return -1;
        fill();
      }
      int n = Math.min(len, limit - position);
      System.arraycopy(out, position, b, off, n);
      position += n;
      return n;
    }

    // Reads whole frames (a trailing part of a frame is dropped) and reduces them.
    private void fill() throws IOException {
      int got = source.readNBytes(in, 0, in.length);
      if (got < in.length)
        ended = true;
      int samples = got / frameBytes * frameBytes / bytesPerSample;
      for (int i = 0; i < samples; i++) {
        short s = round(steps(i * bytesPerSample), noise.next());
        out[2 * i] = (byte) s;
        out[2 * i + 1] = (byte) (s >> 8);
      }
      position = 0;
      limit = 2 * samples;
    }

    // The sample at `at` in 16-bit steps.
    private double steps(int at) {
      long raw = 0;
      for (int k = 0; k < bytesPerSample; k++) {
        int b = in[bigEndian ? at + k : at + bytesPerSample - 1 - k] & 0xff;
        raw = (raw << 8) | b;
      }
      if (floating) {
        double v =
            bytesPerSample == 4 ? Float.intBitsToFloat((int) raw) : Double.longBitsToDouble(raw);
        return Double.isNaN(v) ? 0 : v * 32768.0;
      }
      int bits = 8 * bytesPerSample;
      long value = unsigned ? raw - (1L << (bits - 1)) : (raw << (64 - bits)) >> (64 - bits);
      return value / (double) (1L << (bits - 16));
    }

    @Override
    public int available() {
      return limit - position;
    }

    @Override
    public void close() throws IOException {
      source.close();
    }
  }
}
