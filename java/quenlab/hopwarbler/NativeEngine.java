package quenlab.hopwarbler;

import java.util.concurrent.locks.ReentrantReadWriteLock;
import java.util.function.LongConsumer;

/**
 * A native stream of its own: the methods of {@link NativeInterface}, with the same meaning and the
 * same checks, on an engine that belongs to this object alone. Where every {@code
 * NativeInterface} drives the one process-wide engine, each {@code NativeEngine} owns an engine
 * with its own settings, buffers, filters, equaliser table and analyser, so that any number of
 * streams run at once, each on its own thread (a crossfade, two decks, one stream per core). Two
 * engines share nothing that changes: each gives exactly the samples it gives alone.
 *
 * <p>Within one engine the threads follow the rules of {@code NativeInterface}: {@code dspInit}
 * and {@code dspProcess} take turns (either of them called while the other, or itself, is under
 * way on another thread throws {@link IllegalStateException}); the setters may be called from any
 * thread while a block runs and take effect no later than the next block.
 *
 * <p>{@link #close()} releases the native engine once the calls under way on it have returned;
 * every later call throws {@link IllegalStateException}. Closing twice does nothing. An engine that
 * is never closed holds its native memory (a few megabytes at the largest frame) until the JVM
 * exits.
 */
public final class NativeEngine extends NativeInterface implements AutoCloseable {
  // Calls hold the read lock while they use the handle, so that close() (the write lock) never
  // releases an engine under a running call; calls on one engine do not wait for each other.
  private final ReentrantReadWriteLock lock = new ReentrantReadWriteLock();
  private long handle; // written under the write lock; 0 once released

  /**
   * Makes a new engine with every setting at the default of {@code NativeInterface}: it needs a
   * {@link #dspInit} before its first block.
   *
   * @throws OutOfMemoryError if the native memory for it cannot be had
   */
  public NativeEngine() {
    handle = create();
    if (handle == 0)
      throw new OutOfMemoryError("hopwarbler: no memory for a native engine");
  }

  // The handle of the engine for one call, under the read lock; throws once it is released.
  private long enter() {
    lock.readLock().lock();
    if (handle == 0) {
      lock.readLock().unlock();
      throw new IllegalStateException("this NativeEngine has been closed");
    }
    return handle;
  }

  private void exit() {
    lock.readLock().unlock();
  }

  // A setter's native call on the engine, under the read lock (the block's calls take it
  // directly, without a lambda).
  private void call(LongConsumer nativeCall) {
    long h = enter();
    try {
      nativeCall.accept(h);
    } finally {
      exit();
    }
  }

  /** {@return whether {@link #close()} has released the engine} */
  public boolean isClosed() {
    lock.readLock().lock();
    try {
      return handle == 0;
    } finally {
      lock.readLock().unlock();
    }
  }

  /** Releases the native engine once the calls under way on it have returned. Idempotent. */
  @Override
  public void close() {
    lock.writeLock().lock();
    try {
      if (handle != 0)
        destroy(handle);
      handle = 0;
    } finally {
      lock.writeLock().unlock();
    }
  }

  /** {@return the native memory the engine holds, in bytes (tables it shares not counted)} */
  public long nativeBytes() {
    long h = enter();
    try {
      return bytes(h);
    } finally {
      exit();
    }
  }

  @Override
  public void dspInit(int frameSize, int overSampling, int sampleRate, int channels) {
    long h = enter();
    try {
      dspInit(h, frameSize, overSampling, sampleRate, channels);
    } finally {
      exit();
    }
  }

  @Override
  public void dspProcess(short[] samples, int samplesIn, int samplesOut, float pitchShiftAmount) {
    long h = enter();
    try {
      dspProcess(h, samples, samplesIn, samplesOut, pitchShiftAmount);
    } finally {
      exit();
    }
  }

  @Override
  public void dspVoiceRemovalEnable(int enabled) {
    call(h -> dspVoiceRemovalEnable(h, enabled));
  }

  @Override
  public void dspVoiceRemovalAmount(float amount) {
    call(h -> dspVoiceRemovalAmount(h, amount));
  }

  @Override
  public void dspVoiceRemovalFilter(double[] coeffA, double[] coeffB, int sizeA, int sizeB) {
    call(h -> dspVoiceRemovalFilter(h, coeffA, coeffB, sizeA, sizeB));
  }

  @Override
  public void dspSetPreamp(float jpreamp) {
    call(h -> dspSetPreamp(h, jpreamp));
  }

  @Override
  public void dspPanning(int jPanningActive, int jMonoActive, int jPanningLevel) {
    call(h -> dspPanning(h, jPanningActive, jMonoActive, jPanningLevel));
  }

  @Override
  public void dspSpectrumEnable(int enabled) {
    call(h -> dspSpectrumEnable(h, enabled));
  }

  @Override
  public void dspGetSpectrum(float[] jSpectrum, int jSize) {
    call(h -> dspGetSpectrum(h, jSpectrum, jSize));
  }

  @Override
  public float dspGetMaxLevel() {
    long h = enter();
    try {
      return dspGetMaxLevel(h);
    } finally {
      exit();
    }
  }

  @Override
  public void dspEQEnable(int enabled) {
    call(h -> dspEQEnable(h, enabled));
  }

  @Override
  public void dspEQSetBands(float[] levels) {
    call(h -> dspEQSetBands(h, levels));
  }

  @Override
  public void dspLinkedStereoEnable(int enabled) {
    call(h -> dspLinkedStereoEnable(h, enabled));
  }

  @Override
  public void dspAttacksEnable(int enabled) {
    call(h -> dspAttacksEnable(h, enabled));
  }

  @Override
  public void dspFinePeaksEnable(int enabled) {
    call(h -> dspFinePeaksEnable(h, enabled));
  }

  @Override
  public void dspLevelKeepingEnable(int enabled) {
    call(h -> dspLevelKeepingEnable(h, enabled));
  }

  /**
   * Makes the analyser a tap on the output (any non-zero value) instead of fed frame by frame
   * inside the vocoder (0, the default, as {@link NativeInterface}'s): it then takes every fourth
   * frame of the stream whatever the block and hop sizes, so that blocks of any length, and
   * synthesis hops of any length, keep its time base even. Takes effect from the next block.
   *
   * @param enabled non-zero to tap the output
   */
  public void dspSpectrumTapEnable(int enabled) {
    call(h -> dspSpectrumTapEnable(h, enabled));
  }

  // The engine's own output stage, which a processor's stream ends in: the overlap correction
  // from the frames really laid, the key change in floating point, the gain with its glide, the
  // peak, the soft limiter and one rounding to 16 bits. Blocks are admitted as dspProcess is.

  /**
   * Room in frames that {@link #stageProcess} needs in {@code out} for a block of {@code samplesIn}
   * frames at hop {@code stepOut}, at any key change; {@code stageRoom(0, 1)} is the room of {@link
   * #stageFinish}.
   */
  int stageRoom(int samplesIn, int stepOut) {
    long h = enter();
    try {
      return stageRoom(h, samplesIn, stepOut);
    } finally {
      exit();
    }
  }

  /**
   * Runs {@code samplesIn} frames of {@code samples} through the vocoder at hop {@code stepOut}
   * and the output stage: of the vocoder frames the block makes, the first {@code skip} are
   * dropped and at most {@code keep} after them go on. Writes the frames that come out to {@code
   * out} and their peak before the limiter to {@code peak[0]} (if {@code peak} is not null).
   *
   * @return the frames written
   */
  int stageProcess(short[] samples, int samplesIn, int stepOut, int skip, int keep, short[] out,
      float[] peak) {
    long h = enter();
    try {
      return stageProcess(h, samples, samplesIn, stepOut, skip, keep, out, peak);
    } finally {
      exit();
    }
  }

  /**
   * Ends the stream of {@link #stageProcess}: writes the frames the key change still holds to
   * {@code out} and their peak to {@code peak[0]}, and readies the stage for a new stream.
   *
   * @return the frames written
   */
  int stageFinish(short[] out, float[] peak) {
    long h = enter();
    try {
      return stageFinish(h, out, peak);
    } finally {
      exit();
    }
  }

  /** Gain of the output stage, linear; a new value glides in over 20 ms. Any thread. */
  void setGain(float linear) {
    call(h -> setGain(h, linear));
  }

  /**
   * Lean maths (off until switched on): the vocoder's frames go through real-input transforms of
   * half the size and the note analyser correlates in float, for the same sound within float
   * rounding and less work. Any thread; from the next hop.
   */
  void setLean(boolean enabled) {
    call(h -> setLean(h, enabled));
  }

  /**
   * Formants kept through the key change (true) or moved with the pitch (false, the default): the
   * spectral envelope of every frame is reshaped so that it stands after the key change where it
   * stood in the input. A switch fades in or out over two frame lengths. Any thread.
   */
  void setFormantsKept(boolean kept) {
    call(h -> setFormantsKept(h, kept));
  }

  /**
   * Key change of the output stage: the pitch factor (0.25 to 4). Any thread, also while the
   * engine is set up on another. Returns false, changing nothing, for a factor out of range.
   */
  boolean setPitchRatio(double ratio) {
    long h = enter();
    try {
      return setPitchRatio(h, ratio);
    } finally {
      exit();
    }
  }

  // The engine's native calls: the handle first, then the arguments of NativeInterface's method
  // of the same name. Only this class holds handles, and only live ones reach these.
  private static native long create();

  private static native void destroy(long handle);

  private static native long bytes(long handle);

  private static native void dspInit(
      long handle, int frameSize, int overSampling, int sampleRate, int channels);

  private static native void dspProcess(
      long handle, short[] samples, int samplesIn, int samplesOut, float pitchShiftAmount);

  private static native void dspVoiceRemovalEnable(long handle, int enabled);

  private static native void dspVoiceRemovalAmount(long handle, float amount);

  private static native void dspVoiceRemovalFilter(
      long handle, double[] coeffA, double[] coeffB, int sizeA, int sizeB);

  private static native void dspSetPreamp(long handle, float jpreamp);

  private static native void dspPanning(
      long handle, int jPanningActive, int jMonoActive, int jPanningLevel);

  private static native void dspSpectrumEnable(long handle, int enabled);

  private static native void dspGetSpectrum(long handle, float[] jSpectrum, int jSize);

  private static native float dspGetMaxLevel(long handle);

  private static native void dspEQEnable(long handle, int enabled);

  private static native void dspEQSetBands(long handle, float[] levels);

  private static native void dspLinkedStereoEnable(long handle, int enabled);

  private static native void dspAttacksEnable(long handle, int enabled);

  private static native void dspFinePeaksEnable(long handle, int enabled);

  private static native void dspLevelKeepingEnable(long handle, int enabled);

  private static native void dspSpectrumTapEnable(long handle, int enabled);

  private static native int stageRoom(long handle, int samplesIn, int stepOut);

  private static native int stageProcess(long handle, short[] samples, int samplesIn, int stepOut,
      int skip, int keep, short[] out, float[] peak);

  private static native int stageFinish(long handle, short[] out, float[] peak);

  private static native void setGain(long handle, float linear);

  private static native boolean setPitchRatio(long handle, double ratio);

  private static native void setLean(long handle, boolean enabled);

  private static native void setFormantsKept(long handle, boolean kept);
}
