package quenlab.hopwarbler;

/**
 * A processor's place in the native library: an engine of its own ({@link NativeEngine}), set up
 * for the processor's first stream with every setting at its default, so that any number of
 * processors run at once and nothing leaks from one to another. The engine's equaliser table
 * serves every frame up to the largest, so a later stream may use any frame.
 */
final class NativeSlot {
  private final NativeEngine dsp;
  private final Format format;

  private NativeSlot(NativeEngine dsp, Format format) {
    this.dsp = dsp;
    this.format = format;
  }

  /**
   * Makes an engine and sets it up for a stream of {@code channels} at {@code sampleRate} with
   * frames of {@code frameSize} and {@code overSampling} hops.
   */
  static NativeSlot take(int sampleRate, int channels, int frameSize, int overSampling) {
    NativeEngine dsp = new NativeEngine();
    try {
      dsp.dspInit(frameSize, overSampling, sampleRate, channels);
      setDefaults(dsp);
    } catch (RuntimeException | Error e) {
      dsp.close();
      throw e;
    }
    return new NativeSlot(dsp, new Format(frameSize, overSampling));
  }

  // The defaults of a new processor: 0 dB, centred, voice removal and the
  // equaliser off, the analyser on as a tap on the output (so that synthesis hops of any length
  // keep its time base), the engine's refinements off (the processor's first hop turns on the
  // ones it uses) and its lean maths on.
  private static void setDefaults(NativeEngine dsp) {
    dsp.setLean(true);
    dsp.dspPanning(0, 0, 50);
    dsp.dspVoiceRemovalEnable(0);
    dsp.dspVoiceRemovalAmount(0f);
    dsp.dspEQEnable(0);
    dsp.dspSpectrumEnable(1);
    dsp.dspSpectrumTapEnable(1);
    dsp.dspLinkedStereoEnable(0);
    dsp.dspAttacksEnable(0);
    dsp.dspFinePeaksEnable(0);
    dsp.dspLevelKeepingEnable(0);
  }

  /** Releases the engine once the native call under way on it (if any) is done. Idempotent. */
  void release() {
    dsp.close();
  }

  NativeEngine dsp() {
    return dsp;
  }

  /** The format the engine was set up with. */
  Format format() {
    return format;
  }
}
