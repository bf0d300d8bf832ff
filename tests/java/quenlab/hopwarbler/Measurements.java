package quenlab.hopwarbler;

/** Signal generators and measurements for the API tests, computed directly from the samples. */
public final class Measurements {
  public static final int RATE = 44100;

  private Measurements() {}

  /**
   * Interleaved 16-bit tones: channel c carries sin(2 pi hz[c] n / rate) * amplitude[c] * 32767.
   */
  public static short[] tones(int frames, double[] hz, double[] amplitude) {
    int channels = hz.length;
    short[] samples = new short[frames * channels];
    for (int i = 0; i < frames; i++) {
      for (int c = 0; c < channels; c++) {
        samples[i * channels + c] =
            (short) Math.round(amplitude[c] * 32767 * Math.sin(2 * Math.PI * hz[c] * i / RATE));
      }
    }
    return samples;
  }

  /** One channel of an interleaved array, in full-scale units. */
  public static double[] channel(short[] samples, int channels, int index) {
    double[] x = new double[samples.length / channels];
    for (int i = 0; i < x.length; i++) x[i] = samples[i * channels + index] / 32767.0;
    return x;
  }

  public static double rms(double[] x, int from, int to) {
    double sum = 0;
    for (int i = from; i < to; i++) sum += x[i] * x[i];
    return Math.sqrt(sum / (to - from));
  }

  public static double db(double ratio) {
    return 20 * Math.log10(ratio);
  }

  /**
   * Amplitude of the component at {@code hz} in x[from..to), by a Hann-windowed direct DFT at that
   * frequency.
   */
  public static double amplitudeAt(double[] x, int from, int to, double hz) {
    double re = 0;
    double im = 0;
    double weight = 0;
    int n = to - from;
    for (int i = 0; i < n; i++) {
      double w = 0.5 - 0.5 * Math.cos(2 * Math.PI * i / n);
      double phase = 2 * Math.PI * hz * (from + i) / RATE;
      re += w * x[from + i] * Math.cos(phase);
      im -= w * x[from + i] * Math.sin(phase);
      weight += w;
    }
    return 2 * Math.hypot(re, im) / weight;
  }

  /**
   * Frequency of a tone from its rising zero crossings in x[from..to), each located by linear
   * interpolation between the samples around it.
   */
  public static double zeroCrossingHz(double[] x, int from, int to) {
    double first = -1;
    double last = -1;
    int count = 0;
    for (int i = from; i + 1 < to; i++) {
      if (x[i] < 0 && x[i + 1] >= 0) {
        double t = i + x[i] / (x[i] - x[i + 1]);
        if (first < 0)
          first = t;
        last = t;
        count++;
      }
    }
    return (count - 1) * RATE / (last - first);
  }

  /** Energy centroid of x, in samples. */
  public static double centroid(double[] x) {
    double weighted = 0;
    double energy = 0;
    for (int i = 0; i < x.length; i++) {
      weighted += i * x[i] * x[i];
      energy += x[i] * x[i];
    }
    return weighted / energy;
  }

  /** Concatenation of arrays. */
  public static short[] concat(short[]... parts) {
    int length = 0;
    for (short[] p : parts) length += p.length;
    short[] all = new short[length];
    int at = 0;
    for (short[] p : parts) {
      System.arraycopy(p, 0, all, at, p.length);
      at += p.length;
    }
    return all;
  }
}
