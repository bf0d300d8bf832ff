package quenlab.hopwarbler.bench;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import quenlab.hopwarbler.Processor;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.QualityMeasures;
import quenlab.hopwarbler.support.Sounds;

/**
 * The quality benchmark: what a user hears through {@link Processor} at every speed and key
 * change, for the default, the presets and a grid of frame sizes and hops, beside Rubber Band
 * (both engines, real-time mode) and SoundTouch on the same signals in the same run.
 *
 * <p>Per condition and system: the purity of a steady four-partial tone (10 s, mono) and of a bass
 * tone (110 Hz and its harmonics, partials closer together in the spectrum), the first's worst
 * pitch error and its level, the smear and pre-echo of four 2 ms noise bursts, the output length
 * against input / speed, and the CPU time on 60 s of stereo music in times real time. The
 * conditions are the speeds at the original key and the key changes at speed 1. It prints the
 * tables, checks the default against the targets beside Rubber Band finer, and writes the tables
 * as Markdown and a picture of purity against CPU cost.
 *
 * <pre>
 * java -Dhopwarbler.peer=PEER -cp hopwarbler.jar:hopwarbler-support.jar:hopwarbler-bench.jar \
 *     quenlab.hopwarbler.bench.QualityBench [--table FILE.md] [--png FILE.png]
 *     [--speeds 0.5,0.67,...] [--pitches -12,-5,...] [--music-seconds S] [--grid]
 * </pre>
 */
public final class QualityBench {
  static final int RATE = 44100;
  static final int BLOCK_FRAMES = 1024;
  static final double TONE_SECONDS = 10;
  static final int BURSTS = 4;
  static final double BURST_SIGNAL_SECONDS = 4;
  static final int[] GRID_FRAMES = {1024, 2048, 4096};
  static final int[] GRID_HOPS = {4, 8, 16, 32};

  /** A speed and a key change in semitones. */
  record Condition(double speed, double semitones) {
    String label() {
      return semitones == 0 ? "speed " + trim(speed)
                            : String.format("key %+d semitones", (int) semitones)
              + (speed == 1 ? "" : " at speed " + trim(speed));
    }

    double pitchFactor() {
      return Math.pow(2, semitones / 12);
    }
  }

  /** One system's figures in one condition. */
  record Row(String system, String setting, double purityDb, double bassPurityDb, double pitchCents,
      double levelDb, double smearMs, double preEchoDb, double offsetMs, long lengthError,
      double timesRealTime) {}

  /** What one system gives for one input: the output channels and its CPU seconds. */
  record Output(double[][] channels, double cpuSeconds) {}

  interface Stretcher {
    Output run(short[] interleaved, int channels, Condition condition);
  }

  // Our library through the Java API, opened by `open` (given the channel count), with the speed
  // and key set after opening as a user of Processor.open(rate, channels) does.
  interface Opener {
    Processor open(int channels);
  }

  private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

  private QualityBench() {}

  public static void main(String[] args) throws IOException {
    Locale.setDefault(Locale.ROOT);
    Path table = null;
    Path png = null;
    double[] speeds = {0.5, 0.67, 0.8, 1.25, 1.5, 2.0};
    double[] pitches = {-12, -5, -2, 2, 5, 12};
    double musicSeconds = 60;
    boolean grid = false;
    for (int i = 0; i < args.length; i++) {
      String arg = args[i];
      if (arg.equals("--table")) {
        table = Path.of(args[++i]);
      } else if (arg.equals("--png")) {
        png = Path.of(args[++i]);
      } else if (arg.equals("--speeds")) {
        speeds = numbers(args[++i]);
      } else if (arg.equals("--pitches")) {
        pitches = numbers(args[++i]);
      } else if (arg.equals("--music-seconds")) {
        musicSeconds = Double.parseDouble(args[++i]);
      } else if (arg.equals("--grid")) {
        grid = true;
      } else {
        throw new IllegalArgumentException("unknown argument " + arg);
      }
    }
    List<Condition> conditions = new ArrayList<>();
    for (double speed : speeds) conditions.add(new Condition(speed, 0));
    for (double semitones : pitches) conditions.add(new Condition(1, semitones));

    short[] tone = Sounds.partialTone(RATE, TONE_SECONDS, Sounds.PARTIALS_HZ);
    short[] bass = Sounds.partialTone(RATE, TONE_SECONDS, Sounds.BASS_PARTIALS_HZ);
    long[] onsets = Sounds.burstOnsets(RATE, BURSTS);
    short[] bursts = Sounds.bursts(RATE, onsets, BURST_SIGNAL_SECONDS);
    short[] music = Sounds.music(RATE, musicSeconds, 0x6d757369L);
    Signals signals = new Signals(tone, bass, bursts, onsets, music);
    // The JIT compiles the Java layer before anything is timed.
    Stretcher defaults = ours(channels -> Processor.open(RATE, channels));
    defaults.run(Sounds.music(RATE, 5, 1), 2, new Condition(1, 0));

    // The default is Processor.Quality.BEST; the other presets and the grid only at the speeds.
    Map<String, Stretcher> systems = new LinkedHashMap<>();
    systems.put("hopwarbler|default", defaults);
    systems.put("hopwarbler|balanced",
        ours(channels -> Processor.open(RATE, channels, Processor.Quality.BALANCED)));
    systems.put("hopwarbler|fast",
        ours(channels -> Processor.open(RATE, channels, Processor.Quality.FAST)));
    if (grid) {
      for (int frame : GRID_FRAMES) {
        for (int hops : GRID_HOPS) {
          systems.put("hopwarbler|" + frame + " / " + hops,
              ours(channels -> Processor.open(RATE, channels, frame, hops)));
        }
      }
    }
    for (Peer.Engine engine : Peer.Engine.values()) systems.put(engine.label + "|", peer(engine));

    Map<Condition, List<Row>> rows = new LinkedHashMap<>();
    for (Condition condition : conditions) {
      List<Row> list = new ArrayList<>();
      for (var entry : systems.entrySet()) {
        String[] name = entry.getKey().split("\\|", -1);
        boolean onlyDefault = name[0].equals("hopwarbler") && !name[1].equals("default");
        if (condition.semitones() != 0 && onlyDefault)
          continue;
        Row row = measure(name[0], name[1], entry.getValue(), condition, signals);
        list.add(row);
        System.err.printf(
            "%-22s %-18s %-12s %s%n", condition.label(), name[0], name[1], format(row));
      }
      rows.put(condition, list);
    }
    String markdown = markdown(rows, musicSeconds);
    System.out.println(markdown);
    if (table != null)
      Files.writeString(table, markdown);
    if (png != null) {
      Map<Double, List<Row>> atSpeeds = new LinkedHashMap<>();
      rows.forEach((c, list) -> {
        if (c.semitones() == 0)
          atSpeeds.put(c.speed(), list);
      });
      ScatterPlot.write(png, atSpeeds);
    }
  }

  record Signals(short[] tone, short[] bass, short[] bursts, long[] onsets, short[] music) {}

  static double[] numbers(String list) {
    return Arrays.stream(list.split(",")).mapToDouble(Double::parseDouble).toArray();
  }

  static Stretcher ours(Opener opener) {
    return (in, channels, condition) -> {
      try (Processor p = opener.open(channels)) {
        p.setSpeed(condition.speed());
        if (condition.semitones() != 0)
          p.setPitch(condition.semitones());
        return stream(p, in, channels);
      }
    };
  }

  static Stretcher peer(Peer.Engine engine) {
    return (in, channels, condition) -> {
      Peer.Result r = Peer.stretch(
          engine, RATE, channels, Pcm.toFloat(in), condition.speed(), condition.semitones());
      double[][] out = new double[channels][];
      for (int c = 0; c < channels; c++) out[c] = Pcm.channel(r.out(), channels, c);
      return new Output(out, r.cpuSeconds());
    };
  }

  // Feeds `in` in blocks of BLOCK_FRAMES and flushes, timing the thread's CPU.
  static Output stream(Processor p, short[] in, int channels) {
    int frames = in.length / channels;
    List<short[]> parts = new ArrayList<>();
    long start = THREADS.getCurrentThreadCpuTime();
    for (int at = 0; at < frames; at += BLOCK_FRAMES)
      parts.add(p.process(in, at * channels, Math.min(BLOCK_FRAMES, frames - at)));
    parts.add(p.flush());
    double cpu = (THREADS.getCurrentThreadCpuTime() - start) * 1e-9;
    short[] out = Pcm.concat(parts);
    double[][] result = new double[channels][];
    for (int c = 0; c < channels; c++) result[c] = Pcm.channel(out, channels, c);
    return new Output(result, cpu);
  }

  static Row measure(
      String system, String setting, Stretcher stretcher, Condition condition, Signals s) {
    double speed = condition.speed();
    double[] partials = scaled(Sounds.PARTIALS_HZ, condition.pitchFactor());
    double[] bassPartials = scaled(Sounds.BASS_PARTIALS_HZ, condition.pitchFactor());
    int from = RATE;
    double[] x = stretcher.run(s.tone(), 1, condition).channels()[0];
    double[] padded = padded(x, from);
    double purity = QualityMeasures.purityDb(padded, from, RATE, partials);
    double pitch = QualityMeasures.pitchErrorCents(padded, from, RATE, partials);
    double[] in = Pcm.channel(s.tone(), 1, 0);
    double level =
        20 * Math.log10(QualityMeasures.rms(padded, from) / QualityMeasures.rms(in, from));
    long lengthError = x.length - Math.round(s.tone().length / speed);
    double[] bassOut = stretcher.run(s.bass(), 1, condition).channels()[0];
    double bassPurity = QualityMeasures.purityDb(padded(bassOut, from), from, RATE, bassPartials);

    double[] burstOut = stretcher.run(s.bursts(), 1, condition).channels()[0];
    double[] expected = new double[s.onsets().length];
    for (int i = 0; i < expected.length; i++) expected[i] = s.onsets()[i] / speed;
    QualityMeasures.Transients t = QualityMeasures.transients(burstOut, expected, RATE);

    double cpu = stretcher.run(s.music(), 2, condition).cpuSeconds();
    double seconds = s.music().length / 2.0 / RATE;
    return new Row(system, setting, purity, bassPurity, pitch, level, t.smearMs(), t.preEchoDb(),
        t.offsetMs(), lengthError, seconds / cpu);
  }

  static double[] scaled(double[] hz, double factor) {
    return Arrays.stream(hz).map(f -> f * factor).toArray();
  }

  // `x` with room for the spectral window from `from`, zeros past its end.
  static double[] padded(double[] x, int from) {
    int needed = from + QualityMeasures.WINDOW;
    return x.length >= needed ? x : Arrays.copyOf(x, needed);
  }

  static String format(Row r) {
    return String.format(
        "purity %6.1f dB  bass %6.1f dB  pitch %+8.4f c  level %+6.2f dB  smear %5.1f ms  "
            + "pre-echo %6.1f dB  offset %+6.2f ms  length %+6d  cpu %6.1f xRT",
        r.purityDb(), r.bassPurityDb(), r.pitchCents(), r.levelDb(), r.smearMs(), r.preEchoDb(),
        r.offsetMs(), r.lengthError(), r.timesRealTime());
  }

  // The targets of the default against Rubber Band finer in one condition; empty if all hold. The
  // key changes carry the purity and smear targets only.
  static List<String> misses(Row ours, Row finer, boolean keyChange) {
    List<String> misses = new ArrayList<>();
    if (ours.purityDb() < finer.purityDb() + 10)
      misses.add(String.format("purity %.1f < %.1f + 10 dB", ours.purityDb(), finer.purityDb()));
    if (ours.bassPurityDb() < finer.bassPurityDb()) {
      misses.add(
          String.format("bass purity %.1f < %.1f dB", ours.bassPurityDb(), finer.bassPurityDb()));
    }
    double smearBound = 1.25 * finer.smearMs() + 2;
    if (ours.smearMs() > smearBound)
      misses.add(String.format("smear %.1f > %.1f ms", ours.smearMs(), smearBound));
    if (keyChange)
      return misses;
    if (Math.abs(ours.levelDb()) > 0.1)
      misses.add(String.format("level %+.2f dB", ours.levelDb()));
    if (Math.abs(ours.pitchCents()) > 0.1)
      misses.add(String.format("pitch %+.3f cents", ours.pitchCents()));
    if (ours.timesRealTime() < 3 * finer.timesRealTime()) {
      misses.add(
          String.format("cpu %.1f < 3 x %.1f xRT", ours.timesRealTime(), finer.timesRealTime()));
    }
    return misses;
  }

  static String markdown(Map<Condition, List<Row>> rows, double musicSeconds) {
    StringBuilder md = new StringBuilder();
    md.append(String.format("Measured at %d Hz in blocks of %d frames; CPU on %.0f s of stereo"
            + " music, one thread.%n%n",
        RATE, BLOCK_FRAMES, musicSeconds));
    md.append(summary(rows));
    StringBuilder verdict = new StringBuilder();
    for (var entry : rows.entrySet()) {
      md.append(String.format("### %s%n%n", capitalised(entry.getKey().label())));
      md.append("| system | setting | purity dB | bass purity dB | pitch cents | level dB |"
          + " smear ms | pre-echo dB | offset ms | length frames | CPU x real time |\n");
      md.append("|---|---|---|---|---|---|---|---|---|---|---|\n");
      Row ours = find(entry.getValue(), "default");
      Row finer = find(entry.getValue(), "");
      for (Row r : entry.getValue()) {
        md.append(String.format(
            "| %s | %s | %.1f | %.1f | %+.4f | %+.3f | %.1f | %.1f | %+.2f | %+d | %.1f |%n",
            r.system(), r.setting(), r.purityDb(), r.bassPurityDb(), r.pitchCents(), r.levelDb(),
            r.smearMs(), r.preEchoDb(), r.offsetMs(), r.lengthError(), r.timesRealTime()));
      }
      md.append('\n');
      if (ours != null && finer != null) {
        List<String> misses = misses(ours, finer, entry.getKey().semitones() != 0);
        verdict.append(String.format("| %s | %s |%n", entry.getKey().label(),
            misses.isEmpty() ? "all met" : String.join("; ", misses)));
      }
    }
    if (verdict.length() > 0) {
      md.append("### The default against the targets (beside Rubber Band finer)\n\n");
      md.append("| condition | result |\n|---|---|\n").append(verdict).append('\n');
    }
    return md.toString();
  }

  // The default's row (setting "default") or Rubber Band finer's (the first peer, setting "").
  static Row find(List<Row> rows, String setting) {
    for (Row r : rows) {
      if (r.setting().equals(setting))
        return r;
    }
    return null;
  }

  // One line per condition: the default beside each peer.
  static String summary(Map<Condition, List<Row>> rows) {
    StringBuilder md = new StringBuilder("### The default beside the peers\n\n"
        + "Each cell: tone purity dB / bass purity dB / smear ms / CPU x real time.\n\n"
        + "| condition | hopwarbler (default) |");
    for (Peer.Engine engine : Peer.Engine.values())
      md.append(' ').append(engine.label).append(" |");
    md.append("\n|---|---|").append("---|".repeat(Peer.Engine.values().length)).append('\n');
    for (var entry : rows.entrySet()) {
      md.append("| ").append(entry.getKey().label()).append(" |");
      for (Row r : entry.getValue()) {
        if (r.setting().equals("default") || r.setting().isEmpty()) {
          md.append(String.format(" %.0f / %.0f / %.1f / %.0f |", r.purityDb(), r.bassPurityDb(),
              r.smearMs(), r.timesRealTime()));
        }
      }
      md.append('\n');
    }
    return md.append('\n').toString();
  }

  static String capitalised(String text) {
    return Character.toUpperCase(text.charAt(0)) + text.substring(1);
  }

  static String trim(double speed) {
    return String.format("%.2f", speed).replaceAll("0+$", "").replaceAll("\\.$", "");
  }
}
