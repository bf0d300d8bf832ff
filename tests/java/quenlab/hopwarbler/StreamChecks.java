package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.HOP;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.Arrays;
import quenlab.hopwarbler.support.Sounds;

/**
 * What the reliability tests do after they have driven the library hard: put every setting back to
 * its default, and prove on a fresh stream that the vocoder still works.
 */
final class StreamChecks {
  /** Whole numbers of cycles per frame, so that every frame sees a steady tone. */
  static final double TONE_LEFT = 40.0 * RATE / FRAME;
  static final double TONE_RIGHT = 97.0 * RATE / FRAME;
  static final double AMPLITUDE_LEFT = 12000;
  static final double AMPLITUDE_RIGHT = 9000;
  /** Gain of the ratio-1 overlap-add with four hops per frame: 1.5 / (frame / (2 hop)). */
  static final double TONE_GAIN = 0.75;

  private static final int BLOCK = 8 * HOP;
  private static final int FRAMES = 12 * FRAME;

  private StreamChecks() {}

  /**
   * Every setting at its default, a plain band-pass in place of whatever filter was loaded, and a
   * flat equaliser of {@code eqBands} gains.
   */
  static void restoreDefaults(NativeInterface dsp, int eqBands) {
    dsp.dspSetPreamp(1f);
    dsp.dspPanning(0, 0, 0);
    dsp.dspVoiceRemovalEnable(0);
    dsp.dspVoiceRemovalAmount(0f);
    // Second-order band-pass around 1 kHz (bilinear transform, Q 1), stable and finite.
    dsp.dspVoiceRemovalFilter(
        new double[] {1, -1.8485, 0.8674}, new double[] {0.0663, 0, -0.0663}, 3, 3);
    dsp.dspEQEnable(0);
    float[] flat = new float[eqBands];
    Arrays.fill(flat, 1f);
    dsp.dspEQSetBands(flat);
    dsp.dspSpectrumEnable(1);
  }

  /**
   * On a new stream of frame 2048 and four hops per frame at ratio 1, a steady tone on each channel
   * comes back 1536 frames late at 0.75 x its amplitude, sample for sample (to one step of the
   * quantiser); the peak meter reads the same level and the analyser's strongest band is the one
   * nearest the left tone.
   */
  static void assertToneComesBack(NativeInterface dsp, int channels, String context) {
    short[] in = channels == 1 ? Sounds.pcm(FRAMES, Sounds.sine(AMPLITUDE_LEFT, TONE_LEFT, RATE))
                               : Sounds.pcm(FRAMES, Sounds.sine(AMPLITUDE_LEFT, TONE_LEFT, RATE),
                                   Sounds.sine(AMPLITUDE_RIGHT, TONE_RIGHT, RATE));
    short[] out = NativeStreams.stretch(dsp, in, channels, BLOCK, BLOCK);
    float peak = dsp.dspGetMaxLevel();
    float[] bands = new float[72];
    dsp.dspGetSpectrum(bands, 72);
    assertEquals(in.length, out.length, context);
    NativeStreams.assertScaledAndDelayed(context, in, out, channels, TONE_GAIN);
    // The last block holds whole cycles of both tones: its peak is the louder tone's, to within
    // the sampling of its crest.
    assertEquals(TONE_GAIN * AMPLITUDE_LEFT / 32768, peak, 0.002, context + ": peak level");
    int strongest = 0;
    for (int band = 0; band < bands.length; band++) {
      assertTrue(Float.isFinite(bands[band]) && bands[band] >= 0,
          context + ": band " + band + " is " + bands[band]);
      strongest = bands[band] > bands[strongest] ? band : strongest;
    }
    // 861.3 Hz lies between A5 (band 57, 880 Hz) and G#5 (band 56, 830.6 Hz).
    double nearest = 45 + 12 * Math.log(TONE_LEFT / 440) / Math.log(2);
    assertEquals(
        nearest, strongest, 1.0, context + ": strongest band of " + Arrays.toString(bands));
  }
}
