package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.Test;

/** {@link EqualizerCurve}: gains between, at and beyond the points, and the bins' table. */
class EqualizerCurveTest {
  @Test
  void gainsAreLinearInDecibelsOverLogFrequency() {
    EqualizerCurve curve =
        new EqualizerCurve(new double[] {100, 1000, 8000}, new double[] {6, -6, 3}, 22050);
    double[][] table = {{20, 6}, {100, 6}, {Math.sqrt(100 * 1000), 0}, {1000, -6},
        {Math.sqrt(1000 * 8000), -1.5}, {8000, 3}, {20000, 3}, {0, 6}};
    for (double[] row : table) {
      assertEquals(row[1], curve.gainDbAt(row[0]), 1e-9, "at " + row[0] + " Hz");
    }
    int frame = 1024;
    double rate = 44100;
    float[] gains = curve.binGains(frame, rate, 2048);
    assertEquals(2048, gains.length);
    for (int k : new int[] {0, 3, 23, 100, 511}) {
      double db = curve.gainDbAt(k * rate / frame);
      assertEquals(Math.pow(10, db / 20), gains[k], 1e-6, "bin " + k);
    }
    for (int k = frame / 2; k < gains.length; k++) {
      assertEquals((float) Math.pow(10, 3 / 20.0), gains[k], "bin " + k + " beyond the frame");
    }
  }

  @Test
  void badPointsAreRefused() {
    double[][][] bad = {{{}, {}}, {{100, 200}, {1}}, {{200, 100}, {1, 1}}, {{100, 100}, {1, 1}},
        {{0}, {1}}, {{30000}, {1}}, {{Double.NaN}, {1}}, {{100}, {61}}, {{100}, {Double.NaN}}};
    for (double[][] points : bad) {
      assertThrows(IllegalArgumentException.class,
          () -> new EqualizerCurve(points[0], points[1], 22050));
    }
  }
}
