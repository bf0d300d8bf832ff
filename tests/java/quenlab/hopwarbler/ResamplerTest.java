package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.Random;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

class ResamplerTest {
  private static float[] convert(Resampler r, float[] in, int... blocks) {
    int channels = r.channels();
    int frames = in.length / channels;
    float[] out = new float[(int) (frames / r.ratio() + 1000) * channels];
    float[] room = new float[Resampler.maxOutputFrames(8192, r.ratio()) * channels];
    int made = 0;
    int at = 0;
    for (int k = 0; at < frames; k++) {
      int n = Math.min(blocks[k % blocks.length], frames - at);
      int got = r.process(in, at * channels, n, room, 0);
      System.arraycopy(room, 0, out, made * channels, got * channels);
      made += got;
      at += n;
    }
    int got = r.finish(room, 0);
    System.arraycopy(room, 0, out, made * channels, got * channels);
    return Arrays.copyOf(out, (made + got) * channels);
  }

  /**
   * Output frame m must be the band-limited input evaluated at input position m * ratio: for tones
   * in the passband that is the tone itself there, for a tone above the output's Nyquist frequency
   * nothing at all.
   */
  @ParameterizedTest
  @ValueSource(doubles = {0.5, 0.8408964152537145, 1.3348398541700344, 2.0})
  void matchesTheIdealBandLimitedInterpolation(double ratio) {
    int frames = 40000;
    // Cycles per input frame: low, middle, and near 0.9 of the lower Nyquist frequency.
    double lower = 0.5 * Math.min(1, 1 / ratio);
    double[] cycles = {0.013, 0.37 * lower, 0.89 * lower};
    double[] phase = {0.3, 1.1, 2.0};
    double amplitude = 0.3;
    double aliasCycles = 0.5 * (lower + 0.5) + 0.02 * (1 - lower); // above the output's Nyquist
    float[] in = new float[frames * 2];
    for (int i = 0; i < frames; i++) {
      double v = 0;
      for (int t = 0; t < cycles.length; t++) {
        v += amplitude * Math.sin(2 * Math.PI * cycles[t] * i + phase[t]);
      }
      in[2 * i] = (float) v;
      in[2 * i + 1] = ratio > 1 ? (float) Math.sin(2 * Math.PI * aliasCycles * i) : 0f;
    }
    float[] out = convert(new Resampler(2, ratio), in, 1000);
    double worst = 0;
    double aliasEnergy = 0;
    int from = (int) (1000 / ratio);
    int to = (int) ((frames - 1000) / ratio);
    for (int m = from; m < to; m++) {
      double position = m * ratio;
      double ideal = 0;
      for (int t = 0; t < cycles.length; t++) {
        ideal += amplitude * Math.sin(2 * Math.PI * cycles[t] * position + phase[t]);
      }
      worst = Math.max(worst, Math.abs(out[2 * m] - ideal));
      aliasEnergy += out[2 * m + 1] * out[2 * m + 1];
    }
    assertTrue(worst < 3e-5, "largest error " + worst);
    if (ratio > 1) {
      double aliasRms = Math.sqrt(aliasEnergy / (to - from));
      assertTrue(aliasRms < 1e-5, "alias at " + 20 * Math.log10(aliasRms) + " dB");
    }
  }

  @Test
  void lengthIsExactAndTheOutputDoesNotDependOnTheBlocks() {
    Random random = new Random(3);
    short[] in = new short[2 * 9001];
    for (int i = 0; i < in.length; i++) in[i] = (short) (random.nextGaussian() * 6000);
    for (double ratio : new double[] {0.5, 0.7491535384383408, 1.0, 1.122462048309373, 2.0}) {
      for (int frames : new int[] {0, 1, 3, 577, 9001}) {
        short[] whole = run(new Resampler(2, ratio), in, frames, frames);
        short[] uneven = run(new Resampler(2, ratio), in, frames, 1, 7, 300, 0, 1024, 5, 4000);
        // round(frames / ratio), halves up: 9001 / 2 = 4500.5 gives 4501.
        assertEquals(
            (long) Math.floor(frames / ratio + 0.5), whole.length / 2, ratio + " " + frames);
        assertArrayEquals(whole, uneven, ratio + " " + frames);
      }
    }
    // One resampler serves stream after stream.
    Resampler reused = new Resampler(2, 1.5);
    short[] first = run(reused, in, 9001, 333);
    assertArrayEquals(first, run(reused, in, 9001, 4096));
  }

  @Test
  void aRatioChangeCarriesThePositionOn() {
    // A ramp: every output sample shows the input position it was taken at.
    int frames = 20000;
    float[] in = new float[frames];
    for (int i = 0; i < frames; i++) in[i] = i * 1e-4f;
    Resampler r = new Resampler(1, 0.75);
    float[] room = new float[Resampler.maxOutputFrames(frames, 0.5)];
    float[] out = new float[3 * frames];
    int made = r.process(in, 0, 10000, room, 0);
    System.arraycopy(room, 0, out, 0, made);
    r.setRatio(1.5);
    int more = r.process(in, 10000, 10000, room, 0);
    System.arraycopy(room, 0, out, made, more);
    double previous = out[made - 1] / 1e-4;
    double step = out[made] / 1e-4 - previous;
    assertTrue(step > 0.7 && step < 1.6, "step across the change " + step);
    assertEquals(1.5, out[made + more - 1] / 1e-4 - out[made + more - 2] / 1e-4, 1e-2);
  }

  private static short[] run(Resampler r, short[] in, int frames, int... blocks) {
    short[] out = new short[(int) (frames / r.ratio() + 10) * 2];
    short[] room = new short[Resampler.maxOutputFrames(frames, r.ratio()) * 2];
    int made = 0;
    int at = 0;
    for (int k = 0; at < frames; k++) {
      int n = Math.min(blocks[k % blocks.length], frames - at);
      int got = r.process(in, at * 2, n, room, 0);
      System.arraycopy(room, 0, out, made * 2, got * 2);
      made += got;
      at += n;
    }
    int got = r.finish(room, 0);
    System.arraycopy(room, 0, out, made * 2, got * 2);
    return Arrays.copyOf(out, (made + got) * 2);
  }

  /** Output room past an array's reach is refused, never a wrapped-around size. */
  @Test
  void outputRoomPastAnArraysReachIsRefused() {
    for (double ratio : new double[] {0.25, 1}) {
      assertThrows(IllegalArgumentException.class,
          () -> Resampler.maxOutputFrames(Integer.MAX_VALUE, ratio), "at " + ratio);
    }
    // Calls that fit: every stereo sample of their room indexes an array.
    double[][] fits = {{Integer.MAX_VALUE, 4}, {Integer.MAX_VALUE / 8 - 300, 0.25}};
    for (double[] fit : fits) {
      long room = Resampler.maxOutputFrames((int) fit[0], fit[1]);
      assertTrue(room >= fit[0] / fit[1] && 2 * room <= Integer.MAX_VALUE, "room " + room);
    }
  }
}
