package quenlab.hopwarbler;

import java.util.Arrays;

/**
 * A streaming sample-rate converter for interleaved audio: a polyphase windowed-sinc filter with a
 * Kaiser window, whose coefficients are interpolated linearly between {@value #PHASES} phases, so
 * that any ratio, rational or not, is met exactly.
 *
 * <p>The ratio is the number of input frames per output frame: 2 halves the number of frames (and
 * played at the same rate doubles every frequency), 0.5 doubles it. Output frame m is the ideal
 * band-limited value of the input at input position {@code m * ratio}, so the first output frame
 * lines up with the first input frame; the filter's delay is held back inside the converter and
 * {@link #finish} drains it. A stream of N input frames at one ratio gives exactly {@code
 * round(N / ratio)} output frames (halves rounding up): the frames whose span {@code [m ratio -
 * ratio / 2, m ratio + ratio / 2)} starts inside the input and ends by its end.
 *
 * <p>The filter passes 0.9 of the lower of the two Nyquist frequencies with a ripple below 0.001
 * dB and stops everything above the lower Nyquist frequency by more than 100 dB, so that nothing
 * aliases back into the band. It works in single precision; the 16-bit entry points round only
 * the finished output.
 *
 * <p>Processing ({@link #process}, {@link #pass}, {@link #finish}) belongs to one thread and
 * allocates nothing. {@link #setRatio} may be called from any thread: it builds the filter for the
 * new ratio on the caller's thread (a few milliseconds when downsampling; the upsampling filter is
 * shared) and the processing thread takes it up at its next call, the output position carrying on
 * from where it stood.
 */
public final class Resampler {
  /** Smallest ratio (input frames per output frame) accepted. */
  public static final double MIN_RATIO = 0.25;

  /** Largest ratio accepted. */
  public static final double MAX_RATIO = 4.0;

  /** Filter phases per input frame between which the coefficients are interpolated. */
  public static final int PHASES = 512;

  // Half the kernel's span in samples of the lower of the two rates, and its Kaiser window's
  // shape: the transition from 0.9 to 1.0 of the lower Nyquist frequency, 110 dB down beyond.
  private static final int HALF_SPAN = 72;
  private static final double KAISER_BETA = 0.1102 * (110 - 8.7);
  private static final double PASS_EDGE = 0.9;
  // Input frames taken per round: the history buffer holds this much besides the kernel span.
  private static final int CHUNK_FRAMES = 1024;
  private static final int MAX_HALF = (int) Math.ceil(HALF_SPAN * MAX_RATIO);

  private final int channels;
  private final float[] history;
  private final int capacityFrames;
  private final float[] output;
  private volatile Plan planned;
  private volatile Kernel downsampling; // the last downsampling filter built, kept for reuse

  // Processing state, owned by the processing thread.
  private Plan plan;
  private long historyStart; // input frame of history[0]; negative frames are silence
  private int historyFrames;
  private long originFrame; // the output position is originFrame + originFraction + made * ratio
  private double originFraction;
  private long made;
  private boolean engaged;

  /**
   * A converter for {@code channels} interleaved channels at {@code ratio} input frames per output
   * frame.
   *
   * @param channels 1 (mono) or 2 (interleaved stereo)
   * @param ratio input frames per output frame
   * @throws IllegalArgumentException if {@code channels} is not 1 or 2 or {@code ratio} is outside
   *     {@value #MIN_RATIO} .. {@value #MAX_RATIO}
   */
  public Resampler(int channels, double ratio) {
    if (channels != 1 && channels != 2) {
      throw new IllegalArgumentException("channels must be 1 or 2, got " + channels);
    }
    this.channels = channels;
    this.capacityFrames = 2 * MAX_HALF + 2 + CHUNK_FRAMES;
    this.history = new float[capacityFrames * channels];
    this.output = new float[maxOutputFrames(CHUNK_FRAMES, MIN_RATIO) * channels];
    setRatio(ratio);
    plan = planned;
    reset();
  }

  /**
   * Sets the ratio from the next output frame on; the position reached so far is kept, so the
   * output runs on without a jump.
   *
   * @param ratio input frames per output frame
   * @throws IllegalArgumentException if {@code ratio} is outside {@value #MIN_RATIO} .. {@value
   *     #MAX_RATIO} or not a number
   */
  public void setRatio(double ratio) {
    if (!(ratio >= MIN_RATIO && ratio <= MAX_RATIO)) {
      throw new IllegalArgumentException(
          "ratio must be from " + MIN_RATIO + " to " + MAX_RATIO + ", got " + ratio);
    }
    Plan current = planned;
    if (current != null && current.ratio == ratio)
      return;
    Kernel kernel = Kernel.UPSAMPLING;
    if (ratio > 1) {
      Kernel last = downsampling;
      kernel = last != null && last.ratio == ratio ? last : new Kernel(ratio);
      downsampling = kernel;
    }
    planned = new Plan(ratio, kernel);
  }

  /** {@return the ratio last set, in input frames per output frame} */
  public double ratio() {
    return planned.ratio;
  }

  /** {@return the number of channels} */
  public int channels() {
    return channels;
  }

  /**
   * {@return the input frames the converter holds back at the current ratio: the half span of its
   * filter} The output lags the input by this many input frames until {@link #finish}.
   */
  public int delayFrames() {
    return planned.kernel.half;
  }

  /**
   * Room for output frames that one {@link #process} call of {@code inputFrames} frames (or a
   * {@link #finish}, with 0) needs at most at {@code ratio}.
   *
   * @param inputFrames the frames of the call, 0 or more
   * @param ratio input frames per output frame
   * @return the output frames the call may write
   * @throws IllegalArgumentException if {@code inputFrames} is negative or {@code ratio} is
   *     outside {@value #MIN_RATIO} .. {@value #MAX_RATIO}, or the room exceeds an array's reach
   */
  public static int maxOutputFrames(int inputFrames, double ratio) {
    if (inputFrames < 0 || !(ratio >= MIN_RATIO && ratio <= MAX_RATIO)) {
      throw new IllegalArgumentException(
          "need inputFrames >= 0 and a ratio in range, got " + inputFrames + " at " + ratio);
    }
    // In double from the first addition on: inputFrames + MAX_HALF can pass the int range.
    double frames = Math.ceil(((double) inputFrames + MAX_HALF + 2.0) / ratio) + 1;
    if (frames > Integer.MAX_VALUE / 2) {
      throw new IllegalArgumentException(inputFrames + " frames are too many for one call");
    }
    return (int) frames;
  }

  /**
   * {@return true once the current stream has gone through {@link #process}} {@link #pass} keeps
   * it false, {@link #finish} and {@link #reset} set it back.
   */
  public boolean engaged() {
    return engaged;
  }

  /** Forgets the stream: the history becomes silence and the next input frame is frame 0. */
  public void reset() {
    plan = planned;
    Arrays.fill(history, 0f);
    historyStart = -MAX_HALF;
    historyFrames = MAX_HALF;
    originFrame = 0;
    originFraction = 0;
    made = 0;
    engaged = false;
  }

  /**
   * Takes frames that are played unconverted: they become the history of the filter, and the next
   * output frame lines up with the next input frame. This lets a stream start converting in the
   * middle without a click.
   *
   * @param in 16-bit samples, interleaved
   * @param offset array index of the first sample of the first frame
   * @param frames number of frames
   * @throws IllegalArgumentException if the frames reach outside {@code in}
   */
  public void pass(short[] in, int offset, int frames) {
    checkRange(in.length, offset, frames);
    int keep = Math.min(frames, MAX_HALF);
    if (keep == MAX_HALF) {
      historyStart += (long) historyFrames + frames - MAX_HALF;
      historyFrames = 0;
    } else {
      makeRoom(keep);
    }
    int to = historyFrames * channels;
    for (int i = offset + (frames - keep) * channels, end = offset + frames * channels; i < end;
         i++) {
      history[to++] = in[i];
    }
    historyFrames += keep;
    originFrame = historyStart + historyFrames;
    originFraction = 0;
    made = 0;
  }

  /**
   * Converts 16-bit frames; the output is rounded to the nearest integer and clamped to the 16-bit
   * range.
   *
   * @param in 16-bit samples, interleaved
   * @param offset array index of the first sample of the first frame
   * @param frames number of frames, any number
   * @param out room for at least {@link #maxOutputFrames}{@code (frames, ratio())} frames from
   *     {@code outOffset} on
   * @param outOffset array index of the first output sample
   * @return the number of output frames written
   * @throws IllegalArgumentException if the frames reach outside {@code in} or {@code out} has
   *     too little room
   */
  public int process(short[] in, int offset, int frames, short[] out, int outOffset) {
    checkRange(in.length, offset, frames);
    begin(out.length, outOffset, frames);
    int written = 0;
    int done = 0;
    while (done < frames) {
      int take = Math.min(frames - done, CHUNK_FRAMES);
      int to = beginChunk(take);
      for (int i = offset + done * channels, end = i + take * channels; i < end; i++) {
        history[to++] = in[i];
      }
      historyFrames += take;
      done += take;
      written += drainTo(out, outOffset + written * channels, Long.MAX_VALUE);
    }
    return written;
  }

  /**
   * Converts frames in full-scale floating point.
   *
   * @param in samples, interleaved
   * @param offset array index of the first sample of the first frame
   * @param frames number of frames, any number
   * @param out room for at least {@link #maxOutputFrames}{@code (frames, ratio())} frames from
   *     {@code outOffset} on
   * @param outOffset array index of the first output sample
   * @return the number of output frames written
   * @throws IllegalArgumentException if the frames reach outside {@code in} or {@code out} has
   *     too little room
   */
  public int process(float[] in, int offset, int frames, float[] out, int outOffset) {
    checkRange(in.length, offset, frames);
    begin(out.length, outOffset, frames);
    int written = 0;
    int done = 0;
    while (done < frames) {
      int take = Math.min(frames - done, CHUNK_FRAMES);
      int to = beginChunk(take);
      System.arraycopy(in, offset + done * channels, history, to, take * channels);
      historyFrames += take;
      done += take;
      written += drainTo(out, outOffset + written * channels, Long.MAX_VALUE);
    }
    return written;
  }

  /**
   * Ends the stream: writes the output frames still owed (the input is taken as silent beyond its
   * end) and resets the converter. Writes nothing if the stream never went through {@link
   * #process}.
   *
   * @param out room for at least {@link #maxOutputFrames}{@code (0, ratio())} frames
   * @param outOffset array index of the first output sample
   * @return the number of output frames written
   * @throws IllegalArgumentException if {@code out} has too little room
   */
  public int finish(short[] out, int outOffset) {
    int written = 0;
    if (engaged) {
      begin(out.length, outOffset, 0);
      long end = historyStart + historyFrames;
      padSilence();
      written = drainTo(out, outOffset, end);
    }
    reset();
    return written;
  }

  /**
   * Ends the stream in floating point.
   *
   * @param out room for at least {@link #maxOutputFrames}{@code (0, ratio())} frames
   * @param outOffset array index of the first output sample
   * @return the number of output frames written
   * @throws IllegalArgumentException if {@code out} has too little room
   * @see #finish(short[], int)
   */
  public int finish(float[] out, int outOffset) {
    int written = 0;
    if (engaged) {
      begin(out.length, outOffset, 0);
      long end = historyStart + historyFrames;
      padSilence();
      written = drainTo(out, outOffset, end);
    }
    reset();
    return written;
  }

  // Silence past the end, as much as the filter's half span reads.
  private void padSilence() {
    int frames = MAX_HALF + 1;
    makeRoom(frames);
    int to = historyFrames * channels;
    Arrays.fill(history, to, to + frames * channels, 0f);
    historyFrames += frames;
  }

  private void checkRange(int length, int offset, int frames) {
    if (offset < 0 || frames < 0 || (long) offset + (long) frames * channels > length) {
      throw new IllegalArgumentException("frames " + frames + " from offset " + offset
          + " reach outside the array of " + length + " samples");
    }
  }

  // Takes up a newly set ratio, the output position carrying on, and checks that `out` has room
  // for what `frames` input frames can give.
  private void begin(int outLength, int outOffset, int frames) {
    Plan next = planned;
    if (next != plan) {
      double position = originFraction + made * plan.ratio;
      double whole = Math.floor(position);
      originFrame += (long) whole;
      originFraction = position - whole;
      made = 0;
      plan = next;
    }
    long room = (long) maxOutputFrames(frames, plan.ratio) * channels;
    if (outOffset < 0 || outOffset > outLength || outLength - outOffset < room) {
      throw new IllegalArgumentException("the output array needs room for " + room
          + " samples from offset " + outOffset + ", it has " + (outLength - outOffset));
    }
  }

  // Makes room for `frames` more input frames and returns the sample index where they go.
  private int beginChunk(int frames) {
    engaged = true;
    makeRoom(frames);
    return historyFrames * channels;
  }

  // Drops the history the next output frame no longer reads, so that `frames` more fit.
  private void makeRoom(int frames) {
    if (historyFrames + frames <= capacityFrames)
      return;
    double position = originFraction + made * plan.ratio;
    long firstNeeded = originFrame + (long) Math.floor(position) - MAX_HALF;
    int drop = (int) Math.max(0, Math.min(historyFrames, firstNeeded - historyStart));
    System.arraycopy(history, drop * channels, history, 0, (historyFrames - drop) * channels);
    historyStart += drop;
    historyFrames -= drop;
  }

  // Computes every output frame the history allows (and, when `end` is set, whose span ends by
  // input frame `end`) into `output` and copies them out as 16-bit samples.
  private int drainTo(short[] out, int outOffset, long end) {
    int frames = compute(end);
    int samples = frames * channels;
    for (int i = 0; i < samples; i++) {
      float v = output[i];
      out[outOffset + i] = (short) Math.max(-32768, Math.min(32767, Math.round(v)));
    }
    return frames;
  }

  private int drainTo(float[] out, int outOffset, long end) {
    int frames = compute(end);
    System.arraycopy(output, 0, out, outOffset, frames * channels);
    return frames;
  }

  private int compute(long end) {
    Kernel kernel = plan.kernel;
    double ratio = plan.ratio;
    int half = kernel.half;
    int taps = kernel.taps;
    long available = historyStart + historyFrames;
    int frames = 0;
    int limit = output.length / channels;
    while (frames < limit) {
      double position = originFraction + made * ratio;
      double whole = Math.floor(position);
      long frame = originFrame + (long) whole;
      double fraction = position - whole;
      if (frame + half >= available)
        break;
      if (end != Long.MAX_VALUE && (frame - end) + fraction + ratio / 2 > 0)
        break;
      double phase = fraction * PHASES;
      int row = (int) phase;
      float weight = (float) (phase - row);
      int rowStart = row * taps;
      int first = (int) (frame - half + 1 - historyStart) * channels;
      float[] c = kernel.coefficients;
      if (channels == 1)
        output[frames] = mono(c, kernel.slopes, rowStart, weight, history, first, taps);
      else if (weight != 0)
        stereo(c, kernel.slopes, rowStart, weight, history, first, taps, output, 2 * frames);
      else
        stereoOnRow(c, rowStart, history, first, taps, output, 2 * frames);
      frames++;
      made++;
    }
    return frames;
  }

  // One stereo output frame from taps frames of x from index `first` on, with the coefficients
  // of the row at `q` moved `weight` of the way to the next row. Four partial sums per channel
  // keep the multiply-adds independent of each other.
  private static void stereo(float[] c, float[] d, int q, float weight, float[] x, int first,
      int taps, float[] out, int at) {
    float left0 = 0, left1 = 0, left2 = 0, left3 = 0;
    float right0 = 0, right1 = 0, right2 = 0, right3 = 0;
    int k = 0;
    for (; k + 3 < taps; k += 4) {
      int i = first + 2 * k;
      int j = q + k;
      float h0 = Math.fma(weight, d[j], c[j]);
      float h1 = Math.fma(weight, d[j + 1], c[j + 1]);
      float h2 = Math.fma(weight, d[j + 2], c[j + 2]);
      float h3 = Math.fma(weight, d[j + 3], c[j + 3]);
      left0 = Math.fma(h0, x[i], left0);
      right0 = Math.fma(h0, x[i + 1], right0);
      left1 = Math.fma(h1, x[i + 2], left1);
      right1 = Math.fma(h1, x[i + 3], right1);
      left2 = Math.fma(h2, x[i + 4], left2);
      right2 = Math.fma(h2, x[i + 5], right2);
      left3 = Math.fma(h3, x[i + 6], left3);
      right3 = Math.fma(h3, x[i + 7], right3);
    }
    for (; k < taps; k++) {
      float h = Math.fma(weight, d[q + k], c[q + k]);
      left0 = Math.fma(h, x[first + 2 * k], left0);
      right0 = Math.fma(h, x[first + 2 * k + 1], right0);
    }
    out[at] = (left0 + left1) + (left2 + left3);
    out[at + 1] = (right0 + right1) + (right2 + right3);
  }

  // The same when the phase falls on the row itself (integer ratios and their halves).
  private static void stereoOnRow(
      float[] c, int q, float[] x, int first, int taps, float[] out, int at) {
    float left0 = 0, left1 = 0, left2 = 0, left3 = 0;
    float right0 = 0, right1 = 0, right2 = 0, right3 = 0;
    int k = 0;
    for (; k + 3 < taps; k += 4) {
      int i = first + 2 * k;
      int j = q + k;
      left0 = Math.fma(c[j], x[i], left0);
      right0 = Math.fma(c[j], x[i + 1], right0);
      left1 = Math.fma(c[j + 1], x[i + 2], left1);
      right1 = Math.fma(c[j + 1], x[i + 3], right1);
      left2 = Math.fma(c[j + 2], x[i + 4], left2);
      right2 = Math.fma(c[j + 2], x[i + 5], right2);
      left3 = Math.fma(c[j + 3], x[i + 6], left3);
      right3 = Math.fma(c[j + 3], x[i + 7], right3);
    }
    for (; k < taps; k++) {
      left0 = Math.fma(c[q + k], x[first + 2 * k], left0);
      right0 = Math.fma(c[q + k], x[first + 2 * k + 1], right0);
    }
    out[at] = (left0 + left1) + (left2 + left3);
    out[at + 1] = (right0 + right1) + (right2 + right3);
  }

  private static float mono(
      float[] c, float[] d, int q, float weight, float[] x, int first, int taps) {
    float sum0 = 0, sum1 = 0, sum2 = 0, sum3 = 0;
    int k = 0;
    for (; k + 3 < taps; k += 4) {
      int i = first + k;
      int j = q + k;
      sum0 = Math.fma(Math.fma(weight, d[j], c[j]), x[i], sum0);
      sum1 = Math.fma(Math.fma(weight, d[j + 1], c[j + 1]), x[i + 1], sum1);
      sum2 = Math.fma(Math.fma(weight, d[j + 2], c[j + 2]), x[i + 2], sum2);
      sum3 = Math.fma(Math.fma(weight, d[j + 3], c[j + 3]), x[i + 3], sum3);
    }
    for (; k < taps; k++) sum0 = Math.fma(Math.fma(weight, d[q + k], c[q + k]), x[first + k], sum0);
    return (sum0 + sum1) + (sum2 + sum3);
  }

  private record Plan(double ratio, Kernel kernel) {}

  // The filter of one ratio: PHASES + 1 rows of `taps` coefficients, row r holding the kernel at
  // offsets k - half + 1 - r / PHASES from the output position (k = 0 .. taps - 1), and the
  // difference to the next row, so that a fractional phase costs one multiply-add per tap.
  private static final class Kernel {
    static final Kernel UPSAMPLING = new Kernel(1.0);

    final double ratio;
    final int half;
    final int taps;
    final float[] coefficients;
    final float[] slopes;

    Kernel(double ratio) {
      this.ratio = ratio;
      double stretch = Math.max(1.0, ratio);
      this.half = (int) Math.ceil(HALF_SPAN * stretch);
      this.taps = 2 * half;
      // Cut-off in cycles per input frame, midway through the transition band.
      double cutoff = 0.5 * (1 + PASS_EDGE) / 2 / stretch;
      double[] rows = new double[(PHASES + 1) * taps];
      double norm = besselI0(KAISER_BETA);
      for (int r = 0; r <= PHASES; r++) {
        for (int k = 0; k < taps; k++) {
          double t = k - half + 1 - (double) r / PHASES;
          double u = t / half;
          double window = u * u < 1 ? besselI0(KAISER_BETA * Math.sqrt(1 - u * u)) / norm : 0;
          double x = 2 * cutoff * t;
          double sinc = x == 0 ? 1 : Math.sin(Math.PI * x) / (Math.PI * x);
          rows[r * taps + k] = 2 * cutoff * sinc * window;
        }
      }
      coefficients = new float[PHASES * taps];
      slopes = new float[PHASES * taps];
      for (int i = 0; i < PHASES * taps; i++) {
        coefficients[i] = (float) rows[i];
        slopes[i] = (float) (rows[i + taps] - rows[i]);
      }
    }

    private static double besselI0(double x) {
      double sum = 1;
      double term = 1;
      double quarter = x * x / 4;
      for (int k = 1; term > 1e-17 * sum; k++) {
        term *= quarter / ((double) k * k);
        sum += term;
      }
      return sum;
    }
  }
}
