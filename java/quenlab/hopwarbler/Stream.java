package quenlab.hopwarbler;

import java.util.Objects;

/**
 * The processing side of a processor: runs the streams through its native engine, one analysis
 * hop per native call, on the processing thread (see {@link Settings} for the threads and locks).
 *
 * <p>Each hop gets the synthesis hop the {@link StepPlanner} gives it, and the engine makes exactly
 * that many vocoder frames of it. The engine's output stage brings them to their level (the
 * overlap really laid, the gain), changes the key, limits and rounds them to 16 bits; this class
 * tells it how many frames of latency to drop and where the stream ends, and counts what comes
 * back.
 */
final class Stream implements HopCutter.Sink {
  private final Object lock = new Object(); // the stream lock
  private final NativeEngine dsp;
  private final Settings settings;
  private final int sampleRate;
  private final int channels;
  private final HopCutter cutter;
  private final LiveControls controls;
  private final LatencyTrim trim = new LatencyTrim();
  private final Meters meters;
  private final SampleBuffer out = new SampleBuffer();
  private final float[] blockPeak = new float[1];

  // Sized for the format; made again when a stream starts in another one.
  private Format format;
  private Format nativeFormat; // of the last native set-up
  private StepPlanner planner;
  private short[] work;
  private short[] made; // the output stage's frames of one hop, or of the end of a stream

  private boolean started; // the engine has received the first hop of this stream
  private boolean restartPending; // flush() ended a stream; the next input starts a new one
  private double idealStep; // the current speed's hop / speed, for the call under way
  private float peak; // of the call under way

  Stream(NativeSlot slot, Settings settings, int sampleRate, int channels) {
    this.dsp = slot.dsp();
    this.settings = settings;
    this.sampleRate = sampleRate;
    this.channels = channels;
    this.cutter = new HopCutter(channels);
    this.controls = new LiveControls(dsp, gain -> dsp.setGain((float) gain), settings, channels,
        NativeFacts.EQ_LENGTH, (int) Math.round(LiveControls.RAMP_SECONDS * sampleRate));
    this.nativeFormat = slot.format();
    resize(nativeFormat);
    this.meters = new Meters(nativeFormat.idealStep(1.0));
  }

  // Called right after the engine's set-up for `format`.
  private void resize(Format format) {
    this.format = format;
    int hop = format.hop();
    cutter.resize(hop);
    work = new short[hop * channels];
    int room = Math.max(dsp.stageRoom(hop, format.frameSize()), dsp.stageRoom(0, 1));
    made = new short[room * channels];
    planner = new StepPlanner(hop, format.frameSize());
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
      deliver(dsp.stageFinish(made, blockPeak));
      trim.finish();
      restartPending = true;
      settings.endStream();
      meters.setLastPeak(peak);
      return out.toArray();
    }
  }

  /**
   * Drops the running stream, the frames held back and the latency still to trim included; the
   * next input starts a new stream with the settings then in force, as after {@link #flush}.
   */
  void reset() {
    synchronized (lock) {
      settings.checkOpen();
      if (restartPending || (!started && cutter.pendingFrames() == 0))
        return;
      trim.finish();
      restartPending = true;
      settings.endStream();
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

  // Readies the engine for the stream that the first input frames start: the format the preset
  // plans for the speed in force, and after a flush a vocoder with an empty history (the first hop
  // loads the voice filter again, whose history survives the set-up). Returns at once while a
  // stream runs.
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
      trim.reset();
      meters.reset();
    }
  }

  @Override
  public void owe(int frames) {
    planner.feed(frames, idealStep);
  }

  // Hands one hop to the engine with the synthesis hop the planner gives it, less the frames of
  // latency still to drop and those past the end of a flushed stream, and emits what comes out.
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
    int skip = trim.skip(step);
    int keep = Math.max(0, trim.keep(step - skip));
    meters.hop(idealStep);
    deliver(dsp.stageProcess(work, hop, step, skip, keep, made, blockPeak));
  }

  // Appends the first `frames` frames of `made` to the output, with the peak the engine measured
  // for them, and counts the limited and clamped samples.
  private void deliver(int frames) {
    if (frames <= 0)
      return;
    int samples = frames * channels;
    meters.countLimits(made, 0, samples);
    out.append(made, 0, samples);
    meters.addReturned(frames);
    meters.addPeak(blockPeak[0]);
    peak = Math.max(peak, blockPeak[0]);
  }
}
