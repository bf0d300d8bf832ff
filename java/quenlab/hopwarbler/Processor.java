package quenlab.hopwarbler;

import java.util.Arrays;
import java.util.Objects;

/**
 * A time-stretching audio processor over the native library: plays 16-bit PCM faster or slower
 * without changing its pitch, moves its key without changing its speed ({@link #setPitch}), and on
 * the way removes the centre voice, rebalances or folds the channels to mono, equalises, applies a
 * gain, and keeps a note spectrum and a peak meter.
 *
 * <pre>{@code
 * try (Processor p = Processor.open(44100, 2)) {
 *   p.setSpeed(1.25);                        // 25 % faster, same pitch
 *   p.setPitch(-3);                          // three semitones lower, same speed
 *   for (short[] block : blocks) sink.write(p.process(block, 0, block.length / 2));
 *   sink.write(p.flush());                   // the tail; the stream is complete
 * }
 * }</pre>
 *
 * <h2>Format</h2>
 *
 * {@link #open(int, int)} plans the frame size and the hops per frame when each stream starts, from
 * the speed in force then ({@link Quality#BEST}); {@link #open(int, int, Quality)} takes another
 * preset and {@link #open(int, int, int, int)} a format of the caller's. A running stream keeps
 * its format whatever the speed does.
 *
 * <h2>One processor per process</h2>
 *
 * The native library keeps all of its state process-wide: it serves one stream at a time. Only one
 * {@code Processor} can therefore be open in a JVM; {@link #open} throws {@link
 * IllegalStateException} while another one is open, and {@link #close} frees the slot. Opening sets
 * every native setting back to this class's defaults, so nothing leaks from one processor to the
 * next. Code that drives {@link NativeInterface} directly at the same time interferes with an open
 * processor.
 *
 * <h2>Blocks, latency and length</h2>
 *
 * {@link #process} accepts any number of frames. The processor buffers them and hands the native
 * driver only whole analysis hops ({@code frameSize / overSampling} frames), one per call, asking
 * for exactly the synthesis hop's {@code stepOut} frames back, so every frame it returns is freshly
 * synthesised; the output therefore does not depend on how the input was cut into blocks. The
 * synthesis hop alternates between the two multiples of 4 around {@code hop / speed} (the two whole
 * values for hops under 32 frames), so that the output owes exactly {@code 1 / effectiveSpeed()}
 * frames per input frame and never strays from that by more than two frames. The native vocoder lays the frame whose window is centred on input
 * frame t at output frame {@code t / speed +} {@link #latencyFrames()}; the processor discards
 * those leading frames, so output frame n corresponds to input frame {@code n * effectiveSpeed()}.
 * The same number of frames is held back at any moment (plus up to one hop of buffered input), and
 * {@link #flush} drains them.
 *
 * <p>A whole stream fed at one speed comes out with exactly {@code round(inputFrames /
 * effectiveSpeed())} frames (rounding halves up). When the speed changes during a stream, each
 * input frame counts at the speed in force when it was given to {@link #process}: the total is the
 * rounded sum of {@code 1 / effectiveSpeed()} over the frames. A change of speed is seamless: the
 * vocoder keeps its phases running across it, and the processor corrects the level of the frames
 * that overlap frames laid at the old speed, so a steady tone keeps its level through it. The delay
 * stays the one of the first hop, so after a change to a slower speed the last {@code (hop /
 * newSpeed - hop / oldSpeed) * (frameSize - 2 hop) / (2 hop)} frames of audio fall past the end (a
 * few milliseconds), and after a change to a faster speed as many frames of silence end the
 * stream.
 *
 * <h2>Level</h2>
 *
 * The native overlap normalisation passes a steady tone at 0.75 of its level (and a constant at
 * 1.25). The processor compensates by setting the native pre-amplifier to {@code 10^(gainDb / 20) /
 * 0.75}, so that at a gain of 0 dB a tone leaves as loud as it came in. That normalisation holds
 * for frames laid at one synthesis hop that divides the frame at least three times; where the
 * overlapping frames were laid otherwise (through a change of speed, at hops that alternate, or
 * above a third of the frame) the processor corrects each output sample to the overlap the frames
 * really give. Above 0.95 of full scale the native soft limiter bends the output, and the clamp
 * stops it at &plusmn;32767.
 *
 * <h2>Threads</h2>
 *
 * {@link #process}, {@link #flush} and {@link #close} are meant for one processing thread (they are
 * serialised if several threads call them). Every setter and every getter may be called from any
 * thread while another thread processes; a setting takes effect no later than the next hop the
 * native driver receives, and the processing thread carries it in without a click: a change of
 * gain, balance or mono along a 20 ms ramp, a change of the voice-removal amount (switching it on
 * or off included) and of the equaliser in small steps over a few hops (at least 40 ms). A stream
 * starts with every setting as it was last set.
 */

public final class Processor implements AutoCloseable {
  /** FFT frame size in samples of {@link Quality#FAST}, the least work. */
  public static final int DEFAULT_FRAME_SIZE = 2048;

  /** Analysis hops per frame of {@link Quality#FAST}. */
  public static final int DEFAULT_OVER_SAMPLING = 4;

  /** Gain of the native driver for a steady tone, which the pre-amplifier compensates. */
  public static final double TONE_GAIN = 0.75;

  /** Smallest 16-bit output sample that the soft limiter touched: trunc(0.95 &times; 32767). */
  public static final int LIMITER_SAMPLE = 31128;

  /** Output sample that the clamp produces at full scale. */
  public static final int CLAMP_SAMPLE = 32767;

  /** Allowed gain range of {@link #setGainDb}, in dB. */
  public static final double MIN_GAIN_DB = -96.0;

  /** Upper end of the allowed gain range of {@link #setGainDb}, in dB. */
  public static final double MAX_GAIN_DB = 24.0;

  /** Highest sample rate {@link #open} accepts, in Hz. */
  public static final int MAX_SAMPLE_RATE = 1_000_000;

  /** Lowest key change {@link #setPitch} accepts, in semitones. */
  public static final double MIN_PITCH = -12.0;

  /** Highest key change {@link #setPitch} accepts, in semitones. */
  public static final double MAX_PITCH = 12.0;

  // The equaliser table has half the frame size of the first stream of the process; the largest
  // frame (4096) makes 2048 gains, and the native side reads only as many as its table holds.
  private static final int EQ_LENGTH = 2048;
  // A steady sinusoid of amplitude A settles its band at 0.3125 A on the vocoder's output scale.
  private static final double SPECTRUM_TONE_GAIN = 0.3125;
  // Length of the ramps that carry a change of gain, balance or mono, in seconds of audio.
  private static final double RAMP_SECONDS = 0.02;
  // Highest level a hop's native output may be expected to reach at the pre-amplifier the
  // processor picks for it: a margin below the limiter's 0.95.
  private static final double HEADROOM = 0.8;


  private static final Object SLOT = new Object();
  private static Processor openProcessor; // guarded by SLOT
  private static int firstFrameSize; // guarded by SLOT: frame size of the first open

  private final NativeInterface dsp;
  private final int sampleRate;
  private final int channels;
  // The preset that picks the format when each stream starts, or null for a format fixed at open.
  private final Quality quality;

  // The format: fixed at open, or planned from the speed until a stream starts and then kept for
  // it. Written under settingsLock (and streamLock once a stream runs), read by any thread.
  private volatile int frameSize;
  private volatile int overSampling;
  private volatile int hop;
  private volatile boolean equaliserFits;
  private volatile boolean formatPending; // written under settingsLock: the next stream plans it
  private int nativeFrameSize; // guarded by streamLock: the format of the last dspInit
  private int nativeOverSampling;
  private EqualizerCurve equaliser; // guarded by settingsLock; null while the equaliser is off

  // Settings; written under settingsLock, read by the processing thread without it.
  private final Object settingsLock = new Object();
  private volatile double speed = 1.0;
  private volatile double pitch;
  private volatile double pitchFactor = 1.0;
  private volatile boolean closed;
  private int balance = 50;
  private boolean mono;
  private double gainDb;
  private BandPass voiceBand; // null while voice removal is off
  private double voiceAmount;

  // Stream state; touched only under streamLock.
  private final Object streamLock = new Object();
  private short[] pending;
  private int pendingFrames;
  private short[] work;
  private short[] silence;
  private boolean started; // the native driver has received the first hop of this stream
  private boolean restartPending; // flush() ended a stream; the next input starts a new one
  private int latency;
  private int toDiscard;
  private long emitLimit = Long.MAX_VALUE;
  private final SampleBuffer out = new SampleBuffer();
  private final Resampler resampler;
  private short[] resampled;
  private final LiveControls controls;
  private final OutputScaler scaler;
  // Sized for the format; made again with the buffers when a stream starts in another one.
  private StepPlanner planner;
  private OverlapGain overlapGain;
  private double[] gains; // per output frame of a hop: the pre-amplifier it should have
  private double[] ratios;
  private float nativePreamp;
  private float lastNativePeak; // native peak of the last hop, at nativePreamp

  // Results, written by the processing thread, read by any thread.
  private volatile double lastIdealStep; // hop / speed of the last hop handed over
  private volatile float lastPeak;
  private volatile float streamPeak;
  private volatile long inputFrames;
  private volatile long outputFrames; // vocoder frames, before the key change's resampler
  private volatile long returnedFrames;
  private volatile long limitedSamples;
  private volatile long clampedSamples;

  private Processor(NativeInterface dsp, int sampleRate, int channels, int frameSize,
      int overSampling, Quality quality) {
    this.dsp = dsp;
    this.sampleRate = sampleRate;
    this.channels = channels;
    this.quality = quality;
    this.formatPending = quality != null;
    this.nativeFrameSize = frameSize;
    this.nativeOverSampling = overSampling;
    this.scaler = new OutputScaler(channels);
    this.controls = new LiveControls(
        dsp, channels, EQ_LENGTH, (int) Math.round(RAMP_SECONDS * sampleRate));
    this.nativePreamp = preampFor(0.0);
    setFormat(frameSize, overSampling);
    allocateBuffers();
    this.lastIdealStep = idealStep(1.0);
    this.resampler = new Resampler(channels, 1.0);
  }

  private void setFormat(int frameSize, int overSampling) {
    this.frameSize = frameSize;
    this.overSampling = overSampling;
    this.hop = frameSize / overSampling;
    this.equaliserFits = frameSize <= firstFrameSize;
  }

  private void allocateBuffers() {
    pending = new short[hop * channels];
    work = new short[Math.max(hop, frameSize) * channels];
    silence = new short[hop * channels];
    double lowestRatio = Math.pow(2.0, MIN_PITCH / 12.0);
    resampled = new short[Resampler.maxOutputFrames(frameSize, lowestRatio) * channels];
    planner = new StepPlanner(hop, frameSize);
    overlapGain = new OverlapGain(frameSize);
    gains = new double[frameSize];
    ratios = new double[frameSize];
    controls.setHop(hop);
  }

  /**
   * Presets of frame size and hops per frame. Frames of 2048 samples resolve low notes finely;
   * frames of 1024 smear attacks less, which fast playback needs most. More hops per frame give
   * purer steady tones and smoother slow-downs for proportionally more work. The frame sizes are
   * those for 44.1 kHz; other rates scale them to the nearest power of two (96 kHz doubles them).
   */
  public enum Quality {
    /** 2048-sample frames with 4 hops: the least work. */
    FAST(2048, 4, Double.POSITIVE_INFINITY),
    /** 2048-sample frames with 8 hops: more work than {@link #FAST}, purer tones. */
    BALANCED(2048, 8, Double.POSITIVE_INFINITY),
    /**
     * The default: 16 hops per frame, frames of 2048 samples up to speed 1.4 and of 1024 from
     * there on; about twice the work of {@link #FAST}.
     */
    BEST(2048, 16, 1.4);

    private final int frameSizeAtCdRate;
    private final int overSampling;
    private final double halfFrameFromSpeed;

    Quality(int frameSizeAtCdRate, int overSampling, double halfFrameFromSpeed) {
      this.frameSizeAtCdRate = frameSizeAtCdRate;
      this.overSampling = overSampling;
      this.halfFrameFromSpeed = halfFrameFromSpeed;
    }

    /**
     * The frame size this preset picks.
     *
     * @param sampleRate the stream's rate in Hz
     * @param speed the playback speed the stream starts at
     * @return a power of two from 64 to 4096
     */
    public int frameSize(int sampleRate, double speed) {
      int atCdRate = speed < halfFrameFromSpeed ? frameSizeAtCdRate : frameSizeAtCdRate / 2;
      long exponent = Math.round(Math.log((double) atCdRate * sampleRate / 44100.0) / Math.log(2));
      return 1 << (int) Math.max(6, Math.min(12, exponent));
    }

    /**
     * The analysis hops per frame this preset picks, before the processor raises them to what a
     * slow speed needs (at least {@code 1 / speed}, so that the output hop fits in the frame).
     *
     * @return the hops per frame
     */
    public int overSampling() {
      return overSampling;
    }
  }

  /**
   * Opens the processor at the {@link Quality#BEST} settings, the frame and hops picked when the
   * stream starts from the speed in force then.
   *
   * @param sampleRate stream rate in Hz, from 4 to {@value #MAX_SAMPLE_RATE}
   * @param channels 1 (mono) or 2 (interleaved stereo, left first)
   * @return the open processor
   * @see #open(int, int, Quality)
   */
  public static Processor open(int sampleRate, int channels) {
    return open(sampleRate, channels, Quality.BEST);
  }

  /**
   * Opens the processor with the frame size and hops that {@code quality} picks for the speed in
   * force when a stream starts: set the speed before the first {@link #process} call (or before the
   * first after a {@link #flush}) and the stream gets the best format for it. Speed changes while
   * the stream runs keep its format. Until a stream starts, {@link #frameSize()}, {@link
   * #overSampling()} and {@link #hop()} report the format planned for the current speed.
   *
   * <p>The frame never exceeds that of the first stream of the process, whose size the native
   * equaliser table keeps (see {@link #setEqualizer}).
   *
   * @param sampleRate stream rate in Hz, from 4 to {@value #MAX_SAMPLE_RATE}
   * @param channels 1 (mono) or 2 (interleaved stereo, left first)
   * @param quality the preset that picks the frame size and the hops per frame
   * @return the open processor
   * @throws IllegalArgumentException if an argument is outside its range
   * @throws IllegalStateException if another processor is open in this process
   * @see #open(int, int, int, int)
   */
  public static Processor open(int sampleRate, int channels, Quality quality) {
    Objects.requireNonNull(quality, "quality");
    checkFormat(sampleRate, channels, 4, 1);
    synchronized (SLOT) {
      // The first stream of the process sets up the native equaliser table: give it the largest
      // frame the preset can pick, so that every later choice fits.
      int largest = Math.max(quality.frameSize(sampleRate, 0.5), quality.frameSize(sampleRate, 2));
      int frame = firstFrameSize == 0 ? largest : Math.min(largest, firstFrameSize);
      return openNative(sampleRate, channels, frame, quality.overSampling(), quality);
    }
  }

  /**
   * Opens the processor for one stream format. The speed starts at 1, the gain at 0 dB, the balance
   * centred, mono, voice removal and the equaliser off and the spectrum analyser on.
   *
   * @param sampleRate stream rate in Hz, from 4 to {@value #MAX_SAMPLE_RATE}
   * @param channels 1 (mono) or 2 (interleaved stereo, left first)
   * @param frameSize FFT frame size in samples, a power of two from 4 to 4096; larger frames
   *     resolve low notes better and smear attacks more
   * @param overSampling analysis hops per frame, from 1 to {@code frameSize}; the hop is {@code
   *     frameSize / overSampling} frames (4 is the usual choice; 8 or more keeps slowed-down sound
   *     smoother)
   * @return the open processor; close it to open another
   * @throws IllegalArgumentException if an argument is outside its range
   * @throws IllegalStateException if another processor is open in this process
   * @throws UnsatisfiedLinkError if the native library cannot be loaded
   */
  public static Processor open(int sampleRate, int channels, int frameSize, int overSampling) {
    checkFormat(sampleRate, channels, frameSize, overSampling);
    synchronized (SLOT) {
      return openNative(sampleRate, channels, frameSize, overSampling, null);
    }
  }

  private static void checkFormat(int sampleRate, int channels, int frameSize, int overSampling) {
    if (sampleRate < 4 || sampleRate > MAX_SAMPLE_RATE) {
      throw new IllegalArgumentException(
          "sampleRate must be from 4 to " + MAX_SAMPLE_RATE + " Hz, got " + sampleRate);
    }
    if (channels != 1 && channels != 2) {
      throw new IllegalArgumentException(
          "channels must be 1 (mono) or 2 (stereo), got " + channels);
    }
    if (frameSize < 4 || frameSize > 4096 || Integer.bitCount(frameSize) != 1) {
      throw new IllegalArgumentException(
          "frameSize must be a power of two from 4 to 4096, got " + frameSize);
    }
    if (overSampling < 1 || overSampling > frameSize) {
      throw new IllegalArgumentException(
          "overSampling must be from 1 to frameSize (" + frameSize + "), got " + overSampling);
    }
  }

  // Called with SLOT held.
  private static Processor openNative(
      int sampleRate, int channels, int frameSize, int overSampling, Quality quality) {
    if (openProcessor != null) {
      throw new IllegalStateException(
          "another Processor is open; the native library serves one stream per process, so"
          + " close the other one first");
    }
    NativeInterface dsp = new NativeInterface();
    dsp.dspInit(frameSize, overSampling, sampleRate, channels);
    if (firstFrameSize == 0)
      firstFrameSize = frameSize;
    Processor processor =
        new Processor(dsp, sampleRate, channels, frameSize, overSampling, quality);
    processor.applyDefaults();
    if (quality != null)
      processor.planFormat(1.0);
    openProcessor = processor;
    return processor;
  }

  // Sets the format fields to what the preset picks for `speed`, within the equaliser table's
  // reach. Called under settingsLock while no stream runs.
  private void planFormat(double speed) {
    int frame = Math.min(quality.frameSize(sampleRate, speed), firstFrameSize);
    int hops = Math.max(quality.overSampling(), (int) Math.ceil(1 / speed - 1e-9));
    setFormat(frame, Math.min(frame, hops));
  }

  private void applyDefaults() {
    dsp.dspSetPreamp(preampFor(0.0));
    dsp.dspPanning(0, 0, 50);
    dsp.dspVoiceRemovalEnable(0);
    dsp.dspVoiceRemovalAmount(0f);
    dsp.dspEQEnable(0);
    float[] flat = new float[EQ_LENGTH];
    Arrays.fill(flat, 1f);
    dsp.dspEQSetBands(flat);
    dsp.dspSpectrumEnable(1);
  }

  /** Releases the process-wide slot, so that another processor can be opened. Idempotent. */
  @Override
  public void close() {
    synchronized (streamLock) {
      synchronized (settingsLock) {
        if (closed)
          return;
        closed = true;
      }
      synchronized (SLOT) {
        if (openProcessor == this)
          openProcessor = null;
      }
    }
  }

  // ---------------------------------------------------------------------------------------------
  // Format

  /** {@return the stream's sample rate in Hz} */
  public int sampleRate() {
    return sampleRate;
  }

  /** {@return the stream's channels: 1 (mono) or 2 (interleaved stereo)} */
  public int channels() {
    return channels;
  }

  /** {@return the FFT frame size in samples} */
  public int frameSize() {
    return frameSize;
  }

  /** {@return the analysis hops per frame} */
  public int overSampling() {
    return overSampling;
  }

  /** {@return the analysis hop in frames: {@code frameSize / overSampling}} */
  public int hop() {
    return hop;
  }

  // ---------------------------------------------------------------------------------------------
  // Speed

  /**
   * Sets the playback speed: 1.25 plays 25 % faster (the output is 1 / 1.25 as long), 0.8 plays
   * slower. The native synthesis hop {@code stepOut} takes, hop by hop, one of the two whole values
   * around {@code hop / speed}, so that the output keeps to the exact speed (see {@link
   * #stepOut()}); the speeds that can be reached run from {@code 1 / overSampling} to {@code hop},
   * and a speed outside that range is applied at its nearest end ({@link #effectiveSpeed()}). The
   * change is seamless: it applies from the next hop, and a steady tone keeps its level through
   * it.
   *
   * <p>When {@code stepOut} reaches half the frame (speed 0.5 and below with an oversampling of 4)
   * only two output frames overlap at each sample; the processor evens out the level their windows
   * give, but open it with an oversampling of 8 or more to slow down that far smoothly.
   *
   * @param speed a finite factor above 0
   * @throws IllegalArgumentException if {@code speed} is not a finite number above 0
   */
  public void setSpeed(double speed) {
    checkSpeed(speed);
    synchronized (settingsLock) {
      checkOpen();
      this.speed = speed;
      if (formatPending)
        planFormat(speed / pitchFactor);
    }
  }

  private static void checkSpeed(double speed) {
    if (!(speed > 0) || Double.isInfinite(speed)) {
      throw new IllegalArgumentException("speed must be a finite factor above 0, got " + speed);
    }
  }

  /** {@return the speed last asked for with {@link #setSpeed}} */
  public double speed() {
    return speed;
  }

  /**
   * {@return the speed the processor really applies: the speed asked for, brought within {@code 1
   * / overSampling} .. {@code hop} times the pitch factor (the range the native synthesis hop of 1
   * .. {@code frameSize} frames allows for the vocoder's stretch). Over any run of hops the output
   * keeps to it within one frame.}
   */
  public double effectiveSpeed() {
    return hop / idealStep() * pitchFactor;
  }

  /**
   * Moves the key by {@code semitones}, fractions allowed, while the speed stays: the vocoder
   * stretches the sound by the pitch factor p = 2<sup>semitones / 12</sup> more than the speed asks
   * (its synthesis hop becomes {@code hop * p / speed} on average), and a {@link Resampler} then
   * plays the result p times faster, so every frequency moves by exactly p and the duration is the
   * speed's. A stream of N frames at one setting comes out with {@code round(round(N * stepOut /
   * hop) / p)} frames, {@code stepOut} being the average synthesis hop, output frame n lining up
   * with input frame {@code n * effectiveSpeed()}. Raising the key slows the stretch down (+12
   * semitones at speed 1 stretches as speed 0.5 does), so what {@link #setSpeed} says about slow
   * speeds and the oversampling applies to {@code speed / p}.
   *
   * <p>At 0 the resampler is out of the path and the output is the vocoder's, sample for sample.
   * Once a stream has been shifted, the resampler stays in its path until {@link #flush}, so that a
   * change back to 0 runs on without a jump; a change during a stream carries the position on, so
   * the sound glides to the new key. The resampler holds back up to {@code 72 max(1, p)} vocoder
   * frames besides {@link #latencyFrames()}, drained by {@link #flush}. The note spectrum follows
   * the key (see {@link #spectrum()}).
   *
   * @param semitones from {@value #MIN_PITCH} to {@value #MAX_PITCH}
   * @throws IllegalArgumentException if {@code semitones} is outside that range or not a number
   */
  public void setPitch(double semitones) {
    if (!(semitones >= MIN_PITCH && semitones <= MAX_PITCH)) {
      throw new IllegalArgumentException("semitones must be from " + MIN_PITCH + " to "
          + MAX_PITCH + ", got " + semitones);
    }
    double factor = Math.pow(2.0, semitones / 12.0);
    synchronized (settingsLock) {
      checkOpen();
      resampler.setRatio(factor);
      pitch = semitones;
      pitchFactor = factor;
      if (formatPending)
        planFormat(speed / factor);
    }
  }

  /** {@return the key change last set with {@link #setPitch}, in semitones} */
  public double pitch() {
    return pitch;
  }

  /**
   * {@return the whole synthesis hop nearest to the vocoder's average one, {@code hop * p /
   * speed}, in frames} Unless that quotient is a whole multiple of 4, the native driver receives,
   * hop by hop, the multiples of 4 just below and just above it (the whole values, for hops under
   * 32 frames), in the proportion that gives the exact speed on average.
   */
  public int stepOut() {
    return (int) Math.round(idealStep());
  }

  /**
   * The number of output frames a whole stream of {@code inputFrames} frames yields at the current
   * speed and key: {@code round(inputFrames * stepOut / hop)} for the vocoder's average synthesis
   * hop {@code stepOut}, divided by the pitch factor and rounded again while the key is changed;
   * {@code round(inputFrames / speed)} wherever the speed is within reach.
   *
   * @param inputFrames the length of the whole input stream in frames, 0 or more
   * @return the length of the whole output stream in frames
   * @throws IllegalArgumentException if {@code inputFrames} is negative
   */
  public long expectedOutputFrames(long inputFrames) {
    if (inputFrames < 0) {
      throw new IllegalArgumentException("inputFrames must be 0 or more, got " + inputFrames);
    }
    long vocoderFrames = Math.round(inputFrames * idealStep() / hop);
    double factor = pitchFactor;
    return factor == 1.0 ? vocoderFrames : Math.round(vocoderFrames / factor);
  }

  /**
   * The delay of the native pipeline in output frames, which the processor removes from the start
   * of the stream and which it holds back until {@link #flush}: {@code frameSize / 2 + stepOut *
   * (frameSize - 2 hop) / (2 hop)} for the vocoder's average synthesis hop {@code stepOut},
   * rounded; {@code frameSize - hop} at speed 1. Once a stream has started, the value of its first
   * hop; before, the value for the current speed.
   *
   * @return the latency in output frames
   */
  public int latencyFrames() {
    synchronized (streamLock) {
      return started && !restartPending ? latency : latencyFor(idealStep());
    }
  }

  private int latencyFor(double step) {
    return (int) Math.round(frameSize / 2.0 + step * (frameSize - 2.0 * hop) / (2.0 * hop));
  }

  // The synthesis hop the speed asks for in the current format.
  private double idealStep(double speed) {
    return StepPlanner.idealStep(speed, hop, frameSize);
  }

  // The vocoder's average synthesis hop for the current speed and key: the stretch is the speed
  // over the pitch factor, which the resampler then makes up.
  private double idealStep() {
    return idealStep(speed / pitchFactor);
  }

  // ---------------------------------------------------------------------------------------------
  // Effects

  /**
   * Removes the centre voice: each channel loses the opposite channel passed through a band-pass of
   * {@code lowHz} .. {@code highHz} (a second-order Butterworth, see {@link BandPass}), weighted by
   * {@code amount}. What both channels share in that band, usually the lead voice, cancels; sound
   * panned to one side stays but leaks, inverted, into the other side within the band. Stereo only.
   *
   * @param amount 0 (nothing removed) to 1 (full weight)
   * @param lowHz lower band edge in Hz, above 0 and below {@code highHz}
   * @param highHz upper band edge in Hz, below the Nyquist frequency
   * @throws IllegalArgumentException if an argument is outside its range
   * @throws IllegalStateException if the stream is mono
   */
  public void setVoiceRemoval(double amount, double lowHz, double highHz) {
    if (!(amount >= 0 && amount <= 1)) {
      throw new IllegalArgumentException("amount must be from 0 to 1, got " + amount);
    }
    BandPass band = BandPass.design(lowHz, highHz, sampleRate);
    if (channels != 2) {
      throw new IllegalStateException("voice removal needs a stereo stream; this one is mono");
    }
    synchronized (settingsLock) {
      checkOpen();
      controls.setVoiceRemoval(band, amount);
      voiceBand = band;
      voiceAmount = amount;
    }
  }

  /** Switches voice removal off. */
  public void disableVoiceRemoval() {
    synchronized (settingsLock) {
      checkOpen();
      controls.setVoiceRemoval(null, 0);
      voiceBand = null;
      voiceAmount = 0;
    }
  }

  /** {@return the band of the voice removal, or null while it is off} */
  public BandPass voiceRemovalBand() {
    synchronized (settingsLock) {
      return voiceBand;
    }
  }

  /** {@return the amount of the voice removal, 0 while it is off} */
  public double voiceRemovalAmount() {
    synchronized (settingsLock) {
      return voiceAmount;
    }
  }

  /**
   * Sets the stereo balance: 50 leaves the channels as they are, 0 plays the right channel on both
   * sides, 100 the left channel on both sides, with linear steps between (at 25 the left side
   * becomes half left, half right). Mono folding, when on, takes precedence. No effect on a mono
   * stream.
   *
   * @param level 0..100
   * @throws IllegalArgumentException if {@code level} is outside 0..100
   */
  public void setBalance(int level) {
    if (level < 0 || level > 100) {
      throw new IllegalArgumentException("balance level must be from 0 to 100, got " + level);
    }
    synchronized (settingsLock) {
      checkOpen();
      balance = level;
      applyPanning();
    }
  }

  /** {@return the stereo balance, 0..100 (50 centred)} */
  public int balance() {
    synchronized (settingsLock) {
      return balance;
    }
  }

  /**
   * Folds both channels to their average (on) or keeps them apart (off). No effect in mono.
   *
   * @param mono true to fold to mono
   */
  public void setMono(boolean mono) {
    synchronized (settingsLock) {
      checkOpen();
      this.mono = mono;
      applyPanning();
    }
  }

  /** {@return whether both channels are folded to their average} */
  public boolean mono() {
    synchronized (settingsLock) {
      return mono;
    }
  }

  private void applyPanning() {
    controls.setRemix(balance, mono);
  }

  /**
   * Sets the output gain. At 0 dB a steady tone leaves at its input level: the pre-amplifier is set
   * to {@code 10^(gainDb / 20) / 0.75}, which undoes the 0.75 tone gain of the native overlap
   * normalisation.
   *
   * @param gainDb from {@value #MIN_GAIN_DB} to {@value #MAX_GAIN_DB} dB
   * @throws IllegalArgumentException if {@code gainDb} is outside that range
   */
  public void setGainDb(double gainDb) {
    if (!(gainDb >= MIN_GAIN_DB && gainDb <= MAX_GAIN_DB)) {
      throw new IllegalArgumentException(
          "gainDb must be from " + MIN_GAIN_DB + " to " + MAX_GAIN_DB + " dB, got " + gainDb);
    }
    synchronized (settingsLock) {
      checkOpen();
      this.gainDb = gainDb;
      controls.setGain(Math.pow(10.0, gainDb / 20.0));
    }
  }

  /** {@return the output gain in dB} */
  public double gainDb() {
    synchronized (settingsLock) {
      return gainDb;
    }
  }

  private static float preampFor(double gainDb) {
    return (float) (Math.pow(10.0, gainDb / 20.0) / TONE_GAIN);
  }

  /**
   * Sets the equaliser from gains in dB at a few frequencies: each FFT bin gets the gain at its
   * centre frequency, interpolated linearly in dB over log frequency between the points and held
   * at the first point's gain below it and at the last point's gain above it.
   *
   * @param hz frequencies in Hz, strictly increasing, above 0 and at most the Nyquist frequency
   * @param gainDb one gain per frequency, from -60 to +60 dB
   * @throws IllegalArgumentException if the arrays are empty, differ in length or hold a value
   *     outside its range
   * @throws IllegalStateException if this processor's frame is larger than the first stream's of
   *     the process: the native gain table keeps the size that stream gave it and cannot cover the
   *     upper bins
   */
  public void setEqualizer(double[] hz, double[] gainDb) {
    EqualizerCurve curve = new EqualizerCurve(hz, gainDb, sampleRate / 2.0);
    if (!equaliserFits) {
      throw new IllegalStateException("the native equaliser table was sized for a frame of "
          + firstFrameSize + " by the first stream of this process and cannot serve a frame of "
          + frameSize);
    }
    synchronized (settingsLock) {
      checkOpen();
      controls.setEqualizer(curve.binGains(frameSize, sampleRate, EQ_LENGTH));
      equaliser = curve;
    }
  }

  /** Switches the equaliser off and makes its table flat again. */
  public void clearEqualizer() {
    synchronized (settingsLock) {
      checkOpen();
      controls.setEqualizer(null);
      equaliser = null;
    }
  }

  // ---------------------------------------------------------------------------------------------
  // Meters

  /**
   * Switches the note spectrum analyser on or off; while off, {@link #spectrum()} stays frozen.
   *
   * @param enabled true to analyse the output
   */
  public void setSpectrumEnabled(boolean enabled) {
    synchronized (settingsLock) {
      checkOpen();
      dsp.dspSpectrumEnable(enabled ? 1 : 0);
    }
  }

  /**
   * The note spectrum of the stretched output before the output gain: 72 bands, C1 to B6 (see
   * {@link #noteName}), scaled so that a steady tone of amplitude A at a band's frequency (full
   * scale 1.0) reads about A once the analyser has settled; a stereo stream is analysed as the mean
   * of its channels. The analyser keeps about 16384 output frames of history and refreshes 32
   * times per second of output. It takes every fourth sample from the start of each synthesised
   * hop, so the processor makes every synthesis hop of 32 frames or more a multiple of 4 (the
   * average still gives the exact speed); shorter hops that are not leave small gaps in its
   * history, and steady tones then read lower. While the key is changed, the bands move with it
   * (see {@link Notes#shift}), so they show what is heard.
   *
   * @return the 72 band levels, a new array
   */
  public float[] spectrum() {
    float[] bands = new float[Notes.BANDS];
    synchronized (settingsLock) {
      checkOpen();
      dsp.dspGetSpectrum(bands, Notes.BANDS);
    }
    // The analyser sees the vocoder's output, whose tones are 0.75 * frameSize / (2 stepOut) times
    // the input amplitude, with stepOut hop / speed on average.
    double scale = 1.0 / (SPECTRUM_TONE_GAIN * TONE_GAIN * frameSize / (2.0 * lastIdealStep));
    for (int i = 0; i < bands.length; i++) bands[i] = (float) (bands[i] * scale);
    return Notes.shift(bands, pitch);
  }

  /**
   * Name of a spectrum band: "C1", "C#1", ... "B6".
   *
   * @param band 0..71
   * @return the note's name
   * @throws IllegalArgumentException if {@code band} is outside 0..71
   */
  public static String noteName(int band) {
    return Notes.name(band);
  }

  /**
   * Nominal frequency of a spectrum band in Hz (A4 = band 45 = 440 Hz).
   *
   * @param band 0..71
   * @return the frequency in Hz
   * @throws IllegalArgumentException if {@code band} is outside 0..71
   */
  public static double bandFrequency(int band) {
    return Notes.frequency(band);
  }

  /**
   * Peak absolute level of the output during the last {@link #process} or {@link #flush} call,
   * before the soft limit, with the gain applied (1.0 = full scale).
   *
   * @return the peak level
   */
  public float peakLevel() {
    return lastPeak;
  }

  /**
   * {@return what the current stream has done so far (the last stream's figures after a {@link
   * #flush})}
   */
  public Stats stats() {
    return new Stats(inputFrames, returnedFrames, streamPeak, limitedSamples, clampedSamples);
  }

  /**
   * Counts of one stream.
   *
   * @param inputFrames frames given to {@link #process}
   * @param outputFrames frames returned by {@link #process} and {@link #flush}
   * @param peakLevel highest native block peak before the soft limit (1.0 = full scale)
   * @param limitedSamples output samples (per channel) the soft limiter touched: those with
   *     |s| &ge; {@value #LIMITER_SAMPLE}, that is a level of at least 0.95; inferred from the
   *     vocoder's output (before a key change's resampler), so a sample the limiter bent back below
   *     that value is not counted
   * @param clampedSamples output samples at &plusmn;{@value #CLAMP_SAMPLE}, inferred from the
   *     output in the same way (a sample of exactly full scale counts too)
   */
  public record Stats(long inputFrames, long outputFrames, float peakLevel, long limitedSamples,
      long clampedSamples) {}

  // ---------------------------------------------------------------------------------------------
  // Processing

  /**
   * Processes all frames of {@code interleaved}.
   *
   * @param interleaved 16-bit PCM, left and right alternating in stereo
   * @return the output frames that are complete, interleaved
   * @see #process(short[], int, int)
   */
  public short[] process(short[] interleaved) {
    Objects.requireNonNull(interleaved, "interleaved");
    return process(interleaved, 0, interleaved.length / channels);
  }

  /**
   * Feeds {@code frames} frames and returns the output frames that are complete. Any block size
   * works, including 0 and 1; the output is the same however the input is cut. About {@link
   * #latencyFrames()} output frames are held back until later calls or {@link #flush}.
   *
   * @param interleaved 16-bit PCM, left and right alternating in stereo
   * @param offset array index of the first sample of the first frame
   * @param frames number of frames to take from {@code offset} on
   * @return the new output frames, interleaved like the input (possibly empty)
   * @throws IllegalArgumentException if {@code offset} or {@code frames} reach outside the array
   * @throws IllegalStateException if the processor is closed
   */
  public short[] process(short[] interleaved, int offset, int frames) {
    Objects.requireNonNull(interleaved, "interleaved");
    if (offset < 0 || offset > interleaved.length) {
      throw new IllegalArgumentException(
          "offset must be from 0 to the array length " + interleaved.length + ", got " + offset);
    }
    if (frames < 0 || (long) frames * channels > interleaved.length - offset) {
      throw new IllegalArgumentException("frames must be from 0 to "
          + (interleaved.length - offset) / channels + " (the frames of " + channels
          + " samples after offset " + offset + "), got " + frames);
    }
    synchronized (streamLock) {
      checkOpen();
      if (frames > 0)
        beginStream();
      out.clear();
      float peak = 0f;
      int position = offset;
      int remaining = frames;
      inputFrames += frames;
      double step = idealStep();
      while (remaining > 0) {
        if (pendingFrames == 0 && remaining >= hop) {
          planner.feed(hop, step);
          peak = Math.max(peak, dispatch(interleaved, position, step));
          position += hop * channels;
          remaining -= hop;
        } else {
          int take = Math.min(remaining, hop - pendingFrames);
          System.arraycopy(
              interleaved, position, pending, pendingFrames * channels, take * channels);
          planner.feed(take, step);
          pendingFrames += take;
          position += take * channels;
          remaining -= take;
          if (pendingFrames == hop) {
            peak = Math.max(peak, dispatch(pending, 0, step));
            pendingFrames = 0;
          }
        }
      }
      lastPeak = peak;
      return out.toArray();
    }
  }

  /**
   * Ends the stream: drains the frames held back and returns them, so that the whole stream has
   * come out with {@code round(inputFrames / effectiveSpeed())} frames (see the class comment for
   * speed changes). The next {@link #process} call starts a new stream, with the settings kept.
   *
   * @return the last output frames, interleaved (empty if nothing was fed)
   * @throws IllegalStateException if the processor is closed
   */
  public short[] flush() {
    synchronized (streamLock) {
      checkOpen();
      out.clear();
      if (restartPending || (!started && pendingFrames == 0))
        return out.toArray();
      double step = idealStep();
      long target = Math.round(planner.owedFrames());
      emitLimit = target;
      float peak = 0f;
      if (pendingFrames > 0) {
        Arrays.fill(pending, pendingFrames * channels, pending.length, (short) 0);
        planner.feed(hop - pendingFrames, step);
        peak = dispatch(pending, 0, step);
        pendingFrames = 0;
      }
      while (outputFrames < target) {
        planner.feed(hop, step);
        peak = Math.max(peak, dispatch(silence, 0, step));
      }
      int tail = resampler.finish(resampled, 0);
      out.append(resampled, 0, tail * channels);
      returnedFrames += tail;
      emitLimit = Long.MAX_VALUE;
      restartPending = true;
      synchronized (settingsLock) {
        if (quality != null) {
          formatPending = true;
          planFormat(speed / pitchFactor);
        }
      }
      lastPeak = peak;
      return out.toArray();
    }
  }

  // Readies the native driver for the stream that the first input frames start: the format the
  // preset plans for the speed in force, and after a flush a vocoder with an empty history (the
  // first hop loads the voice filter again, whose history survives the native set-up). Returns at
  // once while a stream runs.
  private void beginStream() {
    if (!restartPending && !formatPending)
      return;
    synchronized (settingsLock) {
      if (!restartPending && !formatPending)
        return;
      formatPending = false;
      boolean reformat = frameSize != nativeFrameSize || overSampling != nativeOverSampling;
      if (restartPending || reformat) {
        dsp.dspInit(frameSize, overSampling, sampleRate, channels);
        nativeFrameSize = frameSize;
        nativeOverSampling = overSampling;
      }
      // The gains were worked out for the frame planned when the equaliser was set.
      if (equaliser != null)
        controls.setEqualizer(equaliser.binGains(frameSize, sampleRate, EQ_LENGTH));
      if (reformat)
        allocateBuffers();
    }
    if (restartPending) {
      restartPending = false;
      started = false;
      pendingFrames = 0;
      planner.reset();
      overlapGain.reset();
      lastNativePeak = 0;
      inputFrames = 0;
      outputFrames = 0;
      returnedFrames = 0;
      streamPeak = 0f;
      limitedSamples = 0;
      clampedSamples = 0;
    }
  }

  // Hands one hop from source[position...] to the native driver with the synthesis hop the planner
  // gives it, asking for exactly that many frames back, and emits them. The live controls move on
  // by the hop, and the output gets the gain its frames should have: the native pre-amplifier
  // takes a gain within the hop's range, and the output scaler brings every frame to its own. The
  // largest keeps the native quantisation finest; when the last hop's peak shows that it would
  // push the signal into the native limiter, the largest that keeps clear of it (and at least the
  // smallest), since the scaler cannot undo a clamp.
  // `idealStep` is the current speed's hop / speed. Returns the block's peak. One hop per native
  // call, also because in stereo the analyser stores the left channel's frames of a block one
  // after the other and then averages every right-channel frame into the newest position only, so
  // blocks of several hops would mix unrelated frames in the spectrum.
  private float dispatch(short[] source, int position, double idealStep) {
    int step = planner.nextStep();
    System.arraycopy(source, position, work, 0, hop * channels);
    boolean fresh = !started;
    if (fresh) {
      started = true;
      latency = latencyFor(idealStep);
      toDiscard = latency;
    }
    controls.beforeHop(work, hop, fresh);
    overlapGain.lay(step, gains);
    controls.outputGains(gains, step);
    double least = Double.POSITIVE_INFINITY;
    double most = 0;
    for (int i = 0; i < step; i++) {
      least = Math.min(least, gains[i]);
      most = Math.max(most, gains[i]);
    }
    double loudest = lastNativePeak / nativePreamp; // the last hop's peak at a gain of 1
    double chosen = loudest * most < HEADROOM ? most : Math.max(least, HEADROOM / loudest);
    float preamp = (float) chosen;
    if (preamp != nativePreamp) {
      dsp.dspSetPreamp(preamp);
      nativePreamp = preamp;
    }
    dsp.dspProcess(work, hop, step, 0f);
    for (int i = 0; i < step; i++) ratios[i] = gains[i] == chosen ? 1.0 : gains[i] / preamp;
    scaler.scale(work, ratios, step, channels);
    lastIdealStep = idealStep;
    float peak = dsp.dspGetMaxLevel();
    lastNativePeak = peak;
    if (peak > streamPeak)
      streamPeak = peak;
    emit(step);
    return peak;
  }

  // Appends work[0 .. frames) to the output, minus the frames of latency still to discard and the
  // frames past the end of a flushed stream, and counts the limited and clamped samples.
  private void emit(int frames) {
    int skip = Math.min(toDiscard, frames);
    toDiscard -= skip;
    int count = (int) Math.min(frames - skip, emitLimit - outputFrames);
    if (count <= 0)
      return;
    int from = skip * channels;
    int to = from + count * channels;
    long limited = 0;
    long clamped = 0;
    for (int i = from; i < to; i++) {
      int magnitude = Math.abs(work[i]);
      if (magnitude >= LIMITER_SAMPLE) {
        limited++;
        if (magnitude >= CLAMP_SAMPLE)
          clamped++;
      }
    }
    deliver(from, count);
    outputFrames += count;
    limitedSamples += limited;
    clampedSamples += clamped;
  }

  // Hands `frames` vocoder frames from work[from...] to the output: as they are while the key is
  // unchanged, else through the resampler, which then stays in the path until the stream ends.
  private void deliver(int from, int frames) {
    if (pitchFactor == 1.0 && !resampler.engaged()) {
      resampler.pass(work, from, frames);
      out.append(work, from, frames * channels);
      returnedFrames += frames;
    } else {
      int made = resampler.process(work, from, frames, resampled, 0);
      out.append(resampled, 0, made * channels);
      returnedFrames += made;
    }
  }

  private void checkOpen() {
    if (closed)
      throw new IllegalStateException("the processor is closed");
  }

  // A growable array of samples, reused between calls.
  private static final class SampleBuffer {
    private short[] data = new short[8192];
    private int size;

    void clear() {
      size = 0;
    }

    void append(short[] source, int from, int count) {
      if (size + count > data.length) {
        data = Arrays.copyOf(data, Math.max(data.length * 2, size + count));
      }
      System.arraycopy(source, from, data, size, count);
      size += count;
    }

    short[] toArray() {
      return Arrays.copyOf(data, size);
    }
  }
}
