package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Random;
import org.junit.jupiter.api.Test;

/** {@link OverlapGain} and {@link OutputScaler} against direct calculations. */
class OutputLevelPartsTest {
  /**
   * For any run of synthesis hops, each output sample's correction is the weight the native
   * normalisation assumes over the squared windows of the frames that really cover it, summed
   * here frame by frame at absolute positions.
   */
  @Test
  void overlapGainFollowsTheFramesReallyLaid() {
    int frame = 256;
    long seed = 5;
    Random random = new Random(seed);
    OverlapGain overlap = new OverlapGain(frame);
    double[] gains = new double[frame];
    int[] steps = new int[400];
    for (int i = 0; i < steps.length; i++) {
      // Runs of one hop, some dividing the frame, some not, some above a third of it.
      steps[i] = i < 100 ? 64 : i < 200 ? 16 + 4 * random.nextInt(30) : 1 + random.nextInt(frame);
    }
    long start = 0; // output position of the frame laid next
    for (int step : steps) {
      overlap.lay(step, gains);
      for (int i = 0; i < step; i++) {
        long at = start + i;
        double real = 0;
        long laidAt = 0;
        for (int s : steps) {
          if (laidAt > at)
            break;
          if (at - laidAt < frame) {
            double w = NativeFacts.window((int) (at - laidAt), frame);
            real += w * w;
          }
          laidAt += s;
        }
        double assumed = NativeFacts.TONE_GAIN * NativeFacts.overlapNorm(frame, step);
        double expected = real > 0 ? Math.min(64, assumed / real) : 1;
        assertEquals(expected, gains[i], 1e-6 * expected,
            "sample " + at + " at hop " + step + ", seed " + seed);
      }
      start += step;
    }
    // At a steady hop that divides the frame 4 times the correction is exactly 1.
    for (int i = 0; i < 10; i++) overlap.lay(64, gains);
    for (int i = 0; i < 64; i++) assertEquals(1.0, gains[i], 0.0);
  }

  /**
   * A sample the native stage made at one pre-amplifier, scaled by r, is the sample the stage
   * would have made at r times that pre-amplifier: linear below the limiter, bent along its curve
   * above, clamped at full scale, within r + 1 steps of quantisation.
   */
  @Test
  void scaledSamplesAreWhatALargerPreampWouldHaveMade() {
    long seed = 11;
    Random random = new Random(seed);
    for (int channels = 1; channels <= 2; channels++) {
      OutputScaler scaler = new OutputScaler(channels);
      double slope = NativeFacts.limiterSlope(channels);
      double turn = NativeFacts.limiterTurningPoint(slope);
      short[] samples = new short[2000 * channels];
      double[] levels = new double[samples.length];
      double[] ratios = new double[2000];
      for (int i = 0; i < samples.length; i++) {
        levels[i] = (random.nextDouble() * 2 - 1) * 1.6;
        samples[i] = nativeStage(levels[i], slope, turn);
      }
      for (int i = 0; i < ratios.length; i++) {
        ratios[i] = i % 5 == 0 ? 1.0 : 1 + 3 * random.nextDouble();
      }
      short[] scaled = samples.clone();
      scaler.scale(scaled, ratios, ratios.length, channels);
      for (int i = 0; i < samples.length; i++) {
        double r = ratios[i / channels];
        String what =
            channels + " channel(s), level " + levels[i] + " times " + r + ", seed " + seed;
        if (r == 1.0) {
          assertEquals(samples[i], scaled[i], what);
        } else if (Math.abs(samples[i]) == NativeFacts.CLAMP_SAMPLE) {
          assertEquals(samples[i], scaled[i], what + ": a clamped sample stays clamped");
        } else {
          assertEquals(nativeStage(levels[i] * r, slope, turn), scaled[i], r + 1, what);
        }
      }
    }
  }

  // The native output stage: limiter, clamp to full scale, truncation.
  private static short nativeStage(double v, double slope, double turn) {
    double limited = Math.max(-1, Math.min(1, NativeFacts.limit(v, slope, turn)));
    return (short) (limited * NativeFacts.FULL_SCALE);
  }
}
