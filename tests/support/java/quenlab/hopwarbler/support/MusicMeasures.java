package quenlab.hopwarbler.support;

import java.util.Arrays;

/**
 * What a time-stretch does to recorded stereo music, measured on whole signals at full scale 1.0:
 * the stereo image (side against mid, inter-channel coherence, a centred chord's leak into the
 * side), attacks (spectral flux), harmony (chroma), the long-term spectral balance, the level and
 * a round trip's log-spectral distance. Each measure of an output is compared with the same
 * measure of its input; output time t corresponds to input time t * speed.
 */
public final class MusicMeasures {
  /** Octave bands by centre, each from centre / sqrt 2 up to centre * sqrt 2. */
  public static final double[] OCTAVES_HZ = {31.5, 63, 125, 250, 500, 1000, 2000, 4000, 8000};

  /** Third-octave bands by centre, 1000 * 2^(k / 3) for k = -15 .. 13 (31 Hz to 16 kHz). */
  public static final double[] THIRD_OCTAVES_HZ = thirdOctaves();

  private static final int IMAGE_FRAME = 2048;
  private static final int IMAGE_HOP = 512;
  private static final int FLUX_FRAME = 512;
  private static final int FLUX_HOP = 64;
  private static final int CHROMA_FRAME = 32768;
  private static final int CHROMA_HOP = 16384;
  private static final int WELCH_FRAME = 8192;

  private MusicMeasures() {}

  private static double[] thirdOctaves() {
    double[] hz = new double[29];
    for (int i = 0; i < hz.length; i++) hz[i] = 1000 * Math.pow(2, (i - 15) / 3.0);
    return hz;
  }

  /** (left + right) / 2. */
  public static double[] mid(double[] left, double[] right) {
    double[] m = new double[Math.min(left.length, right.length)];
    for (int i = 0; i < m.length; i++) m[i] = 0.5 * (left[i] + right[i]);
    return m;
  }

  /**
   * The stereo image of a signal: its side (L - R) / 2 over its mid (L + R) / 2 energy in dB, over
   * all bands and per octave ({@link #OCTAVES_HZ}), and the magnitude-squared coherence of the two
   * channels per octave. The coherence of a bin is |E[L conj R]|^2 / (E|L|^2 E|R|^2) over the
   * signal's frames (2048 points, hop 512, Hann); an octave's is the mean over its bins weighted by
   * their energy E|L|^2 + E|R|^2 (NaN where it has none).
   */
  public record StereoImage(double sideToMidDb, double[] sideToMidOctavesDb, double[] coherence) {}

  public static StereoImage stereoImage(double[] left, double[] right, int rate) {
    Stft stft = new Stft(IMAGE_FRAME, IMAGE_HOP);
    int bins = IMAGE_FRAME / 2 + 1;
    double[] mid = new double[bins];
    double[] side = new double[bins];
    double[] ll = new double[bins];
    double[] rr = new double[bins];
    double[] crossRe = new double[bins];
    double[] crossIm = new double[bins];
    double[] lRe = new double[IMAGE_FRAME];
    double[] lIm = new double[IMAGE_FRAME];
    double[] rRe = new double[IMAGE_FRAME];
    double[] rIm = new double[IMAGE_FRAME];
    int frames = stft.frames(Math.min(left.length, right.length));
    for (int f = 0; f < frames; f++) {
      stft.pair(left, f * IMAGE_HOP, right, f * IMAGE_HOP, lRe, lIm, rRe, rIm);
      for (int k = 0; k < bins; k++) {
        double mr = lRe[k] + rRe[k];
        double mi = lIm[k] + rIm[k];
        double sr = lRe[k] - rRe[k];
        double si = lIm[k] - rIm[k];
        mid[k] += 0.25 * (mr * mr + mi * mi);
        side[k] += 0.25 * (sr * sr + si * si);
        ll[k] += lRe[k] * lRe[k] + lIm[k] * lIm[k];
        rr[k] += rRe[k] * rRe[k] + rIm[k] * rIm[k];
        crossRe[k] += lRe[k] * rRe[k] + lIm[k] * rIm[k];
        crossIm[k] += lIm[k] * rRe[k] - lRe[k] * rIm[k];
      }
    }
    double[] sideOctaves = new double[OCTAVES_HZ.length];
    double[] coherence = new double[OCTAVES_HZ.length];
    for (int o = 0; o < OCTAVES_HZ.length; o++) {
      double low = OCTAVES_HZ[o] / Math.sqrt(2);
      double high = OCTAVES_HZ[o] * Math.sqrt(2);
      double m = 0;
      double s = 0;
      double weighted = 0;
      double weight = 0;
      for (int k = 0; k < bins; k++) {
        double hz = stft.binHz(k, rate);
        if (hz < low || hz >= high)
          continue;
        m += mid[k];
        s += side[k];
        double w = ll[k] + rr[k];
        double c = (crossRe[k] * crossRe[k] + crossIm[k] * crossIm[k]) / (ll[k] * rr[k] + 1e-300);
        weighted += c * w;
        weight += w;
      }
      sideOctaves[o] = 10 * Math.log10(s / m);
      coherence[o] = weight > 0 ? weighted / weight : Double.NaN;
    }
    return new StereoImage(10 * Math.log10(sum(side) / sum(mid)), sideOctaves, coherence);
  }

  /**
   * How much of a chord exactly in the centre leaks into the side: the side energy over the mid
   * energy within 8 Hz of the chord's partials, long-term (frames of 8192, hop 4096, Hann), in dB;
   * negative infinity when left and right are equal there.
   */
  public static double centredLeakDb(double[] left, double[] right, int rate, double[] partialsHz) {
    Stft stft = new Stft(8192, 4096);
    int bins = stft.size / 2 + 1;
    boolean[] chord = new boolean[bins];
    for (int k = 0; k < bins; k++) {
      for (double hz : partialsHz) chord[k] |= Math.abs(stft.binHz(k, rate) - hz) < 8;
    }
    // Mid and side in the time domain, each transformed alone: where left equals right, the side
    // is exactly zero.
    int length = Math.min(left.length, right.length);
    double[] m = new double[length];
    double[] d = new double[length];
    for (int i = 0; i < length; i++) {
      m[i] = 0.5 * (left[i] + right[i]);
      d[i] = 0.5 * (left[i] - right[i]);
    }
    double[] re = new double[stft.size];
    double[] im = new double[stft.size];
    double mid = 0;
    double side = 0;
    for (int f = 0; f < stft.frames(length); f++) {
      stft.frame(m, f * stft.hop, re, im);
      for (int k = 0; k < bins; k++) mid += chord[k] ? re[k] * re[k] + im[k] * im[k] : 0;
      stft.frame(d, f * stft.hop, re, im);
      for (int k = 0; k < bins; k++) side += chord[k] ? re[k] * re[k] + im[k] * im[k] : 0;
    }
    return 10 * Math.log10(side / mid);
  }

  /**
   * Spectral flux: the positive differences of the magnitudes (frames of 512, hop 64, Hann) from
   * one frame to the next, summed over the bins; value i lies between frames i and i + 1.
   */
  public static double[] spectralFlux(double[] x) {
    Stft stft = new Stft(FLUX_FRAME, FLUX_HOP);
    int bins = FLUX_FRAME / 2 + 1;
    int frames = stft.frames(x.length);
    double[] aRe = new double[FLUX_FRAME];
    double[] aIm = new double[FLUX_FRAME];
    double[] bRe = new double[FLUX_FRAME];
    double[] bIm = new double[FLUX_FRAME];
    double[] previous = new double[bins];
    double[] a = new double[bins];
    double[] b = new double[bins];
    double[] flux = new double[Math.max(0, frames - 1)];
    // Two frames per transform; `previous` holds the magnitudes of the frame before the pair.
    for (int f = 0; f < frames; f += 2) {
      stft.pair(x, f * FLUX_HOP, x, (f + 1) * FLUX_HOP, aRe, aIm, bRe, bIm);
      for (int k = 0; k < bins; k++) {
        a[k] = Math.sqrt(aRe[k] * aRe[k] + aIm[k] * aIm[k]);
        b[k] = Math.sqrt(bRe[k] * bRe[k] + bIm[k] * bIm[k]);
      }
      if (f > 0)
        flux[f - 1] = rise(previous, a);
      if (f + 1 < frames)
        flux[f] = rise(a, b);
      double[] t = previous;
      previous = b;
      b = t;
    }
    return flux;
  }

  private static double rise(double[] from, double[] to) {
    double sum = 0;
    for (int k = 0; k < from.length; k++) sum += Math.max(0, to[k] - from[k]);
    return sum;
  }

  /** The median onset width of an input and of its output, in ms, over {@code onsets} onsets. */
  public record OnsetWidths(double inputMs, double outputMs, int onsets) {}

  /**
   * Onset widths from the spectral flux ({@link #spectralFlux}) of an input and of its output at
   * {@code speed}. The onsets are the input's strongest local maxima: above the 97th percentile
   * and the largest within 5 values on either side. Each is mapped to the output at time t /
   * speed, where the output's largest flux within 20 ms is its onset there. A width is the span
   * around the maximum above half of it; the medians of the input's and the output's widths.
   */
  public static OnsetWidths onsetWidths(double[] fluxIn, double[] fluxOut, int rate, double speed) {
    double threshold = percentile(fluxIn, 97);
    double dt = (double) FLUX_HOP / rate;
    int reach = (int) (0.02 / dt);
    int[] inputWidths = new int[fluxIn.length];
    int[] outputWidths = new int[fluxIn.length];
    int count = 0;
    for (int i = 5; i < fluxIn.length - 5; i++) {
      if (fluxIn[i] <= threshold || fluxIn[i] != max(fluxIn, i - 5, i + 6))
        continue;
      // Flux value i lies between the centres of frames i and i + 1.
      double centre = (i + 0.5) * FLUX_HOP + FLUX_FRAME / 2.0;
      int j = (int) Math.round((centre / speed - FLUX_FRAME / 2.0) / FLUX_HOP - 0.5);
      int from = Math.max(0, j - reach);
      int to = Math.min(fluxOut.length - 1, j + reach);
      if (to <= from)
        continue;
      int peak = from;
      for (int k = from; k <= to; k++) {
        if (fluxOut[k] > fluxOut[peak])
          peak = k;
      }
      inputWidths[count] = halfWidth(fluxIn, i);
      outputWidths[count] = halfWidth(fluxOut, peak);
      count++;
    }
    if (count == 0)
      return new OnsetWidths(Double.NaN, Double.NaN, 0);
    return new OnsetWidths(
        median(inputWidths, count) * dt * 1000, median(outputWidths, count) * dt * 1000, count);
  }

  // Values from the peak at i outward until one is at most half of it; the distance between the
  // two that end it.
  private static int halfWidth(double[] f, int i) {
    double half = f[i] / 2;
    int low = i;
    int high = i;
    while (low > 0 && f[low] > half) low--;
    while (high < f.length - 1 && f[high] > half) high++;
    return high - low;
  }

  /**
   * The chroma correlation of an output with its input: 12-bin chroma (the power of the bins from
   * 55 to 4000 Hz by pitch class, A = 0) of the input in windows of 32768 frames 16384 apart, and
   * of the output in windows of 32768 / speed frames at the mapped times; the Pearson correlation
   * of each pair, averaged over the windows where the input is not silent.
   */
  public static double chromaCorrelation(double[] in, double[] out, int rate, double speed) {
    int outLength = (int) Math.round(CHROMA_FRAME / speed);
    double outHop = CHROMA_HOP / speed;
    int windows = 0;
    while (windows * CHROMA_HOP + CHROMA_FRAME <= in.length
        && (int) (windows * outHop) + outLength <= out.length)
      windows++;
    int[] inStarts = new int[windows];
    int[] outStarts = new int[windows];
    for (int f = 0; f < windows; f++) {
      inStarts[f] = f * CHROMA_HOP;
      outStarts[f] = (int) (f * outHop);
    }
    double[][] a = chroma(new Stft(CHROMA_FRAME, CHROMA_HOP), in, inStarts, rate);
    double[][] b = chroma(
        new Stft(outLength, Integer.highestOneBit(outLength - 1) * 2, 1), out, outStarts, rate);
    double sum = 0;
    int count = 0;
    for (int f = 0; f < windows; f++) {
      if (Arrays.stream(a[f]).sum() < 1e-6)
        continue;
      sum += pearson(a[f], b[f]);
      count++;
    }
    return count == 0 ? Double.NaN : sum / count;
  }

  // The chroma of the frames of x that start at `starts`, two frames per transform.
  private static double[][] chroma(Stft stft, double[] x, int[] starts, int rate) {
    double[] aRe = new double[stft.size];
    double[] aIm = new double[stft.size];
    double[] bRe = new double[stft.size];
    double[] bIm = new double[stft.size];
    int[] pitchClass = new int[stft.size / 2 + 1];
    for (int k = 0; k < pitchClass.length; k++) {
      double hz = stft.binHz(k, rate);
      pitchClass[k] = hz <= 55 || hz >= 4000
          ? -1
          : Math.floorMod((int) Math.round(12 * Math.log(hz / 440) / Math.log(2)), 12);
    }
    double[][] chroma = new double[starts.length][12];
    for (int f = 0; f < starts.length; f += 2) {
      int second = f + 1 < starts.length ? starts[f + 1] : x.length;
      stft.pair(x, starts[f], x, second, aRe, aIm, bRe, bIm);
      for (int k = 0; k < pitchClass.length; k++) {
        if (pitchClass[k] < 0)
          continue;
        chroma[f][pitchClass[k]] += aRe[k] * aRe[k] + aIm[k] * aIm[k];
        if (f + 1 < starts.length)
          chroma[f + 1][pitchClass[k]] += bRe[k] * bRe[k] + bIm[k] * bIm[k];
      }
    }
    return chroma;
  }

  // The correlation of a and b; 0 when either is constant.
  private static double pearson(double[] a, double[] b) {
    double ma = Arrays.stream(a).average().orElse(0);
    double mb = Arrays.stream(b).average().orElse(0);
    double ab = 0;
    double aa = 0;
    double bb = 0;
    for (int i = 0; i < a.length; i++) {
      ab += (a[i] - ma) * (b[i] - mb);
      aa += (a[i] - ma) * (a[i] - ma);
      bb += (b[i] - mb) * (b[i] - mb);
    }
    return aa > 0 && bb > 0 ? ab / Math.sqrt(aa * bb) : 0;
  }

  /**
   * The long-term spectrum of x in the bands of {@link #THIRD_OCTAVES_HZ}, in dB: Welch's average
   * of the power over frames of 8192 (hop 4096, Hann, each frame's mean removed), summed over the
   * bins of each band (from centre * 2^-1/6 up to centre * 2^1/6).
   */
  public static double[] thirdOctaveDb(double[] x, int rate) {
    Stft stft = new Stft(WELCH_FRAME, WELCH_FRAME / 2);
    int bins = WELCH_FRAME / 2 + 1;
    double[] power = new double[bins];
    double[] segment = new double[WELCH_FRAME];
    double[] re = new double[WELCH_FRAME];
    double[] im = new double[WELCH_FRAME];
    int frames = stft.frames(x.length);
    for (int f = 0; f < frames; f++) {
      int from = f * stft.hop;
      double mean = 0;
      for (int i = 0; i < WELCH_FRAME; i++) mean += x[from + i];
      mean /= WELCH_FRAME;
      for (int i = 0; i < WELCH_FRAME; i++) segment[i] = x[from + i] - mean;
      stft.frame(segment, 0, re, im);
      for (int k = 0; k < bins; k++) power[k] += (re[k] * re[k] + im[k] * im[k]) / frames;
    }
    double[] bands = new double[THIRD_OCTAVES_HZ.length];
    for (int b = 0; b < bands.length; b++) {
      double low = THIRD_OCTAVES_HZ[b] * Math.pow(2, -1 / 6.0);
      double high = THIRD_OCTAVES_HZ[b] * Math.pow(2, 1 / 6.0);
      double sum = 0;
      for (int k = 0; k < bins; k++) {
        double hz = stft.binHz(k, rate);
        if (hz >= low && hz < high)
          sum += power[k];
      }
      bands[b] = 10 * Math.log10(sum + 1e-20);
    }
    return bands;
  }

  /**
   * The spectral balance deviation of {@code out} from {@code in} (both {@link #thirdOctaveDb}):
   * the mean absolute difference in dB after the mean difference is removed.
   */
  public static double balanceDeviationDb(double[] in, double[] out) {
    double[] d = difference(in, out);
    double mean = Arrays.stream(d).average().orElse(0);
    return Arrays.stream(d).map(v -> Math.abs(v - mean)).average().orElse(0);
  }

  /**
   * The mean difference (out - in) of the third-octave bands whose centres lie from {@code lowHz}
   * to {@code highHz}, less the mean difference of all bands: how far those bands rise (+) or fall
   * against the rest.
   */
  public static double bandsDeviationDb(double[] in, double[] out, double lowHz, double highHz) {
    double[] d = difference(in, out);
    double all = Arrays.stream(d).average().orElse(0);
    double sum = 0;
    int count = 0;
    for (int b = 0; b < d.length; b++) {
      if (THIRD_OCTAVES_HZ[b] >= lowHz && THIRD_OCTAVES_HZ[b] <= highHz) {
        sum += d[b];
        count++;
      }
    }
    return sum / count - all;
  }

  private static double[] difference(double[] in, double[] out) {
    double[] d = new double[in.length];
    for (int i = 0; i < d.length; i++) d[i] = out[i] - in[i];
    return d;
  }

  /** The mean-square level of all the channels together, in dB of full scale. */
  public static double levelDb(double[]... channels) {
    double sum = 0;
    long count = 0;
    for (double[] c : channels) {
      for (double v : c) sum += v * v;
      count += c.length;
    }
    return 10 * Math.log10(sum / count);
  }

  /**
   * The log-spectral distance of {@code y} from {@code reference} (stereo each, channels first),
   * after y is shifted by the lag (within {@code maxLag} frames either way) at which its mid best
   * matches the reference's: the RMS of the difference of the two power spectra in dB (frames of
   * 2048, hop 512, Hann) over both channels, all bins and all frames, each level raised to a floor
   * 80 dB under the reference's strongest bin, and counting only the bins where either is above it.
   */
  public static double logSpectralDistanceDb(double[][] reference, double[][] y, int maxLag) {
    int lag = bestLag(mid(reference[0], reference[1]), mid(y[0], y[1]), maxLag);
    int start = Math.max(0, -lag);
    Stft stft = new Stft(IMAGE_FRAME, IMAGE_HOP);
    int bins = IMAGE_FRAME / 2 + 1;
    int frames = stft.frames(Math.max(0,
        Math.min(reference[0].length - start, Math.min(y[0].length, y[1].length) - start - lag)));
    // The powers first, for the floor; then one logarithm per pair of bins.
    float[][][] power = new float[2][2 * frames][bins];
    double loudest = 0;
    double[] aRe = new double[IMAGE_FRAME];
    double[] aIm = new double[IMAGE_FRAME];
    double[] bRe = new double[IMAGE_FRAME];
    double[] bIm = new double[IMAGE_FRAME];
    for (int c = 0; c < 2; c++) {
      for (int f = 0; f < frames; f++) {
        int from = start + f * IMAGE_HOP;
        stft.pair(reference[c], from, y[c], from + lag, aRe, aIm, bRe, bIm);
        for (int k = 0; k < bins; k++) {
          double a = aRe[k] * aRe[k] + aIm[k] * aIm[k];
          power[c][2 * f][k] = (float) a;
          power[c][2 * f + 1][k] = (float) (bRe[k] * bRe[k] + bIm[k] * bIm[k]);
          loudest = Math.max(loudest, a);
        }
      }
    }
    double floor = loudest * 1e-8;
    double sum = 0;
    long count = 0;
    for (int c = 0; c < 2; c++) {
      for (int f = 0; f < frames; f++) {
        for (int k = 0; k < bins; k++) {
          double a = power[c][2 * f][k];
          double b = power[c][2 * f + 1][k];
          if (a <= floor && b <= floor)
            continue;
          sum += square(10 * Math.log10(Math.max(a, floor) / Math.max(b, floor)));
          count++;
        }
      }
    }
    return count == 0 ? Double.NaN : Math.sqrt(sum / count);
  }

  /**
   * The lag in -maxLag .. maxLag at which y best matches x: the largest cross-correlation sum of
   * x[n] y[n + lag] over n in a stretch of x of up to 2^16 frames from its middle, by FFT; 0
   * when nothing there correlates.
   */
  public static int bestLag(double[] x, double[] y, int maxLag) {
    int length = Math.min(x.length, 1 << 16);
    int from = (x.length - length) / 2;
    // y from `from - maxLag` on: the lags 0 .. 2 maxLag of this stretch are -maxLag .. maxLag.
    int span = length + 2 * maxLag;
    int size = Integer.highestOneBit(span) * 2;
    double[] re = new double[size];
    double[] im = new double[size];
    System.arraycopy(x, from, re, 0, length);
    for (int i = 0; i < span; i++) {
      int n = from - maxLag + i;
      im[i] = n >= 0 && n < y.length ? y[n] : 0;
    }
    Stft fft = new Stft(1, size, 1);
    fft.transform(re, im);
    // With Z = X + iY for real x and y, X_k conj Y_k comes from Z_k and Z_{n-k}. Its inverse
    // transform (the forward one of its conjugate) holds the sum of x[n] y[n + d] at index -d.
    double[] cRe = new double[size];
    double[] cIm = new double[size];
    for (int k = 0; k < size; k++) {
      int m = (size - k) & (size - 1);
      double xr = 0.5 * (re[k] + re[m]);
      double xi = 0.5 * (im[k] - im[m]);
      double yr = 0.5 * (im[k] + im[m]);
      double yi = 0.5 * (re[m] - re[k]);
      cRe[k] = xr * yr + xi * yi;
      cIm[k] = xr * yi - xi * yr;
    }
    fft.transform(cRe, cIm);
    int best = 0;
    double bestSum = 0;
    for (int d = 0; d <= 2 * maxLag; d++) {
      double value = cRe[Math.floorMod(-d, size)];
      if (value > bestSum) {
        bestSum = value;
        best = d - maxLag;
      }
    }
    return best;
  }

  private static double percentile(double[] x, double percent) {
    double[] sorted = x.clone();
    Arrays.sort(sorted);
    double position = percent / 100 * (sorted.length - 1);
    int low = (int) Math.floor(position);
    int high = Math.min(sorted.length - 1, low + 1);
    return sorted[low] + (position - low) * (sorted[high] - sorted[low]);
  }

  private static double max(double[] x, int from, int to) {
    double m = Double.NEGATIVE_INFINITY;
    for (int i = from; i < to; i++) m = Math.max(m, x[i]);
    return m;
  }

  private static double median(int[] values, int count) {
    int[] sorted = Arrays.copyOf(values, count);
    Arrays.sort(sorted);
    return count % 2 == 1 ? sorted[count / 2] : 0.5 * (sorted[count / 2 - 1] + sorted[count / 2]);
  }

  private static double sum(double[] x) {
    double s = 0;
    for (double v : x) s += v;
    return s;
  }

  private static double square(double x) {
    return x * x;
  }
}
