package quenlab.hopwarbler.bench;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import quenlab.hopwarbler.Resampler;
import quenlab.hopwarbler.support.Fft;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Windows;

/**
 * The key change's resampler beside sox's "rate -v", on the same signals and measured the same
 * way, for the pitch factors 2^(k/12) at k = -12, -5, -2, +2, +5, +12. The output is always 44.1
 * kHz; the input runs at 44.1 kHz times the factor, as the vocoder's stretched stream does.
 *
 * <ul>
 *   <li>ripple: peak-to-peak gain in dB of 40 tones spread up to 0.9 of the lower Nyquist
 *       frequency, each measured by a Kaiser-windowed DFT at its own frequency;
 *   <li>rejection: a 20 s linear sweep from 0 to the input's Nyquist frequency, analysed in
 *       Kaiser-windowed frames of 4096; every component away from the sweep's own frequency (all
 *       of the output while the sweep is above the output's Nyquist frequency) is an alias or image
 *       product, and the strongest of them sets the rejection against the sweep's level;
 *   <li>speed: CPU time for 30 s of stereo noise in blocks of 1024 frames on this thread, in
 *       seconds of 44.1 kHz output per CPU second (sox: user + system time of the whole run,
 *       reading and writing raw files, so a little in its disfavour).
 * </ul>
 *
 * <p>Run: {@code java -cp hopwarbler-bench.jar:hopwarbler-support.jar:hopwarbler.jar
 * quenlab.hopwarbler.bench.ResamplerBench [--no-sox]}.
 */
public final class ResamplerBench {
  private static final int OUT_RATE = 44100;
  private static final int[] SEMITONES = {-12, -5, -2, 2, 5, 12};
  private static final int TONES = 40;
  private static final double SWEEP_SECONDS = 20;
  private static final double SPEED_SECONDS = 30;
  private static final int FFT = 4096;
  private static final double WINDOW_BETA = 20;

  private ResamplerBench() {}

  /** A way to resample a stereo float signal by a ratio (input frames per output frame). */
  private interface Converter {
    float[] convert(float[] interleaved, double ratio) throws IOException, InterruptedException;
  }

  public static void main(String[] args) throws Exception {
    boolean withSox = !List.of(args).contains("--no-sox");
    Converter ours = ResamplerBench::ours;
    System.out.println("Resampler against sox rate -v: output 44.1 kHz, input 44.1 kHz x ratio");
    System.out.printf(Locale.ROOT, "%-9s %-8s | %-30s | %-30s%n", "semitones", "ratio",
        "ours: ripple rejection speed", "sox -v: ripple rejection speed");
    for (int k : SEMITONES) {
      double ratio = Math.pow(2, k / 12.0);
      String ourFigures = figures(ours, ratio, oursSpeed(ratio));
      String soxFigures = withSox ? figures(ResamplerBench::sox, ratio, soxSpeed(ratio)) : "-";
      System.out.printf(
          Locale.ROOT, "%+-9d %-8.5f | %-30s | %-30s%n", k, ratio, ourFigures, soxFigures);
    }
    System.out.println("ripple: peak-to-peak dB up to 0.9 x the lower Nyquist frequency;"
        + " rejection: dB of the strongest alias or image product under the swept sine;"
        + " speed: x real time of the 44.1 kHz stereo output on one core");
  }

  private static String figures(Converter converter, double ratio, double speed)
      throws IOException, InterruptedException {
    return String.format(Locale.ROOT, "%.5f dB %6.1f dB %6.0f x", ripple(converter, ratio),
        rejection(converter, ratio), speed);
  }

  // ---------------------------------------------------------------------------------------------
  // The converters

  private static float[] ours(float[] in, double ratio) {
    Resampler resampler = new Resampler(2, ratio);
    int frames = in.length / 2;
    int block = 1024;
    float[] out = new float[(Resampler.maxOutputFrames(block, ratio) + (int) (frames / ratio)) * 2];
    int made = 0;
    for (int at = 0; at < frames; at += block) {
      int take = Math.min(block, frames - at);
      made += resampler.process(in, at * 2, take, out, made * 2);
    }
    made += resampler.finish(out, made * 2);
    return java.util.Arrays.copyOf(out, made * 2);
  }

  private static float[] sox(float[] in, double ratio) throws IOException, InterruptedException {
    Path dir = Files.createTempDirectory("resampler-bench");
    try {
      Path input = dir.resolve("in.f32");
      Path output = dir.resolve("out.f32");
      Pcm.writeFloats(input, in);
      runSox(input, output, ratio);
      return Pcm.readFloats(output);
    } finally {
      deleteAll(dir);
    }
  }

  // Runs sox on raw stereo float files and returns its user + system CPU seconds.
  private static double runSox(Path input, Path output, double ratio)
      throws IOException, InterruptedException {
    String command = String.format(Locale.ROOT,
        "TIMEFORMAT='%%U %%S'; time sox -t f32 -c 2 -r %.6f '%s' -t f32 '%s' rate -v %d",
        OUT_RATE * ratio, input, output, OUT_RATE);
    Process process = new ProcessBuilder("bash", "-c", command).redirectErrorStream(true).start();
    String text = new String(process.getInputStream().readAllBytes()).trim();
    if (process.waitFor() != 0)
      throw new IOException("sox failed: " + text);
    String[] lines = text.split("\n");
    String[] times = lines[lines.length - 1].trim().split("\\s+");
    return Double.parseDouble(times[0]) + Double.parseDouble(times[1]);
  }

  private static double oursSpeed(double ratio) {
    float[] in = noise((int) (SPEED_SECONDS * OUT_RATE * ratio), 7);
    ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    ours(java.util.Arrays.copyOf(in, in.length / 4), ratio); // warm-up for the compiler
    long start = threads.getCurrentThreadCpuTime();
    float[] out = ours(in, ratio);
    double seconds = (threads.getCurrentThreadCpuTime() - start) * 1e-9;
    return out.length / 2.0 / OUT_RATE / seconds;
  }

  private static double soxSpeed(double ratio) throws IOException, InterruptedException {
    float[] in = noise((int) (SPEED_SECONDS * OUT_RATE * ratio), 7);
    Path dir = Files.createTempDirectory("resampler-bench");
    try {
      Path input = dir.resolve("in.f32");
      Pcm.writeFloats(input, in);
      double seconds = runSox(input, dir.resolve("out.f32"), ratio);
      return SPEED_SECONDS / seconds;
    } finally {
      deleteAll(dir);
    }
  }

  // ---------------------------------------------------------------------------------------------
  // The measurements

  // Peak-to-peak gain in dB of tones up to 0.9 of the lower Nyquist frequency.
  private static double ripple(Converter converter, double ratio)
      throws IOException, InterruptedException {
    double inRate = OUT_RATE * ratio;
    double edgeHz = 0.9 * Math.min(inRate, OUT_RATE) / 2;
    double[] hz = new double[TONES];
    double amplitude = 0.9 / TONES;
    int frames = (int) (2 * inRate);
    double[] signal = new double[frames];
    for (int t = 0; t < TONES; t++) {
      hz[t] = edgeHz * (t + 0.5) / (TONES - 0.5);
      double phase = 0.7 * t;
      for (int i = 0; i < frames; i++) {
        signal[i] += amplitude * Math.sin(2 * Math.PI * hz[t] * i / inRate + phase);
      }
    }
    float[] out = left(converter.convert(stereo(signal), ratio));
    int from = out.length / 4;
    int length = out.length / 2;
    double[] window = Windows.kaiser(length, WINDOW_BETA);
    double low = Double.MAX_VALUE;
    double high = -Double.MAX_VALUE;
    for (double f : hz) {
      double measured = windowedAmplitude(out, from, window, f / OUT_RATE);
      double gainDb = 20 * Math.log10(measured / amplitude);
      low = Math.min(low, gainDb);
      high = Math.max(high, gainDb);
    }
    return high - low;
  }

  // Rejection in dB (positive) of the strongest alias or image product of a linear sweep.
  private static double rejection(Converter converter, double ratio)
      throws IOException, InterruptedException {
    double inRate = OUT_RATE * ratio;
    int frames = (int) (SWEEP_SECONDS * inRate);
    double amplitude = 0.5;
    double topHz = inRate / 2;
    int fade = (int) (0.05 * inRate);
    double[] signal = new double[frames];
    for (int i = 0; i < frames; i++) {
      double t = i / inRate;
      double taper = Math.min(1, Math.min(i, frames - 1 - i) / (double) fade);
      taper = 0.5 - 0.5 * Math.cos(Math.PI * taper);
      signal[i] = amplitude * taper * Math.sin(Math.PI * topHz * t * t / SWEEP_SECONDS);
    }
    float[] out = left(converter.convert(stereo(signal), ratio));
    double[] window = Windows.kaiser(FFT, WINDOW_BETA);
    double windowSum = 0;
    for (double w : window) windowSum += w;
    double binHz = (double) OUT_RATE / FFT;
    // Half the main lobe, the sweep's travel within a frame and a margin.
    double guardHz = 7 * binHz + topHz / SWEEP_SECONDS * FFT / OUT_RATE / 2 + 100;
    double worst = 0;
    double[] re = new double[FFT];
    double[] im = new double[FFT];
    for (int start = (int) (0.2 * OUT_RATE); start + FFT < out.length - 0.2 * OUT_RATE;
         start += FFT / 4) {
      double sweepHz = topHz * (start + FFT / 2.0) / OUT_RATE / SWEEP_SECONDS;
      for (int i = 0; i < FFT; i++) {
        re[i] = out[start + i] * window[i];
        im[i] = 0;
      }
      Fft.forward(re, im);
      for (int b = 0; b <= FFT / 2; b++) {
        double f = b * binHz;
        if (sweepHz < OUT_RATE / 2.0 && Math.abs(f - sweepHz) < guardHz)
          continue;
        double level = 2 * Math.hypot(re[b], im[b]) / windowSum;
        worst = Math.max(worst, level);
      }
    }
    return -20 * Math.log10(worst / amplitude);
  }

  private static double windowedAmplitude(float[] x, int from, double[] window, double cycles) {
    double re = 0;
    double im = 0;
    double sum = 0;
    for (int i = 0; i < window.length; i++) {
      double phase = 2 * Math.PI * cycles * (from + i);
      re += window[i] * x[from + i] * Math.cos(phase);
      im += window[i] * x[from + i] * Math.sin(phase);
      sum += window[i];
    }
    return 2 * Math.hypot(re, im) / sum;
  }

  // ---------------------------------------------------------------------------------------------
  // Signals and files

  // The signal on the left channel and its negative on the right.
  private static float[] stereo(double[] mono) {
    float[] out = new float[mono.length * 2];
    for (int i = 0; i < mono.length; i++) {
      out[2 * i] = (float) mono[i];
      out[2 * i + 1] = (float) -mono[i];
    }
    return out;
  }

  private static float[] left(float[] interleaved) {
    float[] out = new float[interleaved.length / 2];
    for (int i = 0; i < out.length; i++) out[i] = interleaved[2 * i];
    return out;
  }

  private static float[] noise(int frames, long seed) {
    java.util.Random random = new java.util.Random(seed);
    float[] out = new float[frames * 2];
    for (int i = 0; i < out.length; i++) out[i] = (float) (random.nextGaussian() * 0.2);
    return out;
  }

  private static void deleteAll(Path dir) throws IOException {
    List<Path> files = new ArrayList<>();
    try (var stream = Files.list(dir)) {
      stream.forEach(files::add);
    }
    for (Path f : files) Files.deleteIfExists(f);
    Files.deleteIfExists(dir);
  }
}
