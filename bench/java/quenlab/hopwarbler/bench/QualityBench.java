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

/**
 * The quality benchmark: what a user hears through {@link Processor} at every speed, for the
 * defaults, the presets and a grid of frame sizes and hops, beside Rubber Band (both engines,
 * real-time mode) and SoundTouch on the same signals in the same run.
 *
 * <p>Per speed and system: the purity of a steady four-partial tone (10 s, mono), its worst pitch
 * error and its level, the smear and pre-echo of four 2 ms noise bursts, the output length against
 * input / speed, and the CPU time on 60 s of stereo music in times real time. It prints the
 * tables, checks the default against the targets beside Rubber Band finer, and writes the tables
 * as Markdown and a picture of purity against CPU cost.
 *
 * <pre>
 * java -Dhopwarbler.peer=PEER -cp hopwarbler.jar:hopwarbler-bench.jar \
 *     quenlab.hopwarbler.bench.QualityBench [--table FILE.md] [--png FILE.png]
 *     [--speeds 0.5,0.67,...] [--music-seconds S] [--grid]
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

  /** One system's figures at one speed. */
  record Row(String system, String setting, double purityDb, double pitchCents, double levelDb,
      double smearMs, double preEchoDb, double offsetMs, long lengthError, double timesRealTime) {}

  /** What one system gives for one input: the output (interleaved) and its CPU seconds. */
  record Output(double[][] channels, double cpuSeconds) {}

  interface Stretcher {
    Output run(short[] interleaved, int channels, double speed);
  }

  private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

  private QualityBench() {}

  public static void main(String[] args) throws IOException {
    Locale.setDefault(Locale.ROOT);
    Path table = null;
    Path png = null;
    double[] speeds = {0.5, 0.67, 0.8, 1.25, 1.5, 2.0};
    double musicSeconds = 60;
    boolean grid = false;
    for (int i = 0; i < args.length; i++) {
      switch (args[i]) {
        case "--table" -> table = Path.of(args[++i]);
        case "--png" -> png = Path.of(args[++i]);
        case "--speeds" -> speeds =
            Arrays.stream(args[++i].split(",")).mapToDouble(Double::parseDouble).toArray();
        case "--music-seconds" -> musicSeconds = Double.parseDouble(args[++i]);
        case "--grid" -> grid = true;
        default -> throw new IllegalArgumentException("unknown argument " + args[i]);
      }
    }
    short[] tone = BenchSignals.tone(RATE, TONE_SECONDS);
    long[] onsets = BenchSignals.burstOnsets(RATE, BURSTS);
    short[] bursts = BenchSignals.bursts(RATE, onsets, BURST_SIGNAL_SECONDS);
    short[] music = BenchSignals.music(RATE, musicSeconds, 0x6d757369L);
    // The JIT compiles the Java layer before anything is timed.
    Stretcher defaults = ours(channels -> Processor.open(RATE, channels));
    defaults.run(BenchSignals.music(RATE, 5, 1), 2, 1.0);

    Map<String, Stretcher> systems = new LinkedHashMap<>();
    // The default is Processor.Quality.BEST; the other presets beside it.
    systems.put("hopwarbler|default", defaults);
    systems.put("hopwarbler|balanced", preset(Processor.Quality.BALANCED));
    systems.put("hopwarbler|fast", preset(Processor.Quality.FAST));
    if (grid) {
      for (int frame : GRID_FRAMES) {
        for (int hops : GRID_HOPS) {
          systems.put("hopwarbler|" + frame + " / " + hops,
              ours(channels -> Processor.open(RATE, channels, frame, hops)));
        }
      }
    }
    for (Peer.Engine engine : Peer.Engine.values()) systems.put(engine.label + "|", peer(engine));

    Map<Double, List<Row>> rows = new LinkedHashMap<>();
    for (double speed : speeds) {
      List<Row> list = new ArrayList<>();
      for (var entry : systems.entrySet()) {
        String[] name = entry.getKey().split("\\|", -1);
        Row row = measure(name[0], name[1], entry.getValue(), speed, tone, bursts, onsets, music);
        list.add(row);
        System.err.printf("speed %.2f %-18s %-12s %s%n", speed, name[0], name[1], format(row));
      }
      rows.put(speed, list);
    }
    String markdown = markdown(rows, musicSeconds);
    System.out.println(markdown);
    if (table != null)
      Files.writeString(table, markdown);
    if (png != null)
      ScatterPlot.write(png, rows);
  }

  // Our library through the Java API, opened by `opener` (given the channel count), with the speed
  // set after opening as a user of Processor.open(rate, channels) does.
  interface Opener {
    Processor open(int channels);
  }

  static Stretcher ours(Opener opener) {
    return (in, channels, speed) -> {
      try (Processor p = opener.open(channels)) {
        p.setSpeed(speed);
        return stream(p, in, channels);
      }
    };
  }

  static Stretcher preset(Processor.Quality quality) {
    return ours(channels -> Processor.open(RATE, channels, quality));
  }

  static Stretcher peer(Peer.Engine engine) {
    return (in, channels, speed) -> {
      Peer.Result r =
          Peer.stretch(engine, RATE, channels, BenchSignals.toFloat(in), speed, 0);
      double[][] out = new double[channels][];
      for (int c = 0; c < channels; c++) out[c] = Metrics.channel(r.out(), channels, c);
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
    int length = parts.stream().mapToInt(a -> a.length).sum();
    short[] out = new short[length];
    int position = 0;
    for (short[] part : parts) {
      System.arraycopy(part, 0, out, position, part.length);
      position += part.length;
    }
    double[][] result = new double[channels][];
    for (int c = 0; c < channels; c++) result[c] = Metrics.channel(out, channels, c);
    return new Output(result, cpu);
  }

  static Row measure(String system, String setting, Stretcher stretcher, double speed,
      short[] tone, short[] bursts, long[] onsets, short[] music) {
    Output toneOut = stretcher.run(tone, 1, speed);
    double[] x = toneOut.channels()[0];
    int from = (int) Math.round(RATE * 1.0);
    int needed = from + Metrics.WINDOW;
    double[] padded = x.length >= needed ? x : Arrays.copyOf(x, needed);
    double[] in = Metrics.channel(tone, 1, 0);
    double purity = Metrics.purityDb(padded, from, RATE, BenchSignals.PARTIALS_HZ);
    double pitch = Metrics.pitchErrorCents(padded, from, RATE, BenchSignals.PARTIALS_HZ);
    double level = 20 * Math.log10(Metrics.rms(padded, from) / Metrics.rms(in, from));
    long lengthError = x.length - Math.round(tone.length / speed);

    Output burstOut = stretcher.run(bursts, 1, speed);
    double[] expected = new double[onsets.length];
    for (int i = 0; i < onsets.length; i++) expected[i] = onsets[i] / speed;
    Metrics.Transients t = Metrics.transients(burstOut.channels()[0], expected, RATE);

    Output musicOut = stretcher.run(music, 2, speed);
    double seconds = music.length / 2.0 / RATE;
    return new Row(system, setting, purity, pitch, level, t.smearMs(), t.preEchoDb(), t.offsetMs(), lengthError,
        seconds / musicOut.cpuSeconds());
  }

  static String format(Row r) {
    return String.format("purity %6.1f dB  pitch %+8.4f c  level %+6.2f dB  smear %5.1f ms  "
            + "pre-echo %6.1f dB  offset %+6.2f ms  length %+6d  cpu %6.1f xRT",
        r.purityDb(), r.pitchCents(), r.levelDb(), r.smearMs(), r.preEchoDb(), r.offsetMs(),
        r.lengthError(),
        r.timesRealTime());
  }

  // The targets of the default against Rubber Band finer at one speed; an empty list if all hold.
  static List<String> misses(Row ours, Row finer) {
    List<String> misses = new ArrayList<>();
    if (ours.purityDb() < finer.purityDb() + 10)
      misses.add(String.format("purity %.1f < %.1f + 10 dB", ours.purityDb(), finer.purityDb()));
    double smearBound = 1.25 * finer.smearMs() + 2;
    if (ours.smearMs() > smearBound)
      misses.add(String.format("smear %.1f > %.1f ms", ours.smearMs(), smearBound));
    if (Math.abs(ours.levelDb()) > 0.1)
      misses.add(String.format("level %+.2f dB", ours.levelDb()));
    if (Math.abs(ours.pitchCents()) > 0.1)
      misses.add(String.format("pitch %+.3f cents", ours.pitchCents()));
    if (ours.timesRealTime() < 3 * finer.timesRealTime()) {
      misses.add(String.format(
          "cpu %.1f < 3 x %.1f xRT", ours.timesRealTime(), finer.timesRealTime()));
    }
    return misses;
  }

  static String markdown(Map<Double, List<Row>> rows, double musicSeconds) {
    StringBuilder md = new StringBuilder();
    md.append(String.format("Measured at %d Hz in blocks of %d frames; CPU on %.0f s of stereo"
            + " music, one thread.%n%n",
        RATE, BLOCK_FRAMES, musicSeconds));
    StringBuilder verdict = new StringBuilder();
    for (var entry : rows.entrySet()) {
      md.append(String.format("### Speed %s%n%n", trim(entry.getKey())));
      md.append("| system | setting | purity dB | pitch cents | level dB | smear ms |"
          + " pre-echo dB | offset ms | length frames | CPU x real time |\n");
      md.append("|---|---|---|---|---|---|---|---|---|---|\n");
      Row def = null;
      Row finer = null;
      for (Row r : entry.getValue()) {
        md.append(String.format("| %s | %s | %.1f | %+.4f | %+.3f | %.1f | %.1f | %+.2f | %+d | %.1f |%n",
            r.system(), r.setting(), r.purityDb(), r.pitchCents(), r.levelDb(), r.smearMs(),
            r.preEchoDb(), r.offsetMs(), r.lengthError(), r.timesRealTime()));
        if (r.setting().equals("default"))
          def = r;
        if (r.system().equals(Peer.Engine.RB_FINER.label))
          finer = r;
      }
      md.append('\n');
      if (def != null && finer != null) {
        List<String> misses = misses(def, finer);
        verdict.append(String.format("| %s | %s |%n", trim(entry.getKey()),
            misses.isEmpty() ? "all met" : String.join("; ", misses)));
      }
    }
    if (verdict.length() > 0) {
      md.append("### The default against the targets (beside Rubber Band finer)\n\n");
      md.append("| speed | result |\n|---|---|\n").append(verdict).append('\n');
    }
    return md.toString();
  }

  static String trim(double speed) {
    return String.format("%.2f", speed).replaceAll("0+$", "").replaceAll("\\.$", "");
  }
}
