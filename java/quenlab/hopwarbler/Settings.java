package quenlab.hopwarbler;

/**
 * Every setting of a processor, each stored once, and the format planned for the next stream.
 *
 * <h2>Threads and locks of a processor</h2>
 *
 * This comment is the one place that says which thread does what in a {@link Processor}.
 *
 * <ul>
 *   <li><b>Control threads</b> (any number) call the setters and getters. A setter takes the
 *       settings lock (this object's monitor), checks that the processor is open, and replaces an
 *       immutable snapshot ({@link Sound} or {@link Motion}) or replans the pending {@link
 *       FormatPlan}; the only work it does under the lock is its own (designing the equaliser table
 *       or the key change's resampler filter). A getter reads a volatile snapshot and takes no
 *       lock. {@code setSpectrumEnabled} and {@code spectrum} call the native analyser, whose bands
 *       and switch are atomic; the setter does so under the settings lock, so that it cannot
 *       outlive {@link Processor#close}.
 *   <li><b>The processing thread</b> calls {@code process}, {@code flush}, {@code reset} and
 *       {@code close}; {@link
 *       Stream} serialises them on its stream lock, and everything a stream owns (the hop cutter,
 *       the planner, the output level, the latency trim, the key change, the meters' counts, the
 *       live controls' ramps) is touched only under it. It takes the settings lock only when a
 *       stream starts, to fix its format, and when it ends, to
 *       plan the next one; while a stream runs it reads the volatile snapshots alone. It sets the
 *       native driver up and allocates outside the settings lock, so a control thread never waits
 *       for the processing thread's work, and a running stream never waits for a setter's.
 *   <li>Every native call except the analyser's is made by the processing thread (or by {@link
 *       NativeSlot} while the processor opens), so the native settings change only between
 *       blocks; {@link LiveControls} carries each new setting in along its ramp.
 *   <li>Results the processing thread publishes for control threads (peaks, counts, the latency of
 *       the running stream, the last synthesis hop) are volatile fields, written only by it.
 *   <li>Lock order: the stream lock, then the settings lock.
 * </ul>
 */
final class Settings {
  /** The settings that shape the sound, which {@link LiveControls} ramps in. */
  record Sound(int balance, boolean mono, double gainDb, BandPass voiceBand, double voiceAmount,
      EqualizerCurve equaliser, float[] equaliserTable) {
    static final Sound DEFAULTS = new Sound(50, false, 0.0, null, 0.0, null, null);

    /** The linear gain of {@link #gainDb}. */
    double amplitude() {
      return Math.pow(10.0, gainDb / 20.0);
    }
  }

  /** The speed and the key change. */
  record Motion(double speed, double pitch, double pitchFactor) {
    /** The vocoder's stretch: the speed over the pitch factor, which the resampler makes up. */
    double stretch() {
      return speed / pitchFactor;
    }
  }

  private final int sampleRate;
  private final FormatPlan plan;
  private volatile Sound sound = Sound.DEFAULTS;
  private volatile Motion motion = new Motion(1.0, 0.0, 1.0);
  private volatile boolean closed;
  private volatile Processor.Formants formants = Processor.DEFAULT_FORMANTS;
  private volatile int features = (1 << Processor.Feature.values().length) - 1; // a bit each

  Settings(int sampleRate, FormatPlan plan) {
    this.sampleRate = sampleRate;
    this.plan = plan;
  }

  Sound sound() {
    return sound;
  }

  Motion motion() {
    return motion;
  }

  /** The format of the running stream, or the one planned for the next. */
  Format format() {
    return plan.format();
  }

  boolean closed() {
    return closed;
  }

  /** Throws if the processor is closed. */
  void checkOpen() {
    if (closed)
      throw new IllegalStateException("the processor is closed");
  }

  /** Marks the processor closed; returns false if it already was. */
  synchronized boolean close() {
    if (closed)
      return false;
    closed = true;
    return true;
  }

  /** The vocoder's average synthesis hop for the current speed and key. */
  double idealStep() {
    return plan.format().idealStep(motion.stretch());
  }

  /** See {@link Processor#effectiveSpeed()}. */
  double effectiveSpeed() {
    Motion m = motion;
    Format f = plan.format();
    return f.hop() / f.idealStep(m.stretch()) * m.pitchFactor();
  }

  /** See {@link Processor#expectedOutputFrames}. */
  long expectedOutputFrames(long inputFrames) {
    if (inputFrames < 0) {
      throw new IllegalArgumentException("inputFrames must be 0 or more, got " + inputFrames);
    }
    Motion m = motion;
    Format f = plan.format();
    long vocoderFrames = countable(inputFrames * f.idealStep(m.stretch()) / f.hop(), inputFrames);
    double factor = m.pitchFactor();
    return factor == 1.0 ? vocoderFrames : countable(vocoderFrames / factor, inputFrames);
  }

  // Rounds a frame count; Math.round alone would clamp one past the long range to
  // Long.MAX_VALUE, a false answer.
  private static long countable(double frames, long inputFrames) {
    if (!(frames < 0x1p63)) {
      throw new IllegalArgumentException(
          "the output of " + inputFrames + " input frames is too long to count in a long");
    }
    return Math.round(frames);
  }

  void setSpeed(double speed) {
    if (!(speed > 0) || Double.isInfinite(speed)) {
      throw new IllegalArgumentException("speed must be a finite factor above 0, got " + speed);
    }
    synchronized (this) {
      checkOpen();
      Motion m = motion;
      motion = new Motion(speed, m.pitch(), m.pitchFactor());
      plan.replan(motion.stretch());
    }
  }

  /** Sets the key change; {@code engine}'s output stage takes the new factor under the same lock. */
  void setPitch(double semitones, NativeEngine engine) {
    if (!(semitones >= Processor.MIN_PITCH && semitones <= Processor.MAX_PITCH)) {
      throw new IllegalArgumentException("semitones must be from " + Processor.MIN_PITCH + " to "
          + Processor.MAX_PITCH + ", got " + semitones);
    }
    double factor = Planning.pitchFactor(semitones);
    synchronized (this) {
      checkOpen();
      if (!engine.setPitchRatio(factor))
        throw new OutOfMemoryError("hopwarbler: no memory for the key change's filter");
      motion = new Motion(motion.speed(), semitones, factor);
      plan.replan(motion.stretch());
    }
  }

  /** Sets the formant handling; {@code engine} takes it under the same lock. */
  synchronized void setFormants(Processor.Formants value, NativeEngine engine) {
    checkOpen();
    engine.setFormantsKept(value == Processor.Formants.KEEP);
    formants = value;
  }

  Processor.Formants formants() {
    return formants;
  }

  synchronized void setFeature(Processor.Feature feature, boolean on) {
    checkOpen();
    int bit = 1 << feature.ordinal();
    features = on ? features | bit : features & ~bit;
  }

  boolean feature(Processor.Feature feature) {
    return (features & 1 << feature.ordinal()) != 0;
  }

  /** The refinements that are on, a bit per {@link Processor.Feature} ordinal. */
  int features() {
    return features;
  }

  void setBalance(int level) {
    if (level < 0 || level > 100) {
      throw new IllegalArgumentException("balance level must be from 0 to 100, got " + level);
    }
    synchronized (this) {
      checkOpen();
      Sound s = sound;
      sound = new Sound(level, s.mono(), s.gainDb(), s.voiceBand(), s.voiceAmount(),
          s.equaliser(), s.equaliserTable());
    }
  }

  synchronized void setMono(boolean mono) {
    checkOpen();
    Sound s = sound;
    sound = new Sound(s.balance(), mono, s.gainDb(), s.voiceBand(), s.voiceAmount(),
        s.equaliser(), s.equaliserTable());
  }

  void setGainDb(double gainDb) {
    if (!(gainDb >= Processor.MIN_GAIN_DB && gainDb <= Processor.MAX_GAIN_DB)) {
      throw new IllegalArgumentException("gainDb must be from " + Processor.MIN_GAIN_DB + " to "
          + Processor.MAX_GAIN_DB + " dB, got " + gainDb);
    }
    synchronized (this) {
      checkOpen();
      Sound s = sound;
      sound = new Sound(s.balance(), s.mono(), gainDb, s.voiceBand(), s.voiceAmount(),
          s.equaliser(), s.equaliserTable());
    }
  }

  /** Voice removal of {@code amount} in a band of {@code lowHz .. highHz} on a stereo stream. */
  void setVoiceRemoval(double amount, double lowHz, double highHz, int channels) {
    if (!(amount >= 0 && amount <= 1)) {
      throw new IllegalArgumentException("amount must be from 0 to 1, got " + amount);
    }
    BandPass band = BandPass.design(lowHz, highHz, sampleRate);
    if (channels != 2) {
      throw new IllegalStateException("voice removal needs a stereo stream; this one is mono");
    }
    setVoiceBand(band, amount);
  }

  void disableVoiceRemoval() {
    setVoiceBand(null, 0);
  }

  private synchronized void setVoiceBand(BandPass band, double amount) {
    checkOpen();
    Sound s = sound;
    sound = new Sound(s.balance(), s.mono(), s.gainDb(), band, amount, s.equaliser(),
        s.equaliserTable());
  }

  /** The equaliser curve, or null to switch it off; its table is made for the current frame. */
  synchronized void setEqualizer(EqualizerCurve curve) {
    checkOpen();
    Sound s = sound;
    sound = new Sound(s.balance(), s.mono(), s.gainDb(), s.voiceBand(), s.voiceAmount(), curve,
        curve == null ? null : tableFor(curve, plan.format()));
  }

  /** Switches the native analyser on or off, while the processor is open. */
  synchronized void setSpectrumEnabled(NativeInterface dsp, boolean enabled) {
    checkOpen();
    dsp.dspSpectrumEnable(enabled ? 1 : 0);
  }

  /** The native analyser's bands, unscaled, while the processor is open. */
  float[] readSpectrum(NativeInterface dsp) {
    checkOpen();
    float[] bands = new float[Notes.BANDS];
    dsp.dspGetSpectrum(bands, Notes.BANDS); // atomic on the native side: no lock needed
    return bands;
  }

  private float[] tableFor(EqualizerCurve curve, Format format) {
    return curve.binGains(format.frameSize(), sampleRate, NativeFacts.EQ_LENGTH);
  }

  /**
   * Called by the processing thread before the input of a stream: when a new stream starts ({@code
   * restart}) or the format of the first one is still pending, fixes the format, fits the
   * equaliser table to it and returns it; otherwise returns null, the stream running on.
   */
  Format startStream(boolean restart) {
    // A running stream passes without the lock, so that a setter's work never holds it up.
    if (!restart && !plan.pending())
      return null;
    synchronized (this) {
      return fixFormat(restart);
    }
  }

  private Format fixFormat(boolean restart) {
    if (!restart && !plan.pending())
      return null;
    Format format = plan.fix();
    Sound s = sound;
    if (s.equaliser() != null) {
      sound = new Sound(s.balance(), s.mono(), s.gainDb(), s.voiceBand(), s.voiceAmount(),
          s.equaliser(), tableFor(s.equaliser(), format));
    }
    return format;
  }

  /** Called by the processing thread when a stream ends: the next one plans its format anew. */
  synchronized void endStream() {
    plan.reopen(motion.stretch());
  }
}
