package quenlab.hopwarbler;

/**
 * Everything the Java layer assumes about the native driver, in one place. The Java classes that
 * plan hops, trim the latency, count limited samples, remix the channels or scale the spectrum
 * read these values from here and from nowhere else; {@code NativeFactsTest} drives the real
 * library and fails when the driver no longer behaves as written here.
 */
final class NativeFacts {
  private NativeFacts() {}

  /**
   * Level at which the driver passes a steady tone when every frame was laid at the block's
   * synthesis hop and that hop divides the frame at least three times: the overlapping squared
   * Hann windows sum to {@code 3 frameSize / (8 stepOut)} and the raw interface divides by {@code
   * frameSize / (2 stepOut)}. The analyser sees the vocoder's output at that level too.
   */
  static final double TONE_GAIN = 0.75;

  /**
   * Smallest 16-bit output sample that the soft limiter touched: 0.95 of full scale (32767),
   * truncated. The processor's output stage rounds, so a sample just below that level may read as
   * one above it.
   */
  static final int LIMITER_SAMPLE = 31128;

  /** Output sample that the clamp produces at full scale (never -32768). */
  static final int CLAMP_SAMPLE = 32767;

  /**
   * The analyser takes every {@code DECIMATION}-th sample of the synthesised output. Fed inside
   * the vocoder (the raw interface's way) it takes them from the first sample of each synthesis
   * hop on, {@code stepOut / DECIMATION} per hop rounded down, so only hops of a multiple of it
   * keep its history evenly spaced; as a tap on the output (a processor's engine) it takes every
   * {@code DECIMATION}-th frame of the stream, whatever the hops.
   */
  static final int DECIMATION = 4;

  /** Decimated samples the analyser keeps and weights with a Hann window. */
  static final int ANALYSER_HISTORY = 4096;

  /** Output frames the analyser's history spans. */
  static final int ANALYSER_HISTORY_FRAMES = ANALYSER_HISTORY * DECIMATION;

  /**
   * Band level the analyser reads for a steady sinusoid of amplitude A (full scale 1.0) at the
   * band's frequency in the vocoder's output, once its history is full: {@code SPECTRUM_TONE_GAIN
   * A}.
   */
  static final double SPECTRUM_TONE_GAIN = 0.3125;

  /**
   * Band level the analyser reads for an input tone of amplitude 1 that the vocoder synthesised
   * at the average hop {@code stepOut}: the analyser sees the vocoder's output before the overlap
   * normalisation, where the tone has {@code TONE_GAIN * frameSize / (2 stepOut)}, and reads
   * {@link #SPECTRUM_TONE_GAIN} of that.
   */
  static double analyserToneLevel(int frameSize, double stepOut) {
    return SPECTRUM_TONE_GAIN * TONE_GAIN * frameSize / (2.0 * stepOut);
  }

  /** Times per second of output that the analyser refreshes its bands. */
  static final int ANALYSER_REFRESH_PER_SECOND = 32;

  /**
   * Entries of an equaliser table that serves every format: the native table has half the frame
   * size of the first set-up of the process, at most 4096 / 2, and reads only as many entries as it
   * has. Entry k is the gain of FFT bin k.
   */
  static final int EQ_LENGTH = 2048;

  /** Largest frame size the driver accepts; it takes powers of two from {@link #MIN_FRAME_SIZE}. */
  static final int MAX_FRAME_SIZE = 4096;

  /** Smallest frame size the driver accepts. */
  static final int MIN_FRAME_SIZE = 4;

  /**
   * The native remix of a stereo frame for a balance level 0..100 and the mono fold: {left from
   * left, left from right, right from left, right from right}. The fold averages the channels and
   * takes precedence over the balance.
   */
  static double[] remix(int balance, boolean mono) {
    if (mono)
      return new double[] {0.5, 0.5, 0.5, 0.5};
    double p = balance;
    return new double[] {Math.min(p, 50) / 50, p < 50 ? (50 - p) / 50 : 0,
        p < 50 ? 0 : (p - 50) / 50, p < 50 ? 1 : (100 - p) / 50};
  }

  /**
   * The output frame at which the vocoder lays the frame whose window is centred on input frame 0,
   * for hops of {@code hop} in and {@code stepOut} out: {@code frameSize / 2 + stepOut (frameSize -
   * 2 hop) / (2 hop)}, rounded. The processor discards that many leading frames.
   */
  static int latency(int frameSize, int hop, double stepOut) {
    return (int) Math.round(frameSize / 2.0 + stepOut * (frameSize - 2.0 * hop) / (2.0 * hop));
  }
}
