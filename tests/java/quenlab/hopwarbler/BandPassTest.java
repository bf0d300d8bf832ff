package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

class BandPassTest {
  /** H(e^jw) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2), as {re, im}. */
  private static double[] response(BandPass f, double hz) {
    double w = 2 * Math.PI * hz / f.sampleRate();
    double[] a = f.a();
    double[] b = f.b();
    double nr = 0;
    double ni = 0;
    double dr = 0;
    double di = 0;
    for (int k = 0; k < 3; k++) {
      nr += b[k] * Math.cos(k * w);
      ni -= b[k] * Math.sin(k * w);
      dr += a[k] * Math.cos(k * w);
      di -= a[k] * Math.sin(k * w);
    }
    double d = dr * dr + di * di;
    return new double[] {(nr * dr + ni * di) / d, (ni * dr - nr * di) / d};
  }

  /**
   * The analog Butterworth band-pass magnitude 1 / sqrt(1 + ((W^2 - W0^2) / (B W))^2), evaluated
   * at the pre-warped frequency W = tan(pi f / fs).
   */
  private static double analogMagnitude(double low, double high, double fs, double hz) {
    double w = Math.tan(Math.PI * hz / fs);
    double wl = Math.tan(Math.PI * low / fs);
    double wh = Math.tan(Math.PI * high / fs);
    double q = (w * w - wl * wh) / ((wh - wl) * w);
    return 1 / Math.sqrt(1 + q * q);
  }

  @ParameterizedTest(name = "{0}..{1} Hz at {2} Hz")
  @CsvSource({"200, 3000, 44100", "400, 1600, 44100", "100, 8000, 48000", "1000, 1100, 22050",
      "50, 20000, 44100", "300, 3400, 8000"})
  void
  passesTheCentreAtUnityWithZeroPhaseAndFollowsButterworth(double low, double high, double fs) {
    BandPass f = BandPass.design(low, high, fs);
    assertEquals(1.0, f.a()[0]);
    double[] centre = response(f, f.centreHz());
    assertEquals(1.0, centre[0], 1e-9, "real part at the centre");
    assertEquals(0.0, centre[1], 1e-9, "imaginary part at the centre");
    assertTrue(f.centreHz() > low && f.centreHz() < high);
    for (double edge : new double[] {low, high}) {
      double[] h = response(f, edge);
      assertEquals(Math.sqrt(0.5), Math.hypot(h[0], h[1]), 1e-9, "-3 dB at " + edge + " Hz");
    }
    assertEquals(0.0, Math.hypot(response(f, 0)[0], response(f, 0)[1]), 1e-12, "DC");
    double[] nyquist = response(f, fs / 2);
    assertEquals(0.0, Math.hypot(nyquist[0], nyquist[1]), 1e-9, "Nyquist");
    for (int k = 1; k < 40; k++) {
      double hz = fs / 2 * k / 40.0;
      double[] h = response(f, hz);
      assertEquals(analogMagnitude(low, high, fs, hz), Math.hypot(h[0], h[1]), 1e-9, hz + " Hz");
    }
  }

  /** Stepping the difference equation with a sine at the centre gives the sine back. */
  @ParameterizedTest(name = "{0}..{1} Hz")
  @CsvSource({"200, 3000", "400, 1600"})
  void aSineAtTheCentreComesThroughUnchanged(double low, double high) {
    double fs = 44100;
    BandPass f = BandPass.design(low, high, fs);
    double[] a = f.a();
    double[] b = f.b();
    double x1 = 0;
    double x2 = 0;
    double y1 = 0;
    double y2 = 0;
    double worst = 0;
    double w = 2 * Math.PI * f.centreHz() / fs;
    for (int n = 0; n < 44100; n++) {
      double x = 10000 * Math.sin(w * n);
      double y = b[0] * x + b[1] * x1 + b[2] * x2 - a[1] * y1 - a[2] * y2;
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
      if (n > 22050)
        worst = Math.max(worst, Math.abs(y - x));
    }
    assertTrue(worst < 1e-3, "largest difference " + worst);
  }

  @ParameterizedTest(name = "{0}..{1} Hz at {2} Hz: {3}")
  @CsvSource(delimiter = ';',
      value =
          {
              "0; 3000; 44100; lowHz must be above 0",
              "-5; 3000; 44100; lowHz must be above 0",
              "NaN; 3000; 44100; lowHz must be above 0",
              "3000; 3000; 44100; highHz must be above lowHz (3000.0 Hz)",
              "200; 22050; 44100; below the Nyquist frequency 22050.0 Hz, got 22050.0",
              "200; 3000; 0; sampleRate must be a finite rate above 0 Hz, got 0.0",
              "200; 3000; Infinity; sampleRate must be a finite rate above 0 Hz",
          })
  void
  rejectsABandOutsideZeroToNyquist(double low, double high, double fs, String message) {
    IllegalArgumentException e =
        assertThrows(IllegalArgumentException.class, () -> BandPass.design(low, high, fs));
    assertTrue(e.getMessage().contains(message), e.getMessage());
  }
}
