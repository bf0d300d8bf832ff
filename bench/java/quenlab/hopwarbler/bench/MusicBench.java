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
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.function.Predicate;
import java.util.function.Supplier;
import java.util.function.ToDoubleFunction;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;
import quenlab.hopwarbler.Processor;
import quenlab.hopwarbler.support.MusicMeasures;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;

/**
 * The music benchmark: what a time-stretch does to recorded stereo music and to a synthetic stereo
 * control, for our library through {@link Processor} as a user opens it, beside Rubber Band's two
 * engines and SoundTouch in the same run, at the speeds 0.5 to 2.
 *
 * <p>Per system, signal and speed: the leak of the control's centred chord into the side, the
 * change of side against mid (overall and per octave) and of the inter-channel coherence per
 * octave, the onset width (spectral flux), the chroma correlation, the third-octave balance and
 * the 39 to 79 Hz bands against the rest, the level, the log-spectral distance of a round trip
 * (the speed, then its inverse, over the first ten seconds), the CPU time and the length. Each
 * system stretches each signal once per speed, and once more for the round trip; the inputs are
 * measured once. It prints the tables, checks our rows against the targets beside Rubber Band
 * finer, and writes the tables as Markdown and a picture of the stereo image per octave.
 *
 * <pre>
 * java -Dhopwarbler.peer=PEER -cp hopwarbler.jar:hopwarbler-support.jar:hopwarbler-bench.jar \
 *     quenlab.hopwarbler.bench.MusicBench [--music EXCERPTS.tsv] [--only NAME,...]
 *     [--table FILE.md] [--png FILE.png] [--speeds 0.5,0.67,...] [--jobs N]
 * </pre>
 *
 * EXCERPTS.tsv has one excerpt a line, its fields separated by tabs: name, WAV file (16-bit stereo
 * at 44.1 kHz), where it comes from, its character, and "percussive" or "-". Without it the
 * control is measured alone.
 */
public final class MusicBench {
  static final int RATE = 44100;
  static final int BLOCK_FRAMES = 1024;
  static final double CONTROL_SECONDS = 20;
  static final double ROUND_TRIP_SECONDS = 10;
  // The end of a round trip left out of its distance: the first pass's output is cut there.
  static final double ROUND_TRIP_MARGIN_SECONDS = 0.25;
  static final int MAX_LAG = 2048;
  static final double BASS_LOW_HZ = 39;
  static final double BASS_HIGH_HZ = 79;
  static final String CONTROL = "control";

  /** A signal of the benchmark: a music excerpt or the control, and its own measures. */
  record Signal(String name, String source, String character, boolean percussive, short[] samples,
      Reference reference) {
    boolean control() {
      return name.equals(CONTROL);
    }

    int frames() {
      return samples.length / 2;
    }
  }

  /** The measures of an input that its outputs are compared with. */
  record Reference(MusicMeasures.StereoImage image, double[] mid, double[] flux, double[] bands,
      double levelDb, double leakDb, double[][] roundTrip) {}

  /** A system's output, interleaved stereo, and the CPU seconds of its processing calls. */
  record Run(short[] out, double cpuSeconds) {}

  interface Stretch {
    Run run(short[] interleaved, double speed);
  }

  /** A system under test; ours run one at a time, since the library serves one stream. */
  record Stretcher(String label, boolean ours, Stretch stretch) {}

  /** One system's figures for one signal at one speed; the changes are output less input. */
  record Figures(String system, String signal, double speed, double leakDb, double sideToMidDb,
      double[] sideToMidOctavesDb, double[] coherenceOctaves, double onsetInMs, double onsetOutMs,
      double chroma, double balanceDb, double bassDb, double levelDb, double roundTripDb,
      double timesRealTime, long lengthError) {}

  private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();
  private static final int OCTAVE_63 = 1;

  private MusicBench() {}

  public static void main(String[] args) throws Exception {
    Locale.setDefault(Locale.ROOT);
    Path list = null;
    Path table = null;
    Path png = null;
    Set<String> only = null;
    double[] speeds = {0.5, 0.67, 0.8, 1.25, 1.5, 2.0};
    int jobs = Runtime.getRuntime().availableProcessors();
    for (int i = 0; i < args.length; i++) {
      String arg = args[i];
      if (arg.equals("--music")) {
        list = Path.of(args[++i]);
      } else if (arg.equals("--only")) {
        only = Set.of(args[++i].split(","));
      } else if (arg.equals("--table")) {
        table = Path.of(args[++i]);
      } else if (arg.equals("--png")) {
        png = Path.of(args[++i]);
      } else if (arg.equals("--speeds")) {
        speeds = QualityBench.numbers(args[++i]);
      } else if (arg.equals("--jobs")) {
        jobs = Integer.parseInt(args[++i]);
      } else {
        throw new IllegalArgumentException("unknown argument " + arg);
      }
    }

    ExecutorService pool = Executors.newFixedThreadPool(Math.max(1, jobs));
    ExecutorService oursThread = Executors.newSingleThreadExecutor();
    try {
      List<Signal> signals = signals(list, only, pool);
      if (signals.isEmpty())
        throw new IllegalArgumentException("nothing to measure: --only names no signal");
      if (signals.stream().noneMatch(s -> !s.control()))
        System.err.println("No music excerpts: the synthetic control alone.");
      // Ours first: the targets are checked on the first row against Rubber Band finer.
      List<Stretcher> systems = new ArrayList<>();
      systems.add(ours("hopwarbler", () -> Processor.open(RATE, 2)));
      for (Peer.Engine engine : Peer.Engine.values()) systems.add(peer(engine));
      // The JIT compiles the Java layer before anything is timed.
      systems.get(0).stretch().run(Sounds.music(RATE, 5, 1), 1);

      List<CompletableFuture<Figures>> futures = new ArrayList<>();
      for (Signal signal : signals) {
        for (double speed : speeds) {
          for (Stretcher system : systems) {
            futures.add(CompletableFuture.supplyAsync(() -> {
              Figures f = measure(system, signal, speed);
              synchronized (System.err) {
                System.err.printf("%-12s speed %-5s %-20s %s%n", signal.name(),
                    QualityBench.trim(speed), system.label(), format(f));
              }
              return f;
            }, system.ours() ? oursThread : pool));
          }
        }
      }
      List<Figures> figures = new ArrayList<>();
      for (CompletableFuture<Figures> f : futures) figures.add(f.join());

      Results results = new Results(signals, systems, speeds, figures, jobs);
      String markdown = results.markdown();
      System.out.println(markdown);
      if (table != null)
        Files.writeString(table, markdown);
      if (png != null && results.music().size() > 0)
        StereoPlot.write(png, results);
    } finally {
      pool.shutdownNow();
      oursThread.shutdownNow();
    }
  }

  // The control and the excerpts of `list` (those named in `only`, if given), each measured once.
  static List<Signal> signals(Path list, Set<String> only, ExecutorService pool)
      throws IOException {
    Predicate<String> wanted = name -> only == null || only.contains(name);
    List<CompletableFuture<Signal>> signals = new ArrayList<>();
    if (wanted.test(CONTROL)) {
      short[] control = Sounds.stereoControl(RATE, CONTROL_SECONDS);
      signals.add(CompletableFuture.supplyAsync(
          ()
              -> signal(CONTROL, "synthetic",
                  "a chord exactly in the centre, a 1 kHz tone on the left", false, control),
          pool));
    }
    if (list != null) {
      for (String line : Files.readAllLines(list)) {
        if (line.isBlank() || line.startsWith("#"))
          continue;
        String[] field = line.split("\t");
        if (field.length != 5)
          throw new IllegalArgumentException(list + ": want 5 tab-separated fields: " + line);
        if (!wanted.test(field[0]))
          continue;
        short[] samples = readWav(Path.of(field[1]));
        signals.add(CompletableFuture.supplyAsync(
            ()
                -> signal(field[0], field[2], field[3], field[4].equals("percussive"), samples),
            pool));
      }
    }
    return signals.stream().map(CompletableFuture::join).toList();
  }

  static Signal signal(
      String name, String source, String character, boolean percussive, short[] samples) {
    double[] left = Pcm.channel(samples, 2, 0);
    double[] right = Pcm.channel(samples, 2, 1);
    double[] mid = MusicMeasures.mid(left, right);
    int tripFrames = (int) Math.round((ROUND_TRIP_SECONDS - ROUND_TRIP_MARGIN_SECONDS) * RATE);
    double[][] roundTrip = {Arrays.copyOf(left, Math.min(left.length, tripFrames)),
        Arrays.copyOf(right, Math.min(right.length, tripFrames))};
    Reference reference = new Reference(MusicMeasures.stereoImage(left, right, RATE), mid,
        MusicMeasures.spectralFlux(mid), MusicMeasures.thirdOctaveDb(mid, RATE),
        MusicMeasures.levelDb(left, right),
        MusicMeasures.centredLeakDb(left, right, RATE, Sounds.CONTROL_CHORD_HZ), roundTrip);
    return new Signal(name, source, character, percussive, samples, reference);
  }

  // A 16-bit stereo WAV file at RATE, interleaved.
  static short[] readWav(Path file) throws IOException {
    try (AudioInputStream in = AudioSystem.getAudioInputStream(file.toFile())) {
      AudioFormat f = in.getFormat();
      if (f.getEncoding() != AudioFormat.Encoding.PCM_SIGNED || f.getSampleSizeInBits() != 16
          || f.getChannels() != 2 || f.getSampleRate() != RATE) {
        throw new IOException(file + ": want 16-bit stereo PCM at " + RATE + " Hz, not " + f);
      }
      ByteBuffer bytes =
          ByteBuffer.wrap(in.readAllBytes())
              .order(f.isBigEndian() ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
      short[] samples = new short[bytes.remaining() / 4 * 2];
      bytes.asShortBuffer().get(samples);
      return samples;
    } catch (UnsupportedAudioFileException e) {
      throw new IOException(file + ": " + e.getMessage(), e);
    }
  }

  static Stretcher ours(String label, Supplier<Processor> opener) {
    return new Stretcher(label, true, (in, speed) -> {
      try (Processor p = opener.get()) {
        p.setSpeed(speed);
        int frames = in.length / 2;
        List<short[]> parts = new ArrayList<>();
        long start = THREADS.getCurrentThreadCpuTime();
        for (int at = 0; at < frames; at += BLOCK_FRAMES)
          parts.add(p.process(in, at * 2, Math.min(BLOCK_FRAMES, frames - at)));
        parts.add(p.flush());
        double cpu = (THREADS.getCurrentThreadCpuTime() - start) * 1e-9;
        return new Run(Pcm.concat(parts), cpu);
      }
    });
  }

  static Stretcher peer(Peer.Engine engine) {
    return new Stretcher(engine.label, false, (in, speed) -> {
      Peer.Result r = Peer.stretch(engine, RATE, 2, Pcm.toFloat(in), speed, 0);
      return new Run(Pcm.toSamples(r.out()), r.cpuSeconds());
    });
  }

  static Figures measure(Stretcher system, Signal signal, double speed) {
    Reference in = signal.reference();
    Run run = system.stretch().run(signal.samples(), speed);
    // The round trip stretches the output of the first ROUND_TRIP_SECONDS back by 1 / speed.
    int outFrames = run.out().length / 2;
    int head = (int) Math.min(outFrames, Math.round(ROUND_TRIP_SECONDS * RATE / speed));
    Run back = system.stretch().run(Arrays.copyOf(run.out(), 2 * head), 1 / speed);

    double[] left = Pcm.channel(run.out(), 2, 0);
    double[] right = Pcm.channel(run.out(), 2, 1);
    double[] mid = MusicMeasures.mid(left, right);
    MusicMeasures.StereoImage image = MusicMeasures.stereoImage(left, right, RATE);
    double[] sideOctaves = new double[MusicMeasures.OCTAVES_HZ.length];
    double[] coherence = new double[sideOctaves.length];
    for (int o = 0; o < sideOctaves.length; o++) {
      sideOctaves[o] = image.sideToMidOctavesDb()[o] - in.image().sideToMidOctavesDb()[o];
      coherence[o] = image.coherence()[o] - in.image().coherence()[o];
    }
    MusicMeasures.OnsetWidths onsets =
        MusicMeasures.onsetWidths(in.flux(), MusicMeasures.spectralFlux(mid), RATE, speed);
    double[] bands = MusicMeasures.thirdOctaveDb(mid, RATE);
    double[][] trip = {Pcm.channel(back.out(), 2, 0), Pcm.channel(back.out(), 2, 1)};
    return new Figures(system.label(), signal.name(), speed,
        signal.control() ? MusicMeasures.centredLeakDb(left, right, RATE, Sounds.CONTROL_CHORD_HZ)
                         : Double.NaN,
        image.sideToMidDb() - in.image().sideToMidDb(), sideOctaves, coherence, onsets.inputMs(),
        onsets.outputMs(), MusicMeasures.chromaCorrelation(in.mid(), mid, RATE, speed),
        MusicMeasures.balanceDeviationDb(in.bands(), bands),
        MusicMeasures.bandsDeviationDb(in.bands(), bands, BASS_LOW_HZ, BASS_HIGH_HZ),
        MusicMeasures.levelDb(left, right) - in.levelDb(),
        MusicMeasures.logSpectralDistanceDb(in.roundTrip(), trip, MAX_LAG),
        signal.frames() / (double) RATE / run.cpuSeconds(),
        outFrames - Math.round(signal.frames() / speed));
  }

  static String format(Figures f) {
    return String.format("leak %s  S/M %+6.2f dB  coh63 %+6.3f  onset %5.1f/%5.1f ms  chroma %.4f"
            + "  balance %5.2f dB  39-79 Hz %+6.2f dB  level %+6.2f dB  round trip %5.2f dB"
            + "  cpu %6.1f xRT  length %+d",
        db(f.leakDb()), f.sideToMidDb(), f.coherenceOctaves()[OCTAVE_63], f.onsetInMs(),
        f.onsetOutMs(), f.chroma(), f.balanceDb(), f.bassDb(), f.levelDb(), f.roundTripDb(),
        f.timesRealTime(), f.lengthError());
  }

  // A level in dB with one decimal; "-inf" where nothing is there at all, "-" when not measured.
  static String db(double v) {
    return Double.isNaN(v)              ? "–"
        : v == Double.NEGATIVE_INFINITY ? "-inf"
                                        : String.format("%.1f", v);
  }

  /** The figures of a run, averaged and laid out. */
  record Results(List<Signal> signals, List<Stretcher> systems, double[] speeds,
      List<Figures> figures, int jobs) {
    List<Signal> music() {
      return signals.stream().filter(s -> !s.control()).toList();
    }

    List<Figures> at(String system, double speed, Predicate<Signal> which) {
      List<String> names = signals.stream().filter(which).map(Signal::name).toList();
      return figures.stream()
          .filter(
              f -> f.system().equals(system) && f.speed() == speed && names.contains(f.signal()))
          .toList();
    }

    static double mean(List<Figures> list, ToDoubleFunction<Figures> value) {
      return list.stream().mapToDouble(value).average().orElse(Double.NaN);
    }

    // The figure of the signal whose value is farthest from 0.
    static Figures worst(List<Figures> list, ToDoubleFunction<Figures> value) {
      Figures worst = null;
      for (Figures f : list) {
        if (worst == null
            || Math.abs(value.applyAsDouble(f)) > Math.abs(value.applyAsDouble(worst)))
          worst = f;
      }
      return worst;
    }

    /** The mean of one octave figure over the music excerpts. */
    double[] octaveMeans(String system, double speed, boolean coherence) {
      List<Figures> list = at(system, speed, s -> !s.control());
      double[] means = new double[MusicMeasures.OCTAVES_HZ.length];
      for (int o = 0; o < means.length; o++) {
        int octave = o;
        means[o] = mean(
            list, f -> coherence ? f.coherenceOctaves()[octave] : f.sideToMidOctavesDb()[octave]);
      }
      return means;
    }

    String markdown() {
      StringBuilder md = new StringBuilder();
      List<Signal> music = music();
      md.append(String.format("Measured at %d Hz, stereo, in blocks of %d frames, on %d excerpts"
              + " of recorded music and a synthetic control, %.0f s each; the round trip over the"
              + " first %.0f s. Ours run on one thread while the peers run beside it, up to %d at"
              + " a time, on %d cores.%n%n",
          RATE, BLOCK_FRAMES, music.size(), signals.get(0).frames() / (double) RATE,
          ROUND_TRIP_SECONDS, jobs, Runtime.getRuntime().availableProcessors()));
      md.append("| signal | source | character | percussive |\n|---|---|---|---|\n");
      for (Signal s : signals) {
        md.append(String.format("| %s | %s | %s | %s |%n", s.name(), s.source(), s.character(),
            s.percussive() ? "yes" : ""));
      }
      md.append('\n');
      if (!music.isEmpty()) {
        md.append("### Mean over the excerpts\n\n");
        md.append(summary(s -> !s.control(), true));
        md.append("### Against the targets (beside Rubber Band finer)\n\n");
        md.append(verdict());
        md.append("### Side to mid, change per octave (dB), mean over the excerpts\n\n");
        md.append(octaves(false));
        md.append("### Coherence, change per octave, mean over the excerpts\n\n");
        md.append(octaves(true));
      }
      for (Signal s : signals) {
        md.append(String.format("### %s: %s%n%n", s.name(), s.character()));
        md.append(summary(x -> x.name().equals(s.name()), false));
      }
      return md.toString();
    }

    // One row per speed and system: the figures of the signals `which` chooses, averaged.
    String summary(Predicate<Signal> which, boolean withControl) {
      // The onset widths come from the percussive signals among them, if there are any. The
      // control's steady partials have no onsets, and its third-octave bands between them hold
      // nothing but leakage: those columns stay empty for it.
      Predicate<Signal> onsetSignals = signals.stream().anyMatch(which.and(Signal::percussive))
          ? which.and(Signal::percussive)
          : which;
      boolean controlOnly = signals.stream().filter(which).allMatch(Signal::control);
      boolean leakShown = withControl || signals.stream().anyMatch(which.and(Signal::control));
      double inputOnset =
          mean(at(systems.get(0).label(), speeds[0], onsetSignals), Figures::onsetInMs);
      StringBuilder md = new StringBuilder();
      md.append(String.format("| speed | system | chord leak dB | S/M change dB |"
              + " coherence change 63 Hz | onset width ms (input %s) | chroma |"
              + " balance dB | 39-79 Hz dB | RMS change dB | round trip dB | CPU x real time |"
              + " length frames |%n",
          controlOnly ? "–" : String.format("%.1f", inputOnset)));
      md.append("|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
      for (double speed : speeds) {
        for (Stretcher system : systems) {
          List<Figures> list = at(system.label(), speed, which);
          List<Figures> onsets = at(system.label(), speed, onsetSignals);
          List<Figures> leak = at(system.label(), speed, Signal::control);
          md.append(String.format("| %s | %s | %s | %+.2f | %+.3f | %s | %.4f | %s | %s | %+.2f |"
                  + " %.2f | %.0f | %s |%n",
              QualityBench.trim(speed), system.label(),
              leakShown ? db(mean(leak, Figures::leakDb)) : "–", mean(list, Figures::sideToMidDb),
              mean(list, f -> f.coherenceOctaves()[OCTAVE_63]),
              controlOnly ? "–" : String.format("%.1f", mean(onsets, Figures::onsetOutMs)),
              mean(list, Figures::chroma),
              controlOnly ? "–" : String.format("%.2f", mean(list, Figures::balanceDb)),
              controlOnly ? "–" : String.format("%+.2f", mean(list, Figures::bassDb)),
              mean(list, Figures::levelDb), mean(list, Figures::roundTripDb),
              mean(list, Figures::timesRealTime), lengths(list)));
        }
      }
      return md.append('\n').toString();
    }

    // "0" when every output has its exact length, else the range of the errors.
    static String lengths(List<Figures> list) {
      long low = list.stream().mapToLong(Figures::lengthError).min().orElse(0);
      long high = list.stream().mapToLong(Figures::lengthError).max().orElse(0);
      return low == high ? String.format("%+d", low) : String.format("%+d to %+d", low, high);
    }

    String octaves(boolean coherence) {
      StringBuilder md = new StringBuilder("| speed | system |");
      for (double hz : MusicMeasures.OCTAVES_HZ) md.append(' ').append(hzLabel(hz)).append(" |");
      md.append("\n|---|---|").append("---|".repeat(MusicMeasures.OCTAVES_HZ.length)).append('\n');
      for (double speed : speeds) {
        for (Stretcher system : systems) {
          md.append("| ").append(QualityBench.trim(speed)).append(" | ").append(system.label());
          md.append(" |");
          for (double v : octaveMeans(system.label(), speed, coherence))
            md.append(String.format(coherence ? " %+.3f |" : " %+.2f |", v));
          md.append('\n');
        }
      }
      return md.append('\n').toString();
    }

    // Our first row against the targets, beside Rubber Band finer, per speed.
    String verdict() {
      String ours = systems.get(0).label();
      String finer = Peer.Engine.RB_FINER.label;
      StringBuilder md = new StringBuilder("| speed | result |\n|---|---|\n");
      for (double speed : speeds) {
        List<String> misses = new ArrayList<>();
        List<Figures> list = at(ours, speed, s -> !s.control());
        List<Figures> reference = at(finer, speed, s -> !s.control());
        double leak = mean(at(ours, speed, Signal::control), Figures::leakDb);
        if (!(leak <= -40))
          misses.add(String.format("chord leak %s dB > -40", db(leak)));
        double sideToMid = mean(list, Figures::sideToMidDb);
        if (Math.abs(sideToMid) > 0.3)
          misses.add(String.format("S/M change %+.2f dB on average", sideToMid));
        Figures widest = worst(list, Figures::sideToMidDb);
        if (widest != null && Math.abs(widest.sideToMidDb()) > 0.6) {
          misses.add(
              String.format("S/M change %+.2f dB on %s", widest.sideToMidDb(), widest.signal()));
        }
        double coherence = mean(list, f -> f.coherenceOctaves()[OCTAVE_63]);
        if (coherence < -0.05)
          misses.add(String.format("coherence change %+.3f at 63 Hz", coherence));
        if (speed == 0.5) {
          for (Figures f : at(ours, speed, s -> s.percussive() && !s.control())) {
            if (f.onsetOutMs() > 1.2 * f.onsetInMs()) {
              misses.add(String.format("onset width %.1f ms > 1.2 x %.1f on %s", f.onsetOutMs(),
                  f.onsetInMs(), f.signal()));
            }
          }
        }
        double chroma = mean(list, Figures::chroma);
        double finerChroma = mean(reference, Figures::chroma);
        if (chroma < finerChroma)
          misses.add(String.format("chroma %.4f < %.4f", chroma, finerChroma));
        double balance = mean(list, Figures::balanceDb);
        double finerBalance = mean(reference, Figures::balanceDb);
        if (balance > finerBalance + 0.1)
          misses.add(String.format("balance %.2f > %.2f + 0.1 dB", balance, finerBalance));
        double level = mean(list, Figures::levelDb);
        if (Math.abs(level) > 0.2)
          misses.add(String.format("RMS change %+.2f dB", level));
        double speedRatio = throughput(list) / throughput(reference);
        if (speedRatio < 3)
          misses.add(String.format("CPU %.1f x Rubber Band finer's throughput", speedRatio));
        for (Figures f : at(ours, speed, s -> true)) {
          if (f.lengthError() != 0)
            misses.add(String.format("length %+d on %s", f.lengthError(), f.signal()));
        }
        md.append(String.format("| %s | %s |%n", QualityBench.trim(speed),
            misses.isEmpty() ? "all met" : String.join("; ", misses)));
      }
      return md.append('\n').toString();
    }

    // Seconds of input per CPU second over all the signals together.
    static double throughput(List<Figures> list) {
      double cpu = 0;
      for (Figures f : list) cpu += 1 / f.timesRealTime();
      return list.size() / cpu;
    }
  }

  static String hzLabel(double hz) {
    return hz >= 1000 ? String.format("%.0f kHz", hz / 1000)
                      : String.format(hz == Math.rint(hz) ? "%.0f Hz" : "%.1f Hz", hz);
  }
}
