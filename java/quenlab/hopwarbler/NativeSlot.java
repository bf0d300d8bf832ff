package quenlab.hopwarbler;

import java.util.Arrays;
import java.util.function.IntUnaryOperator;

/**
 * The one native stream of the process. The native library keeps its state process-wide, so at
 * most one processor holds the slot at a time; taking it sets the native driver up afresh with
 * every setting at its default, so nothing leaks from one processor to the next.
 *
 * <p>The first set-up of the process also sizes the native equaliser table, which keeps half that
 * frame for good: {@link #equaliserReach()} is the largest frame the table serves.
 */
final class NativeSlot {
  private static final Object LOCK = new Object();
  private static NativeSlot holder; // guarded by LOCK
  private static int firstFrameSize; // guarded by LOCK: the frame of the first set-up, or 0

  private final NativeInterface dsp;
  private final Format format;
  private final int equaliserReach;

  private NativeSlot(NativeInterface dsp, Format format, int equaliserReach) {
    this.dsp = dsp;
    this.format = format;
    this.equaliserReach = equaliserReach;
  }

  /**
   * Takes the slot and sets the native driver up for a stream of {@code channels} at {@code
   * sampleRate} in the format whose frame {@code frameFor} picks from the frame of the process's
   * first set-up (0 before there was one), with {@code overSampling} hops.
   *
   * @throws IllegalStateException if another processor holds the slot
   */
  static NativeSlot take(
      int sampleRate, int channels, IntUnaryOperator frameFor, int overSampling) {
    synchronized (LOCK) {
      if (holder != null) {
        throw new IllegalStateException(
            "another Processor is open; the native library serves one stream per process, so"
            + " close the other one first");
      }
      int frame = frameFor.applyAsInt(firstFrameSize);
      NativeInterface dsp = new NativeInterface();
      dsp.dspInit(frame, overSampling, sampleRate, channels);
      if (firstFrameSize == 0)
        firstFrameSize = frame;
      setDefaults(dsp);
      holder = new NativeSlot(dsp, new Format(frame, overSampling), firstFrameSize);
      return holder;
    }
  }

  // The defaults of a new processor: 0 dB at the tone gain, centred, voice removal and the
  // equaliser off with a flat table, the analyser on and the engine's refinements off (the
  // processor's first hop turns on the ones it uses).
  private static void setDefaults(NativeInterface dsp) {
    dsp.dspSetPreamp(OutputLevel.preampFor(1.0));
    dsp.dspPanning(0, 0, 50);
    dsp.dspVoiceRemovalEnable(0);
    dsp.dspVoiceRemovalAmount(0f);
    dsp.dspEQEnable(0);
    float[] flat = new float[NativeFacts.EQ_LENGTH];
    Arrays.fill(flat, 1f);
    dsp.dspEQSetBands(flat);
    dsp.dspSpectrumEnable(1);
    setRefinements(dsp, false);
  }

  /**
   * Frees the slot, so that another processor can take it, and turns the engine's refinements off
   * again, so that code driving {@link NativeInterface} directly afterwards gets the plain engine
   * it asks for. Idempotent.
   */
  void release() {
    synchronized (LOCK) {
      if (holder == this) {
        holder = null;
        setRefinements(dsp, false);
      }
    }
  }

  private static void setRefinements(NativeInterface dsp, boolean on) {
    int value = on ? 1 : 0;
    dsp.dspLinkedStereoEnable(value);
    dsp.dspAttacksEnable(value);
    dsp.dspFinePeaksEnable(value);
    dsp.dspLevelKeepingEnable(value);
  }

  NativeInterface dsp() {
    return dsp;
  }

  /** The format the native driver was set up with. */
  Format format() {
    return format;
  }

  /** The largest frame the native equaliser table serves. */
  int equaliserReach() {
    return equaliserReach;
  }
}
