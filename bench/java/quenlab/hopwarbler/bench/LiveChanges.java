package quenlab.hopwarbler.bench;

import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.function.Consumer;
import quenlab.hopwarbler.Processor;
import quenlab.hopwarbler.support.Fft;
import quenlab.hopwarbler.support.Levels;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;
import quenlab.hopwarbler.support.Spectra;
import quenlab.hopwarbler.support.Windows;

/**
 * What a listener hears when a control moves while the music plays. A steady stereo tone (0.4 at
 * 440 Hz + 0.1 at 660 Hz, the right channel's 440 Hz a quarter turn later) goes through the
 * processor in 1024-frame blocks while one control changes; the program prints, against the
 * steady streams:
 *
 * <ul>
 *   <li>for speed changes once a second (1 - 1.25 - 0.8 - 1.1 - 0.9, and 1 - 0.5 - 2 - 0.5 - 2),
 *       how far the short-time level (RMS over 256 frames) leaves the range the steady streams at
 *       those speeds span (the two partials make it ripple by themselves), and the worst energy
 *       above 1.5 kHz in 2048-frame windows; with {@code -Dhopwarbler.peer} naming the peer runner,
 *       the same for Rubber Band's two engines;
 *   <li>for every other control, the worst energy above 4 kHz in a 20 ms window around a change;
 *   <li>the purity of the steady tone at speeds whose hop / speed is not whole, beside the speed of
 *       the nearest whole hop.
 * </ul>
 *
 * <pre>
 * cp=build/java/hopwarbler.jar:build/tests/support/java/hopwarbler-support.jar
 * java -Dhopwarbler.library=build/libhopwarbler.so -Dhopwarbler.peer=build/bench/hopwarbler_peer \
 *   -cp $cp:build/bench/java/hopwarbler-bench.jar \
 *   quenlab.hopwarbler.bench.LiveChanges [--only speed|controls|purity]
 * </pre>
 */
public final class LiveChanges {
  static final int RATE = 44100;
  static final int BLOCK = 1024;
  static final double[] SCHEDULE = {1.0, 1.25, 0.8, 1.1, 0.9};
  static final double[] EXTREMES = {1.0, 0.5, 2.0, 0.5, 2.0};

  private LiveChanges() {}

  public static void main(String[] args) throws Exception {
    String only = "";
    if (args.length == 2 && args[0].equals("--only")) {
      only = args[1];
    } else if (args.length != 0) {
      throw new IllegalArgumentException("usage: LiveChanges [--only speed|controls|purity]");
    }
    boolean peers = System.getProperty("hopwarbler.peer") != null;
    // The equaliser's native table takes its size from the first stream of the process.
    Processor.open(RATE, 2, 4096, 4).close();
    int[][] formats = {{1024, 4}, {2048, 4}, {4096, 4}, {1024, 8}, {2048, 8}, {4096, 8}, {1024, 16},
        {2048, 16}, {4096, 16}};
    if (!only.equals("controls") && !only.equals("purity"))
      speedTable(formats, peers);
    if (!only.equals("speed") && !only.equals("purity"))
      controlTable();
    if (!only.equals("speed") && !only.equals("controls"))
      purityTable();
  }

  /**
   * Purity of the steady tone at speeds whose hop / speed is not whole, where the synthesis hop
   * alternates between two whole values, against the speed of the nearest whole hop: the energy
   * more than 60 Hz away from both partials, in dB of the whole.
   */
  static void purityTable() {
    System.out.println();
    System.out.println("purity: energy away from the partials, dB of the whole (steady stream)");
    System.out.println("format   speed   exact speed   nearest whole hop (speed)");
    // The presets at 44.1 kHz (best, balanced, fast), and the smallest frame.
    for (int[] f : new int[][] {{4096, 16}, {4096, 8}, {2048, 4}, {1024, 16}}) {
      int hop = f[0] / f[1];
      for (double speed : new double[] {1.25, 0.8, 1.1, 0.9, 1.7}) {
        double whole = (double) hop / Math.round(hop / speed);
        java.util.function.Supplier<Processor> open = () -> Processor.open(RATE, 2, f[0], f[1]);
        System.out.printf(Locale.ROOT, "%4d/%-2d  %-5s   %7.1f       %7.1f (%.4f)%n", f[0], f[1],
            speed, purityDb(speedRun(open, new double[] {speed})),
            purityDb(speedRun(open, new double[] {whole})), whole);
      }
    }
  }

  static double purityDb(short[] out) {
    int n = 4096;
    double[] re = new double[n];
    double[] im = new double[n];
    double away = 0;
    double total = 0;
    for (int c = 0; c < 2; c++) {
      double[] x = Pcm.channel(out, 2, c);
      for (int start = RATE / 4; start + n <= x.length - RATE / 4; start += n / 2) {
        for (int i = 0; i < n; i++) {
          re[i] = x[start + i] * Windows.blackmanHarris(i, n);
          im[i] = 0;
        }
        Fft.forward(re, im);
        for (int k = 1; k < n / 2; k++) {
          double hz = (double) k * RATE / n;
          double e = re[k] * re[k] + im[k] * im[k];
          total += e;
          if (Math.abs(hz - 440) > 60 && Math.abs(hz - 660) > 60)
            away += e;
        }
      }
    }
    return 10 * Math.log10(away / total);
  }

  /** Something that plays the test tone through a speed schedule (one speed a second). */
  interface Stretcher {
    short[] run(double[] schedule);
  }

  static void speedTable(int[][] formats, boolean peers) {
    System.out.println("speed changes once a second: level (RMS over 256 frames) beyond the steady"
        + " range, and energy above 1.5 kHz (dB full scale, 2048-frame windows)");
    System.out.println("stretcher            schedule               level dB  steady range dB"
        + "    above 1.5 kHz dB (steady)");
    List<String> names = new ArrayList<>();
    List<Stretcher> stretchers = new ArrayList<>();
    names.add("default");
    stretchers.add(schedule -> speedRun(() -> Processor.open(RATE, 2), schedule));
    for (int[] f : formats) {
      names.add(f[0] + "/" + f[1]);
      stretchers.add(schedule -> speedRun(() -> Processor.open(RATE, 2, f[0], f[1]), schedule));
    }
    if (peers) {
      for (Peer.Engine engine : new Peer.Engine[] {Peer.Engine.RB_FINER, Peer.Engine.RB_FASTER}) {
        names.add(engine.label);
        stretchers.add(schedule -> peerRun(engine, schedule));
      }
    }
    for (int i = 0; i < names.size(); i++) {
      for (double[] schedule : new double[][] {SCHEDULE, EXTREMES}) {
        Figures f = speedFigures(stretchers.get(i), schedule);
        System.out.printf(Locale.ROOT, "%-20s %-22s %+6.2f  %+6.2f .. %+5.2f      %7.1f (%7.1f)%n",
            names.get(i), name(schedule), f.levelDb, f.steadyLowDb, f.steadyHighDb, f.highDb,
            f.steadyHighBandDb);
      }
    }
  }

  /** The tone through a peer, the speed changing once a second; float output back to 16 bits. */
  static short[] peerRun(Peer.Engine engine, double[] schedule) {
    int seconds = Math.max(schedule.length, 3);
    long[] frames = new long[schedule.length];
    for (int k = 0; k < frames.length; k++) frames[k] = (long) k * RATE;
    float[] in = Pcm.toFloat(Sounds.twoPartialTone(seconds * RATE, RATE));
    return Pcm.toSamples(Peer.stretch(engine, RATE, 2, in, frames, schedule, BLOCK).out());
  }

  static void controlTable() {
    System.out.println();
    System.out.println("other controls: worst energy above 4 kHz in 20 ms around a change,"
        + " dB full scale (steady stream)");
    // The presets at 44.1 kHz (best, balanced, fast), and the smallest frame.
    for (int[] f : new int[][] {{4096, 16}, {4096, 8}, {2048, 4}, {1024, 16}}) {
      for (Control c : controls()) {
        double changed = controlRun(f[0], f[1], c, Mode.CHANGING);
        double steady =
            Math.max(controlRun(f[0], f[1], c, Mode.BEFORE), controlRun(f[0], f[1], c, Mode.AFTER));
        System.out.printf(Locale.ROOT, "%4d/%-2d  %-26s %7.1f (%7.1f)  %+5.1f dB%n", f[0], f[1],
            c.name, changed, steady, changed - steady);
      }
    }
  }

  static String name(double[] schedule) {
    StringBuilder s = new StringBuilder();
    for (double v : schedule) s.append(s.length() == 0 ? "" : ">").append(v);
    return s.toString();
  }

  /**
   * Figures of one speed schedule: the level's worst excursion beyond the range that the steady
   * streams at the schedule's speeds span (the 256-frame RMS of the two partials ripples by
   * itself), that range, and the worst energy above 1.5 kHz with the steady streams' worst.
   */
  record Figures(double levelDb, double steadyLowDb, double steadyHighDb, double highDb,
      double steadyHighBandDb) {}

  static Figures speedFigures(Stretcher stretcher, double[] schedule) {
    double low = Double.POSITIVE_INFINITY;
    double high = Double.NEGATIVE_INFINITY;
    double steadyBand = Double.NEGATIVE_INFINITY;
    for (double speed : java.util.Arrays.stream(schedule).distinct().toArray()) {
      short[] out = stretcher.run(new double[] {speed});
      double[] range = levelRangeDb(out);
      low = Math.min(low, range[0]);
      high = Math.max(high, range[1]);
      steadyBand = Math.max(steadyBand, worstHighDb(out, 1500, 2048));
    }
    short[] out = stretcher.run(schedule);
    double[] range = levelRangeDb(out);
    double excess = Math.min(0, range[0] - low);
    if (range[1] - high > -excess)
      excess = range[1] - high;
    return new Figures(excess, low, high, worstHighDb(out, 1500, 2048), steadyBand);
  }

  /** The tone at schedule[k] from second k on, for schedule.length seconds (at least 3). */
  static short[] speedRun(java.util.function.Supplier<Processor> opener, double[] schedule) {
    int seconds = Math.max(schedule.length, 3);
    short[] in = Sounds.twoPartialTone(seconds * RATE, RATE);
    short[] out;
    try (Processor p = opener.get()) {
      out = feed(p, in, frame -> {
        int k = frame / RATE;
        if (frame % RATE == 0 && k < schedule.length)
          p.setSpeed(schedule[k]);
      });
    }
    return out;
  }

  /**
   * Feeds `in` in blocks of {@link #BLOCK} frames, calling `atFrame` with the input frame at the
   * start of each block (and at every whole second, where the block is split), then flushes.
   */
  static short[] feed(Processor p, short[] in, Consumer<Integer> atFrame) {
    List<short[]> parts = new ArrayList<>();
    int frames = in.length / 2;
    int position = 0;
    while (position < frames) {
      atFrame.accept(position);
      int next = Math.min(frames, Math.min(position + BLOCK, (position / RATE + 1) * RATE));
      parts.add(p.process(in, 2 * position, next - position));
      position = next;
    }
    parts.add(p.flush());
    return Pcm.concat(parts);
  }

  /** Lowest and highest 256-frame RMS against the tone's, dB, either channel, past the edges. */
  static double[] levelRangeDb(short[] out) {
    double low = Double.POSITIVE_INFINITY;
    double high = Double.NEGATIVE_INFINITY;
    for (int c = 0; c < 2; c++) {
      double[] x = Pcm.channel(out, 2, c);
      for (int from = RATE / 4; from + 256 < x.length - RATE / 4; from += 32) {
        double db = Levels.db(Levels.rms(x, from, from + 256) / Sounds.TWO_PARTIAL_RMS);
        low = Math.min(low, db);
        high = Math.max(high, db);
      }
    }
    return new double[] {low, high};
  }

  /** Worst energy above `hz` in Blackman-Harris windows of `length` frames, dB full scale. */
  static double worstHighDb(short[] out, double hz, int length) {
    return worstHighDb(out, hz, length, RATE / 4, out.length / 2 - RATE / 4);
  }

  static double worstHighDb(short[] out, double hz, int length, int from, int to) {
    double worst = Double.NEGATIVE_INFINITY;
    for (int c = 0; c < 2; c++) {
      worst = Math.max(
          worst, Spectra.worstEnergyAboveDb(Pcm.channel(out, 2, c), from, to, length, hz, RATE));
    }
    return worst;
  }

  /** A live control: what it is set to first, and what each change sets it to in turn. */
  record Control(String name, Consumer<Processor> initial, List<Consumer<Processor>> changes) {}

  static List<Control> controls() {
    List<Control> list = new ArrayList<>();
    list.add(new Control("voice removal on/off",
        p -> {}, List.of(p -> p.setVoiceRemoval(1, 300, 3000), Processor::disableVoiceRemoval)));
    list.add(new Control("voice amount 0.2<->1",
        p
        -> p.setVoiceRemoval(0.2, 300, 3000),
        List.of(p -> p.setVoiceRemoval(1, 300, 3000), p -> p.setVoiceRemoval(0.2, 300, 3000))));
    list.add(
        new Control("mono on/off", p -> {}, List.of(p -> p.setMono(true), p -> p.setMono(false))));
    list.add(new Control("balance 0<->100",
        p -> p.setBalance(0), List.of(p -> p.setBalance(100), p -> p.setBalance(0))));
    list.add(new Control(
        "gain 0<->-12 dB", p -> {}, List.of(p -> p.setGainDb(-12), p -> p.setGainDb(0))));
    list.add(new Control("equaliser on/off",
        p
        -> {},
        List.of(p
            -> p.setEqualizer(new double[] {300, 600, 1000}, new double[] {0, -12, 0}),
            Processor::clearEqualizer)));
    return list;
  }

  /** A control run: changing once a second, or steady as it starts, or as the first change sets. */
  enum Mode { CHANGING, BEFORE, AFTER }

  /**
   * The tone for 4 s with the control changed at seconds 1, 2 and 3 (or never, for a steady
   * stream); the worst 20 ms energy above 4 kHz within two frames of each change point.
   */
  static double controlRun(int frameSize, int overSampling, Control control, Mode mode) {
    short[] in = Sounds.twoPartialTone(4 * RATE, RATE);
    long[] changeAt = new long[3];
    short[] out;
    try (Processor p = Processor.open(RATE, 2, frameSize, overSampling)) {
      control.initial.accept(p);
      if (mode == Mode.AFTER)
        control.changes.get(0).accept(p);
      out = feed(p, in, frame -> {
        if (frame % RATE == 0 && frame > 0 && frame / RATE <= 3) {
          int k = frame / RATE - 1;
          if (mode == Mode.CHANGING)
            control.changes.get(k % control.changes.size()).accept(p);
          changeAt[k] = p.stats().outputFrames() + p.latencyFrames();
        }
      });
    }
    int window = RATE / 50;
    double worst = Double.NEGATIVE_INFINITY;
    for (long at : changeAt) {
      worst = Math.max(worst,
          worstHighDb(out, 4000, window, (int) at - 2 * frameSize, (int) at + 2 * frameSize));
    }
    return worst;
  }
}
