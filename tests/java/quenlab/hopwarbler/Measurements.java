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

  /**
   * The steady stereo tone of the live-change tests, interleaved: 0.4 at 440 Hz plus 0.1 at 660
   * Hz on both sides, the right side's 440 Hz a quarter turn later (so that a remix changes it).
   */
  public static short[] twoPartialTone(int frames) {
    short[] x = new short[2 * frames];
    for (int i = 0; i < frames; i++) {
      double a = 2 * Math.PI * 440.0 * i / RATE;
      double b = 0.1 * Math.sin(2 * Math.PI * 660.0 * i / RATE);
      x[2 * i] = (short) Math.round(32767 * (0.4 * Math.sin(a) + b));
      x[2 * i + 1] = (short) Math.round(32767 * (0.4 * Math.cos(a) + b));
    }
    return x;
  }

  /** RMS of x[from .. from + 256) in dB of the two-partial tone's RMS, for every 32th from. */
  public static double[] shortTimeLevelsDb(double[] x, int from, int to) {
    double tone = Math.sqrt((0.4 * 0.4 + 0.1 * 0.1) / 2);
    double[] levels = new double[Math.max(0, (to - 256 - from) / 32)];
    for (int k = 0; k < levels.length; k++) {
      levels[k] = db(rms(x, from + 32 * k, from + 32 * k + 256) / tone);
    }
    return levels;
  }

  /**
   * Mean-square energy of x above {@code hz} in the Blackman-Harris window x[from .. from + length)
   * (length at most 1024), in dB of full scale.
   */
  public static double energyAboveDb(double[] x, int from, int length, double hz) {
    int n = 1024;
    double[] re = new double[n];
    double[] im = new double[n];
    double weight = 0;
    for (int i = 0; i < length; i++) {
      double t = 2 * Math.PI * i / length;
      double w = 0.35875 - 0.48829 * Math.cos(t) + 0.14128 * Math.cos(2 * t)
          - 0.01168 * Math.cos(3 * t);
      re[i] = x[from + i] * w;
      weight += w * w;
    }
    fft(re, im);
    double energy = 0;
    for (int k = (int) Math.ceil(hz * n / RATE); k < n / 2; k++) {
      energy += 2 * (re[k] * re[k] + im[k] * im[k]);
    }
    return 10 * Math.log10(energy / (n * weight) + 1e-30);
  }

  // In-place radix-2 transform, sign -1.
  private static void fft(double[] re, double[] im) {
    int n = re.length;
    for (int i = 1, j = 0; i < n; i++) {
      int bit = n >> 1;
      for (; (j & bit) != 0; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) {
        double t = re[i];
        re[i] = re[j];
        re[j] = t;
        t = im[i];
        im[i] = im[j];
        im[j] = t;
      }
    }
    for (int len = 2; len <= n; len <<= 1) {
      for (int i = 0; i < n; i += len) {
        for (int k = 0; k < len / 2; k++) {
          double wr = Math.cos(-2 * Math.PI * k / len);
          double wi = Math.sin(-2 * Math.PI * k / len);
          int a = i + k;
          int b = a + len / 2;
          double xr = re[b] * wr - im[b] * wi;
          double xi = re[b] * wi + im[b] * wr;
          re[b] = re[a] - xr;
          im[b] = im[a] - xi;
          re[a] += xr;
          im[a] += xi;
        }
      }
    }
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
