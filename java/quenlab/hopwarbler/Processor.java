package quenlab.hopwarbler;

import java.util.Objects;

/**
 * A time-stretching audio processor over the native library: plays 16-bit PCM faster or slower
 * without changing its pitch, moves its key without changing its speed ({@link #setPitch}), and on
 * the way removes the centre voice, rebalances or folds the channels to mono, equalises, applies a
 * gain, and keeps a note spectrum and a peak meter. The package overview says how it works.
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
 * <p>Any number of processors can be open at once, each on a native engine of its own: two
 * processors on two threads give each exactly what it gives alone. {@link #process}, {@link
 * #flush}, {@link #reset} and {@link #close} belong to one processing thread;
 * every setter and getter may be called from any thread while it processes and returns without
 * waiting for it. The package overview says more of both.
 */
public final class Processor implements AutoCloseable {
  /** FFT frame size in samples of {@link Quality#FAST}, the least work. */
  public static final int DEFAULT_FRAME_SIZE = 2048;
  /** Analysis hops per frame of {@link Quality#FAST}. */
  public static final int DEFAULT_OVER_SAMPLING = 4;
  /**
   * Gain of the raw interface's overlap normalisation for a steady tone laid at one hop (a
   * processor's engine corrects it to 1).
   */
  public static final double TONE_GAIN = NativeFacts.TONE_GAIN;
  /** Smallest 16-bit output sample counted as touched by the soft limiter (0.95 of full scale). */
  public static final int LIMITER_SAMPLE = NativeFacts.LIMITER_SAMPLE;
  /** Output sample that the clamp produces at full scale. */
  public static final int CLAMP_SAMPLE = NativeFacts.CLAMP_SAMPLE;
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

  private final NativeSlot slot;
  private final int sampleRate;
  private final int channels;
  private final Settings settings;
  private final Stream stream;

  private Processor(NativeSlot slot, int sampleRate, int channels, Quality quality) {
    this.slot = slot;
    this.sampleRate = sampleRate;
    this.channels = channels;
    this.settings = new Settings(sampleRate,
        new FormatPlan(slot.format(), quality, sampleRate));
    this.stream = new Stream(slot, settings, sampleRate, channels);
    slot.dsp().setFormantsKept(DEFAULT_FORMANTS == Formants.KEEP);
  }

  /**
   * Presets of frame size and hops per frame. Long frames resolve low notes finely, and the attack
   * handling ({@link Feature#ATTACKS}) keeps their attacks sharp; more hops give purer tones for
   * more work. The frame sizes are those of 44.1 kHz; other rates scale them to the nearest power
   * of two up to 4096 (22.05 kHz halves them).
   */
  public enum Quality {
    /** 2048-sample frames with 4 hops: the least work. */
    FAST(2048, 4),
    /** 4096-sample frames with 8 hops: low notes resolved as in {@link #BEST}, half its work. */
    BALANCED(4096, 8),
    /** The default: 4096-sample frames with 16 hops, the purest tones and bass. */
    BEST(4096, 16);

    private final int frameSizeAtCdRate;
    private final int overSampling;

    Quality(int frameSizeAtCdRate, int overSampling) {
      this.frameSizeAtCdRate = frameSizeAtCdRate;
      this.overSampling = overSampling;
    }

    /**
     * The frame size this preset picks, the same at every speed.
     *
     * @param sampleRate the stream's rate in Hz
     * @param speed the playback speed the stream starts at
     * @return a power of two from 64 to 4096
     */
    public int frameSize(int sampleRate, double speed) {
      return FormatPlan.scaleFrame(frameSizeAtCdRate, sampleRate);
    }

    /**
     * {@return the hops per frame this preset picks, before slow speeds raise them ({@link
     * Planning#overSampling})}
     */
    public int overSampling() {
      return overSampling;
    }
  }

  /**
   * Refinements of the native engine beyond the plain peak-locked phase vocoder. Every processor
   * starts with all of them on, in every preset; {@link #setFeature} turns one off, for instance to
   * compare. Each takes effect from the next hop the native driver receives.
   */
  public enum Feature {
    /**
     * Both channels of a stereo stream share their spectral peaks and phase turns, so that every
     * bin keeps the phase difference between left and right that the input had: a centred voice
     * or bass stays centred, the image does not widen and the low octaves keep their coherence.
     */
    LINKED_STEREO,
    /**
     * Attacks (drum hits, plucks) come out as sharp as they went in: the bins that rise with an
     * attack restart from the analysis phases and are laid so that every overlapping frame places
     * the attack on the same output sample; steady partials keep their phases.
     */
    ATTACKS,
    /**
     * A spectral peak needs to stand above only the next bin on each side, so that partials two
     * bins apart (close low notes) keep their own phases.
     */
    FINE_PEAKS,
    /**
     * The mid and the side of the output are kept at the input's level over about half a second,
     * which the stretch would otherwise lower by up to a few dB in noise, reverberation and decays;
     * a steady tone keeps its level exactly.
     */
    LEVEL_KEEPING
  }

  /**
   * {@return a processor opened at the {@link Quality#BEST} settings} See {@link #open(int, int,
   * Quality)}.
   *
   * @param sampleRate stream rate in Hz, from 4 to {@value #MAX_SAMPLE_RATE}
   * @param channels 1 (mono) or 2 (interleaved stereo, left first)
   */
  public static Processor open(int sampleRate, int channels) {
    return open(sampleRate, channels, Quality.BEST);
  }

  /**
   * Opens the processor with the format {@code quality} picks for the speed in force when a stream
   * starts; until then {@link #frameSize()} and {@link #overSampling()} report the one planned for
   * the current speed.
   *
   * @param sampleRate stream rate in Hz, from 4 to {@value #MAX_SAMPLE_RATE}
   * @param channels 1 (mono) or 2 (interleaved stereo, left first)
   * @param quality the preset that picks the frame size and the hops per frame
   * @return the open processor
   * @throws IllegalArgumentException if an argument is outside its range
   */
  public static Processor open(int sampleRate, int channels, Quality quality) {
    Objects.requireNonNull(quality, "quality");
    FormatPlan.check(sampleRate, channels, NativeFacts.MIN_FRAME_SIZE, 1);
    return open(sampleRate, channels, FormatPlan.largestFrame(quality, sampleRate),
        quality.overSampling(), quality);
  }

  /**
   * Opens the processor for one stream format. The speed starts at 1, the gain at 0 dB, the balance
   * centred, mono, voice removal and the equaliser off and the spectrum analyser on.
   *
   * @param sampleRate stream rate in Hz, from 4 to {@value #MAX_SAMPLE_RATE}
   * @param channels 1 (mono) or 2 (interleaved stereo, left first)
   * @param frameSize FFT frame size in samples, a power of two from 4 to 4096
   * @param overSampling analysis hops per frame, from 1 to {@code frameSize}
   * @return the open processor; close it to release its native engine
   * @throws IllegalArgumentException if an argument is outside its range
   * @throws UnsatisfiedLinkError if the native library cannot be loaded
   */
  public static Processor open(int sampleRate, int channels, int frameSize, int overSampling) {
    FormatPlan.check(sampleRate, channels, frameSize, overSampling);
    return open(sampleRate, channels, frameSize, overSampling, null);
  }

  private static Processor open(
      int sampleRate, int channels, int frameSize, int overSampling, Quality quality) {
    NativeSlot slot = NativeSlot.take(sampleRate, channels, frameSize, overSampling);
    try {
      return new Processor(slot, sampleRate, channels, quality);
    } catch (RuntimeException | Error e) {
      slot.release();
      throw e;
    }
  }

  /**
   * Ends the processor and releases its native engine, once a call under way on another thread
   * has returned. Idempotent.
   */
  @Override
  public void close() {
    stream.close(slot);
  }

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
    return settings.format().frameSize();
  }

  /** {@return the analysis hops per frame} */
  public int overSampling() {
    return settings.format().overSampling();
  }

  /** {@return the analysis hop in frames: {@code frameSize / overSampling}} */
  public int hop() {
    return settings.format().hop();
  }

  /**
   * Sets the playback speed: 1.25 plays 25 % faster (the output is 1 / 1.25 as long), 0.8 plays
   * slower. Speeds from {@code 1 / overSampling} to {@code hop} can be reached; others apply at the
   * nearest end ({@link #effectiveSpeed()}). The change is seamless and applies from the next hop
   * (see "Speed" in the package overview).
   *
   * @param speed a finite factor above 0
   * @throws IllegalArgumentException if {@code speed} is not a finite number above 0
   */
  public void setSpeed(double speed) {
    settings.setSpeed(speed);
  }

  /** {@return the speed last asked for with {@link #setSpeed}} */
  public double speed() {
    return settings.motion().speed();
  }

  /**
   * {@return the speed really applied: the one asked for, within the range the synthesis hop of 1
   * .. {@code frameSize} frames allows (see {@link Planning#lowestSpeed})} The output keeps to it
   * within one frame over any run of hops.
   */
  public double effectiveSpeed() {
    return settings.effectiveSpeed();
  }

  /**
   * Moves the key by {@code semitones}, fractions allowed, while the speed stays: the vocoder
   * stretches by the pitch factor p = 2<sup>semitones / 12</sup> more than the speed asks and a
   * resampler plays the result p times faster (see "Key change" in the package overview).
   * At 0 the output is the vocoder's, sample for sample.
   *
   * @param semitones from {@value #MIN_PITCH} to {@value #MAX_PITCH}
   * @throws IllegalArgumentException if {@code semitones} is outside that range or not a number
   */
  public void setPitch(double semitones) {
    settings.setPitch(semitones, slot.dsp());
  }

  /** {@return the key change last set with {@link #setPitch}, in semitones} */
  public double pitch() {
    return settings.motion().pitch();
  }

  /**
   * What a key change does to the spectral envelope, the resonances (formants) that make a voice
   * sound like itself. Either way the harmonics move with the key.
   */
  public enum Formants {
    /**
     * The envelope stays where it stood in the input: a raised voice keeps its size instead of
     * sounding small and nasal, a lowered one does not turn hollow and boomy. Each frame's envelope
     * is estimated and its bins reshaped before the key change; the phases stay as they were.
     */
    KEEP,
    /** The envelope moves with the pitch, as on a tape played faster or slower. */
    SHIFT
  }

  /**
   * The envelope handling a processor opens with: {@link Formants#SHIFT}, the key change as it
   * was. Keeping brings voices' harmonics much nearer their level at the new key; it is meant for
   * voices and chosen by the host.
   */
  public static final Formants DEFAULT_FORMANTS = Formants.SHIFT;

  /**
   * Keeps the formants in place through the key change ({@link Formants#KEEP}) or moves them with
   * it ({@link Formants#SHIFT}). Any thread; a change while playing fades in over two frames. At no
   * key change both give the same output.
   *
   * @param formants {@link Formants#KEEP} or {@link Formants#SHIFT}
   * @throws NullPointerException if {@code formants} is null
   */
  public void setFormants(Formants formants) {
    settings.setFormants(Objects.requireNonNull(formants, "formants"), slot.dsp());
  }

  /** {@return how the key change treats the formants (see {@link #setFormants})} */
  public Formants formants() {
    return settings.formants();
  }

  /**
   * {@return the whole synthesis hop nearest to the vocoder's average one, {@code hop * p /
   * speed}, in frames} The native driver receives, hop by hop, the multiples of 4 around it (whole
   * values under 32 frames) in the proportion that gives the exact speed.
   */
  public int stepOut() {
    return (int) Math.round(settings.idealStep());
  }

  /**
   * {@return the length in frames of the output of a whole stream of {@code inputFrames} frames at
   * the current speed and key: {@code round(inputFrames * stepOut / hop)} for the average synthesis
   * hop, divided by the pitch factor and rounded again while the key is changed}
   *
   * @param inputFrames the length of the whole input stream in frames, 0 or more
   * @throws IllegalArgumentException if {@code inputFrames} is negative, or the output's length
   *     lies past the range of a long
   */
  public long expectedOutputFrames(long inputFrames) {
    return settings.expectedOutputFrames(inputFrames);
  }

  /**
   * {@return the native pipeline's delay in output frames, which the processor removes from the
   * start of the stream and holds back until {@link #flush}: {@code frameSize / 2 + stepOut *
   * (frameSize - 2 hop) / (2 hop)}, rounded, for the average synthesis hop ({@code frameSize - hop}
   * at speed 1); that of its first hop once a stream has started}
   */
  public int latencyFrames() {
    int running = stream.runningLatency();
    return running >= 0 ? running : settings.format().latency(settings.idealStep());
  }

  /**
   * Removes the centre voice: each channel loses the opposite channel through a band-pass of {@code
   * lowHz} .. {@code highHz} ({@link BandPass}), weighted by {@code amount}. What both share in the
   * band cancels; sound panned to one side leaks, inverted, into the other within it. Stereo only.
   *
   * @param amount 0 (nothing removed) to 1 (full weight)
   * @param lowHz lower band edge in Hz, above 0 and below {@code highHz}
   * @param highHz upper band edge in Hz, below the Nyquist frequency
   * @throws IllegalArgumentException if an argument is outside its range
   * @throws IllegalStateException if the stream is mono
   */
  public void setVoiceRemoval(double amount, double lowHz, double highHz) {
    settings.setVoiceRemoval(amount, lowHz, highHz, channels);
  }

  /** Switches voice removal off. */
  public void disableVoiceRemoval() {
    settings.disableVoiceRemoval();
  }

  /** {@return the band of the voice removal, or null while it is off} */
  public BandPass voiceRemovalBand() {
    return settings.sound().voiceBand();
  }

  /** {@return the amount of the voice removal, 0 while it is off} */
  public double voiceRemovalAmount() {
    return settings.sound().voiceAmount();
  }

  /**
   * Sets the stereo balance: 50 leaves the channels as they are, 0 plays the right channel on both
   * sides, 100 the left one, linearly between (at 25 the left side is half left, half right). The
   * mono fold takes precedence. No effect in mono.
   *
   * @param level 0..100
   * @throws IllegalArgumentException if {@code level} is outside 0..100
   */
  public void setBalance(int level) {
    settings.setBalance(level);
  }

  /** {@return the stereo balance, 0..100 (50 centred)} */
  public int balance() {
    return settings.sound().balance();
  }

  /**
   * Folds both channels to their average (on) or keeps them apart (off). No effect in mono.
   *
   * @param mono true to fold to mono
   */
  public void setMono(boolean mono) {
    settings.setMono(mono);
  }

  /** {@return whether both channels are folded to their average} */
  public boolean mono() {
    return settings.sound().mono();
  }

  /**
   * Sets the output gain. At 0 dB a steady tone leaves at its input level; a new gain glides in
   * over 20 ms.
   *
   * @param gainDb from {@value #MIN_GAIN_DB} to {@value #MAX_GAIN_DB} dB
   * @throws IllegalArgumentException if {@code gainDb} is outside that range
   */
  public void setGainDb(double gainDb) {
    settings.setGainDb(gainDb);
  }

  /** {@return the output gain in dB} */
  public double gainDb() {
    return settings.sound().gainDb();
  }

  /**
   * Sets the equaliser from gains in dB at a few frequencies: each FFT bin gets the gain at its
   * centre, linear in dB over log frequency between the points and held beyond the outer ones.
   *
   * @param hz frequencies in Hz, strictly increasing, above 0 and at most the Nyquist frequency
   * @param gainDb one gain per frequency, from -60 to +60 dB
   * @throws IllegalArgumentException if the arrays are empty, differ in length or hold a value
   *     outside its range
   */
  public void setEqualizer(double[] hz, double[] gainDb) {
    settings.setEqualizer(new EqualizerCurve(hz, gainDb, sampleRate / 2.0));
  }

  /** Switches the equaliser off and makes its table flat again. */
  public void clearEqualizer() {
    settings.setEqualizer(null);
  }

  /**
   * Turns a refinement of the native engine on or off (all are on when a processor opens).
   *
   * @param feature the refinement
   * @param on true to use it
   * @throws NullPointerException if {@code feature} is null
   */
  public void setFeature(Feature feature, boolean on) {
    settings.setFeature(Objects.requireNonNull(feature, "feature"), on);
  }

  /**
   * {@return whether a refinement of the native engine is on}
   *
   * @param feature the refinement
   * @throws NullPointerException if {@code feature} is null
   */
  public boolean feature(Feature feature) {
    return settings.feature(Objects.requireNonNull(feature, "feature"));
  }

  /**
   * Switches the note spectrum analyser on or off; while off, {@link #spectrum()} stays frozen.
   *
   * @param enabled true to analyse the output
   */
  public void setSpectrumEnabled(boolean enabled) {
    settings.setSpectrumEnabled(slot.dsp(), enabled);
  }

  /**
   * The note spectrum of the stretched output before the output gain: 72 bands, C1 to B6 (see
   * {@link #noteName}), scaled so that a steady tone of amplitude A at a band's frequency (full
   * scale 1.0) reads about A once the analyser has settled (see "Note spectrum" in the package
   * overview); while the key is changed, the bands move with it.
   *
   * @return the 72 band levels, a new array
   */
  public float[] spectrum() {
    float[] bands = settings.readSpectrum(slot.dsp());
    stream.meters().scaleSpectrum(bands, frameSize());
    return Notes.shift(bands, pitch());
  }

  /**
   * {@return the name of a spectrum band: "C1", "C#1", ... "B6"}
   *
   * @param band 0..71
   * @throws IllegalArgumentException if {@code band} is outside 0..71
   */
  public static String noteName(int band) {
    return Notes.name(band);
  }

  /**
   * {@return the nominal frequency of a spectrum band in Hz (A4 = band 45 = 440 Hz)}
   *
   * @param band 0..71
   * @throws IllegalArgumentException if {@code band} is outside 0..71
   */
  public static double bandFrequency(int band) {
    return Notes.frequency(band);
  }

  /**
   * {@return the peak absolute level of the frames the last {@link #process} or {@link #flush}
   * call returned (1.0 = full scale); where the soft limiter bent them, their level before it, so
   * that a value above 1.0 tells by how much the gain overdrives the output}
   */
  public float peakLevel() {
    return stream.meters().lastPeak();
  }

  /** {@return what the current stream has done so far (the last one's after a {@link #flush})} */
  public Stats stats() {
    return stream.meters().stats();
  }

  /**
   * Counts of one stream.
   *
   * @param inputFrames frames given to {@link #process}
   * @param outputFrames frames returned by {@link #process} and {@link #flush}
   * @param peakLevel highest level of the frames returned, as {@link #peakLevel()} gives it
   * @param limitedSamples output samples (per channel) the soft limiter touched: those with
   *     |s| &ge; {@value #LIMITER_SAMPLE}, that is a level of about 0.95 or more; inferred from the
   *     output samples, so a sample the limiter bent back below that value is not counted
   * @param clampedSamples output samples at &plusmn;{@value #CLAMP_SAMPLE}, inferred from the
   *     output in the same way (a sample of exactly full scale counts too)
   */
  public record Stats(long inputFrames, long outputFrames, float peakLevel, long limitedSamples,
      long clampedSamples) {}

  /**
   * {@return the complete output frames, interleaved, after all frames of {@code interleaved}}
   * See {@link #process(short[], int, int)}.
   *
   * @param interleaved 16-bit PCM, left and right alternating in stereo
   */
  public short[] process(short[] interleaved) {
    Objects.requireNonNull(interleaved, "interleaved");
    return process(interleaved, 0, interleaved.length / channels);
  }

  /**
   * Feeds {@code frames} frames and returns the output frames that are complete. Any block size
   * works; the output is the same however the input is cut. About {@link #latencyFrames()} output
   * frames are held back until later calls or {@link #flush}.
   *
   * @param interleaved 16-bit PCM, left and right alternating in stereo
   * @param offset array index of the first sample of the first frame
   * @param frames number of frames to take from {@code offset} on
   * @return the new output frames, interleaved like the input (possibly empty)
   * @throws IllegalArgumentException if {@code offset} or {@code frames} reach outside the array
   * @throws IllegalStateException if the processor is closed
   */
  public short[] process(short[] interleaved, int offset, int frames) {
    return stream.process(interleaved, offset, frames);
  }

  /**
   * Ends the stream: drains the frames held back and returns them, so that the whole stream has
   * come out with {@code round(inputFrames / effectiveSpeed())} frames (see the package overview
   * for speed changes). The next {@link #process} call starts a new stream, with the settings kept.
   *
   * @return the last output frames, interleaved (empty if nothing was fed)
   * @throws IllegalStateException if the processor is closed
   */
  public short[] flush() {
    return stream.flush();
  }

  /**
   * Drops the stream under way without draining it: its history and the frames it holds back are
   * gone, and the next {@link #process} call starts a new stream with the settings in force, as
   * after {@link #flush}. A host seeks with it: reset, then feed from the new point on, and the
   * output is exactly that of a freshly opened processor with the same settings fed from there.
   * The processor stays open; the new stream sets the native engine up again in its first call.
   *
   * @throws IllegalStateException if the processor is closed
   */
  public void reset() {
    stream.reset();
  }
}
