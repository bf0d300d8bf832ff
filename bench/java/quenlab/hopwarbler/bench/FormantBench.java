package quenlab.hopwarbler.bench;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import quenlab.hopwarbler.Processor;
import quenlab.hopwarbler.support.Levels;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.QualityMeasures;
import quenlab.hopwarbler.support.Sounds;

/**
 * The key change's formants beside the peers, at keys -7, -4, -2, +2, +4, +7 and +12 (speed 1):
 *
 * <ul>
 *   <li><b>vowel error</b>: vowels synthesised from a source falling 6 dB an octave through five
 *       formant resonators, at fundamentals from bass to soprano. The ideal result of a key change
 *       is the same resonators excited at the new fundamental, whose harmonic amplitudes are the
 *       envelope at the new harmonics' frequencies; the error is the RMS difference in dB between
 *       the output's harmonic amplitudes and those, after removing the overall level, over the
 *       harmonics below 5 kHz within 40 dB of the ideal's strongest, averaged over the vowels;
 *   <li><b>speech distance</b>: espeak-ng speech and sustained sung vowels (espeak-ng keeps its
 *       formants when its pitch changes): the RMS difference in dB between the LPC envelopes of
 *       output and input, frame by frame over the input's voiced frames (150 Hz to 5 kHz, level
 *       removed per frame), averaged over the clips;
 *   <li><b>purity</b> of a vowel (the /a/ at 196 Hz; energy at its harmonics over the rest, as the
 *       quality benchmark measures tones), the <b>pitch</b> error of its harmonics, the output's
 *       <b>length</b> error in frames, and the <b>CPU</b> in times real time;
 *   <li><b>tone level</b>: the level change of the quality benchmark's four-partial tone (220 to
 *       880 Hz), a steady sound of few partials as music has them, which the key change itself
 *       leaves at 0 dB.
 * </ul>
 *
 * Ours runs through Processor at its default quality with formants kept and shifted; the peers are
 * Rubber Band finer with and without its formant option, Rubber Band faster and SoundTouch. Prints
 * one table per key and the targets missed, or "all met"; --table writes the tables as markdown;
 * --only runs just the systems whose names begin with NAME (and checks no target).
 *
 * <pre>
 *   java -Dhopwarbler.library=... -Dhopwarbler.peer=... FormantBench [--table FILE] [--keys -4,4]
 *       [--only NAME]
 * </pre>
 */
public final class FormantBench {
  static final int RATE = 44100;
  static final int BLOCK_FRAMES = 1024;
  static final double[] KEYS = {-7, -4, -2, 2, 4, 7, 12};
  static final double[] FUNDAMENTALS = {98, 147, 220, 392};
  static final double VOWEL_SECONDS = 2.0;
  static final double PURITY_SECONDS = 1 + QualityMeasures.WINDOW / (double) RATE + 0.5;
  static final double SOURCE_CORNER_HZ = 100;
  static final double TOP_HZ = 5000;
  static final double RANGE_DB = 40;

  /** A vowel's five formants: frequency and bandwidth in Hz. */
  record Vowel(String name, double[][] formants) {
    double envelope(double f) {
      double e = 1 / Math.sqrt(1 + (f / SOURCE_CORNER_HZ) * (f / SOURCE_CORNER_HZ));
      for (double[] r : formants) {
        double x = f / r[0];
        double damping = f * r[1] / (r[0] * r[0]);
        e /= Math.sqrt((1 - x * x) * (1 - x * x) + damping * damping);
      }
      return e;
    }
  }

  static final Vowel[] VOWELS = {
      new Vowel("a",
          new double[][] {{730, 80}, {1090, 90}, {2440, 120}, {3400, 200}, {4200, 250}}),
      new Vowel("i",
          new double[][] {{270, 60}, {2290, 100}, {3010, 120}, {3700, 200}, {4500, 250}}),
      new Vowel("u",
          new double[][] {{300, 60}, {870, 80}, {2240, 120}, {3300, 200}, {4200, 250}})};

  /** What a system makes of a mono input at one key, and the CPU it took. */
  record Output(double[] x, double cpuSeconds) {}

  interface System {
    Output run(short[] mono, int rate, double semitones);
  }

  /** One system's figures at one key. */
  record Row(String system, double vowelDb, double speechDb, double purityDb, double pitchCents,
      long lengthError, double timesRealTime, double toneLevelDb) {}

  private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

  private FormantBench() {}

  public static void main(String[] args) throws IOException {
    Path table = null;
    double[] keys = KEYS;
    String only = null;
    for (int i = 0; i < args.length; i++) {
      switch (args[i]) {
        case "--table" -> table = Path.of(args[++i]);
        case "--keys" -> keys = Arrays.stream(args[++i].split(","))
                                    .mapToDouble(Double::parseDouble)
                                    .toArray();
        case "--only" -> only = args[++i];
        default -> throw new IllegalArgumentException("unknown option " + args[i]);
      }
    }
    Map<String, System> systems = new LinkedHashMap<>();
    systems.put("ours, formants kept", ours(Processor.Formants.KEEP));
    systems.put("ours, formants shifted", ours(Processor.Formants.SHIFT));
    systems.put("Rubber Band finer, formants kept", peer(Peer.Engine.RB_FINER, true));
    systems.put("Rubber Band finer", peer(Peer.Engine.RB_FINER, false));
    systems.put("Rubber Band faster, formants kept", peer(Peer.Engine.RB_FASTER, true));
    systems.put("SoundTouch", peer(Peer.Engine.SOUNDTOUCH, false));
    if (only != null) {
      String wanted = only;
      systems.keySet().removeIf(name -> !name.startsWith(wanted));
    }

    List<short[]> speech = speechClips();
    java.lang.System.out.printf(Locale.ROOT, "%d vowels x %d fundamentals, %d espeak-ng clips%n",
        VOWELS.length, FUNDAMENTALS.length, speech.size());
    Map<Double, List<Row>> rows = new LinkedHashMap<>();
    for (double key : keys) {
      List<Row> list = new ArrayList<>();
      for (Map.Entry<String, System> s : systems.entrySet()) {
        Row r = measure(s.getKey(), s.getValue(), key, speech);
        list.add(r);
        java.lang.System.out.println(format(key, r));
      }
      rows.put(key, list);
    }
    if (only != null)
      return; // the targets compare with the peers, which ran only in part
    List<String> misses = new ArrayList<>();
    for (Map.Entry<Double, List<Row>> e : rows.entrySet())
      misses.addAll(misses(e.getKey(), e.getValue()));
    java.lang.System.out.println(
        misses.isEmpty() ? "all met" : "missed:\n  " + String.join("\n  ", misses));
    if (table != null)
      Files.writeString(table, markdown(rows, misses));
  }

  static System ours(Processor.Formants formants) {
    return (mono, rate, semitones) -> {
      try (Processor p = Processor.open(rate, 1)) {
        p.setPitch(semitones);
        p.setFormants(formants);
        int frames = mono.length;
        List<short[]> parts = new ArrayList<>();
        long start = THREADS.getCurrentThreadCpuTime();
        for (int at = 0; at < frames; at += BLOCK_FRAMES)
          parts.add(p.process(mono, at, Math.min(BLOCK_FRAMES, frames - at)));
        parts.add(p.flush());
        double cpu = (THREADS.getCurrentThreadCpuTime() - start) * 1e-9;
        return new Output(Pcm.channel(Pcm.concat(parts), 1, 0), cpu);
      }
    };
  }

  static System peer(Peer.Engine engine, boolean formantsKept) {
    return (mono, rate, semitones) -> {
      Peer.Result r =
          Peer.stretch(engine, rate, 1, Pcm.toFloat(mono), 1.0, semitones, formantsKept);
      return new Output(Pcm.channel(r.out(), 1, 0), r.cpuSeconds());
    };
  }

  static Row measure(String name, System system, double key, List<short[]> speech) {
    double factor = Math.pow(2, key / 12);
    double vowelSum = 0;
    int vowels = 0;
    for (Vowel v : VOWELS) {
      for (double f0 : FUNDAMENTALS) {
        short[] in = vowel(v, f0, VOWEL_SECONDS);
        double[] out = system.run(in, RATE, key).x();
        vowelSum += envelopeError(out, v, f0, factor);
        vowels++;
      }
    }
    double speechSum = 0;
    for (short[] clip : speech) {
      double[] out = system.run(clip, ESPEAK_RATE, key).x();
      speechSum += envelopeDistance(Pcm.channel(clip, 1, 0), out, ESPEAK_RATE);
    }
    Vowel a = VOWELS[0];
    short[] in = vowel(a, 196, PURITY_SECONDS);
    Output o = system.run(in, RATE, key);
    double[] harmonics = harmonics(196 * factor, 20000);
    double[] padded = Arrays.copyOf(o.x(), Math.max(o.x().length, RATE + QualityMeasures.WINDOW));
    double purity = QualityMeasures.purityDb(padded, RATE, RATE, harmonics);
    double[] strong = harmonics(196 * factor, 1500);
    double pitch = QualityMeasures.pitchErrorCents(padded, RATE, RATE, strong);
    long lengthError = o.x().length - in.length;
    // Music's steady tones: the level of the quality benchmark's four-partial tone.
    short[] tone = Sounds.partialTone(RATE, 3, Sounds.PARTIALS_HZ);
    double[] toneOut = system.run(tone, RATE, key).x();
    int to = Math.min(toneOut.length, tone.length) - RATE / 2;
    double toneLevel = 20
        * Math.log10(Levels.rms(toneOut, RATE, to) / Levels.rms(Pcm.channel(tone, 1, 0), RATE, to));
    return new Row(name, vowelSum / vowels,
        speech.isEmpty() ? Double.NaN : speechSum / speech.size(), purity, pitch, lengthError,
        in.length / (double) RATE / o.cpuSeconds(), toneLevel);
  }

  static double[] harmonics(double f0, double below) {
    int n = (int) Math.floor((below - 1) / f0);
    double[] out = new double[n];
    for (int h = 1; h <= n; h++) out[h - 1] = h * f0;
    return out;
  }

  // The vowel at fundamental f0, harmonics up to 10 kHz, peak 0.5 of full scale.
  static short[] vowel(Vowel v, double f0, double seconds) {
    int frames = (int) Math.round(seconds * RATE);
    double[] x = new double[frames];
    for (int h = 1; h * f0 < 10000; h++) {
      double a = v.envelope(h * f0);
      double phase = 0.7 * h * h; // spread phases keep the crest low
      double step = 2 * Math.PI * h * f0 / RATE;
      // A rotating phasor: no trigonometry per sample, exact enough over a few seconds.
      double c = Math.cos(step);
      double s = Math.sin(step);
      double re = Math.cos(phase);
      double im = Math.sin(phase);
      for (int i = 0; i < frames; i++) {
        x[i] += a * im;
        double r = re * c - im * s;
        im = re * s + im * c;
        re = r;
      }
    }
    double peak = 0;
    for (double v2 : x) peak = Math.max(peak, Math.abs(v2));
    short[] out = new short[frames];
    for (int i = 0; i < frames; i++) out[i] = Pcm.toSample(0.5 * x[i] / peak);
    return out;
  }

  // RMS dB difference of the output's harmonics from the ideal's, level removed.
  static double envelopeError(double[] out, Vowel v, double f0, double factor) {
    double newF0 = f0 * factor;
    int n = 32768;
    int from = Math.max(0, (out.length - n) / 2);
    n = Math.min(n, out.length - from);
    double strongest = 0;
    for (double f = newF0; f < TOP_HZ; f += newF0) strongest = Math.max(strongest, v.envelope(f));
    List<Double> diff = new ArrayList<>();
    for (int h = 1; h * newF0 < TOP_HZ; h++) {
      double ideal = v.envelope(h * newF0);
      if (20 * Math.log10(ideal / strongest) < -RANGE_DB)
        continue;
      double got = amplitude(out, from, n, h * newF0, RATE);
      diff.add(20 * Math.log10(Math.max(got, 1e-9) / ideal));
    }
    double mean = diff.stream().mapToDouble(Double::doubleValue).average().orElse(0);
    double sq = diff.stream().mapToDouble(d -> (d - mean) * (d - mean)).average().orElse(0);
    return Math.sqrt(sq);
  }

  // Amplitude of frequency f in x[from, from + n) under a Hann window.
  static double amplitude(double[] x, int from, int n, double f, int rate) {
    double step = 2 * Math.PI * f / rate;
    double c = Math.cos(step);
    double s = Math.sin(step);
    double re = 1;
    double im = 0;
    double sumRe = 0;
    double sumIm = 0;
    double weights = 0;
    double wStep = 2 * Math.PI / n;
    double wc = Math.cos(wStep);
    double ws = Math.sin(wStep);
    double wr = 1;
    double wi = 0;
    for (int i = 0; i < n; i++) {
      double w = 0.5 - 0.5 * wr;
      sumRe += w * x[from + i] * re;
      sumIm -= w * x[from + i] * im;
      weights += w;
      double r = re * c - im * s;
      im = re * s + im * c;
      re = r;
      double r2 = wr * wc - wi * ws;
      wi = wr * ws + wi * wc;
      wr = r2;
    }
    return 2 * Math.hypot(sumRe, sumIm) / weights;
  }

  // ---- Speech: espeak-ng ----

  static final int ESPEAK_RATE = 22050;

  // Speech of a low and a high voice, and sustained sung vowels; none when espeak-ng is missing.
  static List<short[]> speechClips() {
    String text = "The quick brown fox jumps over the lazy dog, while seven singers hum along.";
    String sung = "Laaaa, looooo, leeeee, maaaa, nooooo.";
    String[][] clips = {{"-v", "en", "-p", "40", text}, {"-v", "en+f3", "-p", "60", text},
        {"-v", "en+f2", "-p", "85", text}, {"-v", "en", "-s", "70", "-p", "50", sung},
        {"-v", "en+f4", "-s", "70", "-p", "75", sung}};
    List<short[]> out = new ArrayList<>();
    for (String[] clip : clips) {
      List<String> command = new ArrayList<>(List.of("espeak-ng", "--stdout"));
      command.addAll(List.of(clip));
      try {
        Process p =
            new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.DISCARD).start();
        byte[] wav = p.getInputStream().readAllBytes();
        if (p.waitFor() != 0)
          return List.of();
        out.add(wavSamples(wav));
      } catch (IOException e) {
        java.lang.System.out.println(
            "espeak-ng not run (" + e.getMessage() + "): no speech measure");
        return List.of();
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        return List.of();
      }
    }
    return out;
  }

  // The 16-bit mono samples of espeak-ng's WAV output (whose sizes may be left unset).
  static short[] wavSamples(byte[] wav) {
    ByteBuffer b = ByteBuffer.wrap(wav).order(ByteOrder.LITTLE_ENDIAN);
    int at = 12;
    while (at + 8 <= wav.length) {
      String id = new String(wav, at, 4, java.nio.charset.StandardCharsets.US_ASCII);
      int size = b.getInt(at + 4);
      if (id.equals("data")) {
        int n = (wav.length - at - 8) / 2;
        short[] out = new short[n];
        for (int i = 0; i < n; i++) out[i] = b.getShort(at + 8 + 2 * i);
        return out;
      }
      at += 8 + size + (size & 1);
    }
    throw new IllegalStateException("espeak-ng gave no data chunk");
  }

  // Mean over the input's voiced frames of the RMS dB difference of the LPC envelopes.
  static double envelopeDistance(double[] in, double[] out, int rate) {
    int n = 1024;
    int hop = 256;
    int order = rate / 1000 + 4;
    int points = 60;
    double[] hz = new double[points];
    for (int j = 0; j < points; j++) hz[j] = 150 * Math.pow(TOP_HZ / 150, j / (points - 1.0));
    double loudest = 0;
    int frames = (Math.min(in.length, out.length) - n) / hop;
    double[] energy = new double[Math.max(frames, 0)];
    for (int f = 0; f < frames; f++) {
      for (int i = 0; i < n; i++) energy[f] += in[f * hop + i] * in[f * hop + i];
      loudest = Math.max(loudest, energy[f]);
    }
    double sum = 0;
    int counted = 0;
    for (int f = 0; f < frames; f++) {
      if (energy[f] < loudest * 1e-3 || !voiced(in, f * hop, n, rate))
        continue;
      double[] a = lpcEnvelope(in, f * hop, n, order, hz, rate);
      double[] b = lpcEnvelope(out, f * hop, n, order, hz, rate);
      double mean = 0;
      for (int j = 0; j < points; j++) mean += (b[j] - a[j]) / points;
      double sq = 0;
      for (int j = 0; j < points; j++) sq += Math.pow(b[j] - a[j] - mean, 2) / points;
      sum += Math.sqrt(sq);
      counted++;
    }
    return counted == 0 ? Double.NaN : sum / counted;
  }

  // Voiced: the normalised autocorrelation peaks above 0.5 at a lag of 2 to 12 ms.
  static boolean voiced(double[] x, int from, int n, int rate) {
    double zero = 0;
    for (int i = 0; i < n; i++) zero += x[from + i] * x[from + i];
    if (zero <= 0)
      return false;
    double best = 0;
    for (int lag = rate / 500; lag <= rate * 12 / 1000; lag++) {
      double s = 0;
      for (int i = 0; i + lag < n; i++) s += x[from + i] * x[from + i + lag];
      best = Math.max(best, s / zero);
    }
    return best > 0.5;
  }

  // The LPC envelope in dB (autocorrelation method, Hann window) at the frequencies hz.
  static double[] lpcEnvelope(double[] x, int from, int n, int order, double[] hz, int rate) {
    double[] w = new double[n];
    for (int i = 0; i < n; i++) w[i] = x[from + i] * (0.5 - 0.5 * Math.cos(2 * Math.PI * i / n));
    double[] r = new double[order + 1];
    for (int k = 0; k <= order; k++) {
      for (int i = k; i < n; i++) r[k] += w[i] * w[i - k];
    }
    r[0] = r[0] * (1 + 1e-9) + 1e-12;
    double[] a = new double[order + 1];
    a[0] = 1;
    double err = r[0];
    for (int i = 1; i <= order; i++) {
      double k = r[i];
      for (int j = 1; j < i; j++) k += a[j] * r[i - j];
      k = -k / err;
      double[] prev = a.clone();
      for (int j = 1; j < i; j++) a[j] = prev[j] + k * prev[i - j];
      a[i] = k;
      err *= 1 - k * k;
    }
    double[] out = new double[hz.length];
    for (int j = 0; j < hz.length; j++) {
      double re = 0;
      double im = 0;
      for (int k = 0; k <= order; k++) {
        re += a[k] * Math.cos(2 * Math.PI * hz[j] * k / rate);
        im -= a[k] * Math.sin(2 * Math.PI * hz[j] * k / rate);
      }
      out[j] = 10 * Math.log10(err / (re * re + im * im));
    }
    return out;
  }

  // ---- Report ----

  static String format(double key, Row r) {
    return String.format(Locale.ROOT,
        "key %+3d  %-36s vowel %5.2f dB  speech %5.2f dB  purity %6.1f dB  pitch %5.2f c"
            + "  length %+5d  cpu %6.1f xRT  tone level %+5.2f dB",
        (int) key, r.system(), r.vowelDb(), r.speechDb(), r.purityDb(), r.pitchCents(),
        r.lengthError(), r.timesRealTime(), r.toneLevelDb());
  }

  // The targets against Rubber Band finer with its formant option.
  static List<String> misses(double key, List<Row> rows) {
    Row ours = rows.get(0);
    Row finer = rows.get(2);
    List<String> out = new ArrayList<>();
    String at = String.format(Locale.ROOT, "key %+d: ", (int) key);
    if (!(ours.vowelDb() <= finer.vowelDb() - 0.5))
      out.add(at + String.format(Locale.ROOT, "vowel error %.2f dB, want <= %.2f", ours.vowelDb(),
          finer.vowelDb() - 0.5));
    if (!(ours.speechDb() <= finer.speechDb()) && !Double.isNaN(finer.speechDb()))
      out.add(at + String.format(Locale.ROOT, "speech distance %.2f dB, want <= %.2f",
          ours.speechDb(), finer.speechDb()));
    if (!(ours.purityDb() >= finer.purityDb() + 10))
      out.add(at + String.format(Locale.ROOT, "purity %.1f dB, want >= %.1f", ours.purityDb(),
          finer.purityDb() + 10));
    if (!(ours.pitchCents() <= 0.5))
      out.add(at + String.format(Locale.ROOT, "pitch %.2f cents", ours.pitchCents()));
    if (ours.lengthError() != 0)
      out.add(at + "length off by " + ours.lengthError() + " frames");
    if (!(ours.timesRealTime() >= 3 * finer.timesRealTime()))
      out.add(at + String.format(Locale.ROOT, "CPU %.1f x real time, want >= %.1f",
          ours.timesRealTime(), 3 * finer.timesRealTime()));
    return out;
  }

  static String markdown(Map<Double, List<Row>> rows, List<String> misses) {
    StringBuilder s = new StringBuilder();
    s.append("| key | system | vowel error (dB) | speech distance (dB) | purity (dB) |")
        .append(" pitch (cents) | length (frames) | CPU (x real time) | tone level (dB) |\n")
        .append("| --- | --- | --- | --- | --- | --- | --- | --- | --- |\n");
    for (Map.Entry<Double, List<Row>> e : rows.entrySet()) {
      for (Row r : e.getValue()) {
        s.append(String.format(Locale.ROOT,
            "| %+d | %s | %.2f | %.2f | %.1f | %.2f | %+d | %.1f | %+.2f |%n",
            e.getKey().intValue(), r.system(), r.vowelDb(), r.speechDb(), r.purityDb(),
            r.pitchCents(), r.lengthError(), r.timesRealTime(), r.toneLevelDb()));
      }
    }
    s.append('\n')
        .append(misses.isEmpty() ? "All targets met." : "Missed: " + String.join("; ", misses))
        .append('\n');
    return s.toString();
  }
}
