package quenlab.hopwarbler;

import java.util.Objects;

/**
 * The processing side of a processor: runs the streams through the native driver, one analysis
 * hop per native call, on the processing thread (see {@link Settings} for the threads and locks).
 *
 * <p>Each hop gets the synthesis hop the {@link StepPlanner} gives it, and the native driver is
 * asked for exactly that many frames back, so every frame it returns is freshly synthesised.
 */
final class Stream implements HopCutter.Sink {
  private final Object lock = new Object(); // the stream lock
  private final NativeInterface dsp;
  private final Settings settings;
  private final int sampleRate;
  private final int channels;
  private final HopCutter cutter;
  private final LiveControls controls;
  private final OutputLevel level;
  private final LatencyTrim trim = new LatencyTrim();
  private final KeyChange key;
  private final Meters meters;
  private final SampleBuffer out = new SampleBuffer();

  // Sized for the format; made again when a stream starts in another one.
  private Format format;
  private Format nativeFormat; // of the last native set-up
  private StepPlanner planner;
  private short[] work;

  private boolean started; // the native driver has received the first hop of this stream
  private boolean restartPending; // flush() ended a stream; the next input starts a new one
  private double idealStep; // the current speed's hop / speed, for the call under way
  private float peak; // of the call under way

  Stream(NativeSlot slot, Settings settings, int sampleRate, int channels, KeyChange key) {
    this.dsp = slot.dsp();
    this.settings = settings;
    this.sampleRate = sampleRate;
    this.channels = channels;
    this.key = key;
    this.cutter = new HopCutter(channels);
    this.level = new OutputLevel(dsp, channels);
    this.controls = new LiveControls(dsp, settings, channels, NativeFacts.EQ_LENGTH,
        (int) Math.round(LiveControls.RAMP_SECONDS * sampleRate));
    this.nativeFormat = slot.format();
    resize(nativeFormat);
    this.meters = new Meters(nativeFormat.idealStep(1.0));
  }

  private void resize(Format format) {
    this.format = format;
    int hop = format.hop();
    cutter.resize(hop);
    work = new short[Math.max(hop, format.frameSize()) * channels];
    key.resize(format.frameSize());
    planner = new StepPlanner(hop, format.frameSize());
    level.resize(format.frameSize());
    controls.setHop(hop);
  }

  Meters meters() {
    return meters;
  }

  /** {@return the latency of the running stream, or -1 while none runs} Any thread. */
  int runningLatency() {
    return trim.latency();
  }

  /** Feeds {@code frames} frames and returns the output frames that are complete. */
  short[] process(short[] interleaved, int offset, int frames) {
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
    synchronized (lock) {
      settings.checkOpen();
      if (frames > 0)
        begin();
      out.clear();
      peak = 0f;
      meters.addInput(frames);
      idealStep = currentIdealStep();
      cutter.cut(interleaved, offset, frames, this);
      meters.setLastPeak(peak);
      return out.toArray();
    }
  }

  /** Ends the stream and returns the frames held back. */
  short[] flush() {
    synchronized (lock) {
      settings.checkOpen();
      out.clear();
      if (restartPending || (!started && cutter.pendingFrames() == 0))
        return out.toArray();
      idealStep = currentIdealStep();
      long target = Math.round(planner.owedFrames());
      trim.endAt(target);
      peak = 0f;
      cutter.flush(this);
      while (trim.emitted() < target) {
        owe(format.hop());
        hop(cutter.silence(), 0);
      }
      meters.addReturned(key.finish(out));
      trim.finish();
      restartPending = true;
      settings.endStream();
      meters.setLastPeak(peak);
      return out.toArray();
    }
  }

  /** Closes the processor once the call under way is done; {@code slot} is freed. */
  void close(NativeSlot slot) {
    synchronized (lock) {
      if (settings.close())
        slot.release();
    }
  }

  private double currentIdealStep() {
    return settings.format().idealStep(settings.motion().stretch());
  }

  // Readies the native driver for the stream that the first input frames start: the format the
  // preset plans for the speed in force, and after a flush a vocoder with an empty history (the
  // first hop loads the voice filter again, whose history survives the native set-up). Returns at
  // once while a stream runs.
  private void begin() {
    Format next = settings.startStream(restartPending);
    if (next == null)
      return;
    boolean reformat = !next.equals(nativeFormat);
    if (restartPending || reformat) {
      dsp.dspInit(next.frameSize(), next.overSampling(), sampleRate, channels);
      nativeFormat = next;
    }
    if (reformat)
      resize(next);
    if (restartPending) {
      restartPending = false;
      started = false;
      cutter.clear();
      planner.reset();
      level.reset();
      trim.reset();
      meters.reset();
    }
  }

  @Override
  public void owe(int frames) {
    planner.feed(frames, idealStep);
  }

  // Hands one hop to the native driver with the synthesis hop the planner gives it, and emits
  // the frames it makes.
  @Override
  public void hop(short[] source, int position) {
    int hop = format.hop();
    int step = planner.nextStep();
    System.arraycopy(source, position, work, 0, hop * channels);
    boolean fresh = !started;
    if (fresh) {
      started = true;
      trim.start(format.latency(idealStep));
    }
    controls.beforeHop(work, hop, fresh);
    level.beforeHop(step, controls);
    dsp.dspProcess(work, hop, step, 0f);
    float nativePeak = dsp.dspGetMaxLevel();
    level.afterHop(work, step, nativePeak);
    meters.hop(idealStep);
    float hopPeak = emit(step, nativePeak * (float) level.largestRatio());
    meters.addPeak(hopPeak);
    peak = Math.max(peak, hopPeak);
  }

  // Appends work[0 .. frames) to the output, minus the frames of latency still to discard and the
  // frames past the end of a flushed stream, and counts the limited and clamped samples. Returns
  // the peak of the frames kept: that of their samples, or the native peak before the limiter,
  // {@code limitedPeak}, brought to their gain, where the limiter touched them. The native peak
  // alone would count the frames discarded too, and the gain they are brought to afterwards.
  private float emit(int frames, float limitedPeak) {
    int skip = trim.skip(frames);
    int count = trim.keep(frames - skip);
    if (count <= 0)
      return 0f;
    int from = skip * channels;
    int largest = meters.countLimits(work, from, from + count * channels);
    meters.addReturned(key.deliver(work, from, count, settings.motion().pitchFactor(), out));
    float samplePeak = largest / 32768f; // as a 16-bit sample reads: -32768 is full scale
    return largest >= NativeFacts.LIMITER_SAMPLE ? Math.max(samplePeak, limitedPeak) : samplePeak;
  }
}
