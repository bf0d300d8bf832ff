package quenlab.hopwarbler;

import java.util.Arrays;
import java.util.function.DoubleConsumer;

/**
 * The settings that may change while a stream plays (gain, balance, mono, voice removal, the
 * equaliser and the engine's refinements), and how they reach the native engine without a click.
 *
 * <p>The targets are the {@link Settings}' current {@link Settings.Sound}, which control threads
 * replace. Before every hop it hands the native engine, the processing thread calls {@link
 * #beforeHop}, which moves each setting from where it is towards its target:
 *
 * <ul>
 *   <li>the gain to the engine's output stage as it is set: the stage glides it in over 20 ms;
 *   <li>balance and mono, which the native driver applies as a switch per block, by remixing the
 *       input in Java along a raised-cosine ramp of {@code rampFrames} input frames, with the
 *       native remix off, and handing the settled remix back to the native driver at the end;
 *   <li>the voice-removal amount (switching on or off ramps it from or to 0) in native steps, one
 *       per hop, along a raised cosine over {@code rampHops} hops; the native driver glides each
 *       step in over its block;
 *   <li>the equaliser table in the same steps, from the flat table when it is switched on and to
 *       the flat table (which is the same as off) before it is switched off.
 * </ul>
 *
 * At the first hop of a stream every setting takes its target at once.
 */
final class LiveControls {
  /** Length of the ramps that carry a change of balance or mono, in seconds of audio. */
  static final double RAMP_SECONDS = 0.02;

  // The voice-removal amount that runs the native filters without removing anything: the native
  // driver glides a new amount in only between two blocks that both remove the voice.
  private static final float LEAST_AMOUNT = Float.MIN_NORMAL;
  // voiceDone of a ramp whose next hop switches the native voice removal on at LEAST_AMOUNT.
  private static final int PRIMING = -1;

  private final NativeInterface dsp;
  private final DoubleConsumer outputGain; // the engine's output stage's linear gain
  private final Settings settings;
  private final boolean stereo;
  private final int eqLength;
  private final int rampFrames;
  private final double[] frameShape; // raised cosine at the end of each of rampFrames frames
  private int rampHops;
  private double[] hopShape; // the same at the end of each of rampHops hops

  // Where the processing thread has got to.
  private Settings.Sound seen; // the targets of the last hop
  private final double[] mixFrom = NativeFacts.remix(50, false);
  private final double[] mixTo = NativeFacts.remix(50, false);
  private int mixDone;
  private boolean nativeMixes = true; // the native remix holds mixTo; no Java remix
  private double gain = 1.0; // the linear gain last handed to the output stage
  private BandPass nativeBand;
  private double voiceFrom;
  private double voiceTo;
  private int voiceDone;
  private boolean voiceOn; // the native voice removal is switched on
  private final float[] eqFrom;
  private final float[] eqTo;
  private final float[] eqWork;
  private int eqDone;
  private boolean eqOn;
  private boolean eqOffAtEnd;
  private int nativeFeatures; // the refinements the native driver has, a bit per Feature

  LiveControls(NativeInterface dsp, DoubleConsumer outputGain, Settings settings, int channels,
      int eqLength, int rampFrames) {
    this.dsp = dsp;
    this.outputGain = outputGain;
    this.settings = settings;
    this.stereo = channels == 2;
    this.eqLength = eqLength;
    this.rampFrames = Math.max(1, rampFrames);
    this.frameShape = shape(this.rampFrames);
    this.mixDone = this.rampFrames;
    this.eqFrom = flat(eqLength);
    this.eqTo = flat(eqLength);
    this.eqWork = flat(eqLength);
    this.eqOffAtEnd = true;
  }

  /**
   * Sizes the stepped ramps for hops of {@code hop} frames: twice {@code rampFrames}, and at least
   * four hops. Called between streams; the next stream starts with every setting at its target.
   */
  void setHop(int hop) {
    rampHops = Math.max(4, (2 * rampFrames + hop - 1) / hop);
    hopShape = shape(rampHops);
    voiceDone = rampHops;
    eqDone = rampHops;
  }

  private static double[] shape(int steps) {
    double[] s = new double[steps];
    for (int i = 0; i < steps; i++) s[i] = 0.5 - 0.5 * Math.cos(Math.PI * (i + 1) / steps);
    return s;
  }

  private static float[] flat(int length) {
    float[] table = new float[length];
    Arrays.fill(table, 1f);
    return table;
  }

  /**
   * Moves the settings that act on the input by one hop, and remixes {@code work[0 .. frames)}
   * (interleaved) while a balance or mono change is under way. {@code fresh}: the first hop of a
   * stream, where every setting takes its target at once.
   */
  void beforeHop(short[] work, int frames, boolean fresh) {
    applyFeatures(settings.features(), fresh);
    Settings.Sound target = settings.sound();
    boolean changed = target != seen || fresh;
    seen = target;
    int targetBalance = target.balance();
    boolean targetMono = target.mono();
    BandPass targetBand = target.voiceBand();
    double targetVoice = target.voiceAmount();
    float[] targetEq = target.equaliserTable();
    if (fresh) {
      snap(targetBalance, targetMono, target.amplitude(), targetBand, targetVoice, targetEq);
      return;
    }
    if (changed) {
      retargetMix(NativeFacts.remix(targetBalance, targetMono));
      if (target.amplitude() != gain) {
        gain = target.amplitude();
        outputGain.accept(gain);
      }
      retargetVoice(targetBand, targetVoice);
      retargetEqualiser(targetEq);
    }
    remix(work, frames, targetBalance, targetMono);
    stepVoice();
    stepEqualiser();
  }

  // The engine's refinements are switches of the native driver, which carries each in at the next
  // hop; every stream starts with the processor's own.
  private void applyFeatures(int wanted, boolean fresh) {
    if (!fresh && wanted == nativeFeatures)
      return;
    dsp.dspLinkedStereoEnable(on(wanted, Processor.Feature.LINKED_STEREO));
    dsp.dspAttacksEnable(on(wanted, Processor.Feature.ATTACKS));
    dsp.dspFinePeaksEnable(on(wanted, Processor.Feature.FINE_PEAKS));
    dsp.dspLevelKeepingEnable(on(wanted, Processor.Feature.LEVEL_KEEPING));
    nativeFeatures = wanted;
  }

  private static int on(int features, Processor.Feature feature) {
    return (features >> feature.ordinal()) & 1;
  }

  private void snap(int balance, boolean mono, double amplitude, BandPass band, double voice,
      float[] eq) {
    System.arraycopy(NativeFacts.remix(balance, mono), 0, mixTo, 0, 4);
    mixDone = rampFrames;
    nativeMixes = true;
    dsp.dspPanning(mono || balance != 50 ? 1 : 0, mono ? 1 : 0, balance);
    gain = amplitude;
    outputGain.accept(gain);
    voiceFrom = voiceTo = band == null ? 0 : voice;
    voiceDone = rampHops;
    if (band != null) {
      dsp.dspVoiceRemovalFilter(band.a(), band.b(), band.a().length, band.b().length);
      nativeBand = band;
    }
    voiceOn = voiceTo > 0;
    dsp.dspVoiceRemovalAmount((float) voiceTo);
    dsp.dspVoiceRemovalEnable(voiceOn ? 1 : 0);
    float[] table = eq == null ? flat(eqLength) : eq;
    System.arraycopy(table, 0, eqTo, 0, eqLength);
    eqDone = rampHops;
    eqOn = eq != null;
    eqOffAtEnd = eq == null;
    dsp.dspEQSetBands(eqTo);
    dsp.dspEQEnable(eqOn ? 1 : 0);
  }

  private void retargetMix(double[] target) {
    if (!stereo || Arrays.equals(target, mixTo))
      return;
    double[] now = mixNow();
    System.arraycopy(now, 0, mixFrom, 0, 4);
    System.arraycopy(target, 0, mixTo, 0, 4);
    mixDone = 0;
    if (nativeMixes) {
      dsp.dspPanning(0, 0, 50);
      nativeMixes = false;
    }
  }

  private double[] mixNow() {
    double t = mixDone >= rampFrames ? 1 : mixDone == 0 ? 0 : frameShape[mixDone - 1];
    double[] m = new double[4];
    for (int i = 0; i < 4; i++) m[i] = mixFrom[i] + (mixTo[i] - mixFrom[i]) * t;
    return m;
  }

  private void remix(short[] work, int frames, int balance, boolean mono) {
    if (nativeMixes)
      return;
    if (mixDone >= rampFrames) {
      dsp.dspPanning(mono || balance != 50 ? 1 : 0, mono ? 1 : 0, balance);
      nativeMixes = true;
      return;
    }
    for (int i = 0; i < frames; i++) {
      double t = mixDone < rampFrames ? frameShape[mixDone++] : 1;
      double l = work[2 * i];
      double r = work[2 * i + 1];
      double ll = mixFrom[0] + (mixTo[0] - mixFrom[0]) * t;
      double lr = mixFrom[1] + (mixTo[1] - mixFrom[1]) * t;
      double rl = mixFrom[2] + (mixTo[2] - mixFrom[2]) * t;
      double rr = mixFrom[3] + (mixTo[3] - mixFrom[3]) * t;
      work[2 * i] = (short) Math.round(l * ll + r * lr);
      work[2 * i + 1] = (short) Math.round(l * rl + r * rr);
    }
  }

  private void retargetVoice(BandPass target, double amount) {
    double to = target == null ? 0 : amount;
    if (!stereo)
      return;
    if (target != null && (nativeBand == null || !sameBand(target, nativeBand))) {
      dsp.dspVoiceRemovalFilter(target.a(), target.b(), target.a().length, target.b().length);
      nativeBand = target;
    }
    if (to == voiceTo)
      return;
    voiceFrom = voiceOn ? voiceNow() : 0;
    voiceTo = to;
    voiceDone = voiceOn ? 0 : PRIMING;
  }

  private static boolean sameBand(BandPass x, BandPass y) {
    return Arrays.equals(x.a(), y.a()) && Arrays.equals(x.b(), y.b());
  }

  private double voiceNow() {
    return voiceDone >= rampHops ? voiceTo
        : voiceDone <= 0 ? voiceFrom : voiceFrom + (voiceTo - voiceFrom) * hopShape[voiceDone - 1];
  }

  // One hop of the voice-removal ramp. Switching on runs a first hop at LEAST_AMOUNT, so that the
  // native driver glides the ramp's first step in; a ramp to 0 ends at LEAST_AMOUNT and switches
  // the native voice removal off one hop later.
  private void stepVoice() {
    if (voiceDone >= rampHops) {
      if (voiceTo == 0 && voiceOn) {
        dsp.dspVoiceRemovalEnable(0);
        dsp.dspVoiceRemovalAmount(0f);
        voiceOn = false;
      }
      return;
    }
    voiceDone++;
    dsp.dspVoiceRemovalAmount(Math.max(LEAST_AMOUNT, (float) voiceNow()));
    if (!voiceOn) {
      dsp.dspVoiceRemovalEnable(1);
      voiceOn = true;
    }
  }

  private void retargetEqualiser(float[] target) {
    float[] to = target == null ? flat(eqLength) : target;
    if (Arrays.equals(to, eqTo) && eqOffAtEnd == (target == null))
      return;
    float[] now = eqDone >= rampHops ? eqTo : eqDone == 0 ? eqFrom : eqWork;
    if (now != eqFrom)
      System.arraycopy(now, 0, eqFrom, 0, eqLength);
    System.arraycopy(to, 0, eqTo, 0, eqLength);
    eqDone = 0;
    eqOffAtEnd = target == null;
    if (!eqOn) {
      dsp.dspEQSetBands(eqFrom);
      dsp.dspEQEnable(1);
      eqOn = true;
    }
  }

  private void stepEqualiser() {
    if (eqDone >= rampHops)
      return;
    double t = hopShape[eqDone++];
    for (int i = 0; i < eqLength; i++) eqWork[i] = (float) (eqFrom[i] + (eqTo[i] - eqFrom[i]) * t);
    dsp.dspEQSetBands(eqWork);
    if (eqDone == rampHops && eqOffAtEnd) {
      dsp.dspEQEnable(0);
      eqOn = false;
    }
  }
}
