package quenlab.hopwarbler;

import java.util.Arrays;

/**
 * Evens out the level of the output, above all while the synthesis hop changes.
 *
 * <p>The native vocoder lays each resynthesised frame, weighted twice by the periodic Hann window
 * {@code w} (once on analysis, once on synthesis), into its accumulator, hands out the first
 * {@code stepOut} samples and moves on by {@code stepOut}. A steady tone therefore comes out scaled
 * by the sum of {@code w^2} over the frames that overlap each sample, and the native driver divides
 * every sample of a block by {@code frameSize / (2 stepOut)}: it assumes a sum of {@code 3
 * frameSize / (8 stepOut)}, which the frames give when all of them were laid at that block's hop
 * and {@code frameSize / stepOut} is a whole number of at least 3. While frames laid at another hop
 * still overlap, the sum differs (by up to 12 dB between speeds 0.5 and 2), and without a
 * correction the level jumps; at a hop above a third of the frame, or one that does not divide it,
 * the sum ripples from sample to sample.
 *
 * <p>This class keeps the same accumulator of window weights and gives, for every sample of a hop,
 * the ratio between the weight the native normalisation assumes and the weight the laid frames
 * really give. At a steady hop that divides the frame at least three times the ratio is exactly 1.
 */
final class OverlapGain {
  // Largest correction: where the weight falls towards the ends of the windows (a hop of the
  // whole frame) or a frame is laid at the smallest hop after a run at the largest.
  private static final double MAX_GAIN = 64.0;
  // Ratios this close to 1 are taken as 1: they cannot move a 16-bit sample.
  private static final double UNITY = 1e-6;

  private final int frameSize;
  private final double[] squares;
  private final double[] laid; // weight of the frames laid so far at the next frameSize samples
  private int head; // index in `laid` of the next sample to be handed out

  OverlapGain(int frameSize) {
    this.frameSize = frameSize;
    this.squares = new double[frameSize];
    for (int i = 0; i < frameSize; i++) {
      double w = NativeFacts.window(i, frameSize);
      squares[i] = w * w;
    }
    this.laid = new double[frameSize];
  }

  /** Forgets every frame laid: the state of a new stream. */
  void reset() {
    Arrays.fill(laid, 0);
    head = 0;
  }

  /**
   * Lays the next frame, after which the native driver hands out {@code stepOut} samples, and
   * writes their corrections to {@code gains[0 .. stepOut)}. Returns whether any differs from 1.
   */
  boolean lay(int stepOut, double[] gains) {
    for (int i = 0; i < frameSize; i++) {
      int at = head + i;
      laid[at < frameSize ? at : at - frameSize] += squares[i];
    }
    boolean corrected = false;
    // The native driver divides by its overlap normalisation, and the processor's pre-amplifier
    // multiplies by 1 / TONE_GAIN: together they assume a weight of TONE_GAIN times that.
    double assumed = NativeFacts.TONE_GAIN * NativeFacts.overlapNorm(frameSize, stepOut);
    for (int i = 0; i < stepOut; i++) {
      int at = head + i < frameSize ? head + i : head + i - frameSize;
      double real = laid[at];
      laid[at] = 0;
      double gain = real > 0 ? Math.min(MAX_GAIN, assumed / real) : 1.0;
      if (Math.abs(gain - 1) < UNITY)
        gain = 1.0;
      corrected |= gain != 1.0;
      gains[i] = gain;
    }
    head = (head + stepOut) % frameSize;
    return corrected;
  }
}
