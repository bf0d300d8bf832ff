package quenlab.hopwarbler;

/**
 * Which format the next stream runs in. A processor opened with a preset plans it from the
 * vocoder's stretch whenever that changes between streams, and a stream that starts fixes it for
 * its whole length; a processor opened with a format of its own keeps that one.
 *
 * <p>Every method but {@link #format} and {@link #pending} is called under the settings lock (see
 * {@link Settings}).
 */
final class FormatPlan {
  private final Processor.Quality quality; // null for a format fixed at open
  private final int sampleRate;
  private volatile Format format;
  // The next stream starts in a format planned for its stretch. Written under the settings lock;
  // volatile so that the processing thread can see without the lock that a stream runs on.
  private volatile boolean pending;

  /**
   * @param set the format the native driver was set up with at open
   * @param quality the preset, or null to keep {@code set} for every stream
   */
  FormatPlan(Format set, Processor.Quality quality, int sampleRate) {
    this.quality = quality;
    this.sampleRate = sampleRate;
    this.format = set;
    this.pending = quality != null;
    if (pending)
      replan(1.0);
  }

  /** The largest frame {@code quality} can pick at {@code sampleRate}. */
  static int largestFrame(Processor.Quality quality, int sampleRate) {
    return Math.max(quality.frameSize(sampleRate, 0.5), quality.frameSize(sampleRate, 2));
  }

  /** The format of the running stream, or the one planned for the next. */
  Format format() {
    return format;
  }

  /** Checks a stream format against what {@link Processor#open} and the native driver accept. */
  static void check(int sampleRate, int channels, int frameSize, int overSampling) {
    if (sampleRate < 4 || sampleRate > Processor.MAX_SAMPLE_RATE) {
      throw new IllegalArgumentException(
          "sampleRate must be from 4 to " + Processor.MAX_SAMPLE_RATE + " Hz, got " + sampleRate);
    }
    if (channels != 1 && channels != 2) {
      throw new IllegalArgumentException(
          "channels must be 1 (mono) or 2 (stereo), got " + channels);
    }
    if (frameSize < NativeFacts.MIN_FRAME_SIZE || frameSize > NativeFacts.MAX_FRAME_SIZE
        || Integer.bitCount(frameSize) != 1) {
      throw new IllegalArgumentException("frameSize must be a power of two from "
          + NativeFacts.MIN_FRAME_SIZE + " to " + NativeFacts.MAX_FRAME_SIZE + ", got "
          + frameSize);
    }
    if (overSampling < 1 || overSampling > frameSize) {
      throw new IllegalArgumentException(
          "overSampling must be from 1 to frameSize (" + frameSize + "), got " + overSampling);
    }
  }

  /**
   * A frame of {@code atCdRate} samples at 44.1 kHz scaled to {@code sampleRate}: the nearest
   * power of two, from 64 to 4096.
   */
  static int scaleFrame(int atCdRate, int sampleRate) {
    long exponent = Math.round(Math.log((double) atCdRate * sampleRate / 44100.0) / Math.log(2));
    return 1 << (int) Math.max(6, Math.min(12, exponent));
  }

  /** {@return whether the next stream's format is still open to planning} */
  boolean pending() {
    return pending;
  }

  /** Plans the next stream's format for {@code stretch}, unless a stream runs. */
  void replan(double stretch) {
    if (!pending)
      return;
    int frame = quality.frameSize(sampleRate, stretch);
    format = new Format(frame, Planning.overSampling(quality, frame, stretch));
  }

  /** A stream starts: keeps its format until {@link #reopen}. Returns it. */
  Format fix() {
    pending = false;
    return format;
  }

  /** The stream ended: a preset plans the next one's format for {@code stretch}. */
  void reopen(double stretch) {
    if (quality == null)
      return;
    pending = true;
    replan(stretch);
  }
}
