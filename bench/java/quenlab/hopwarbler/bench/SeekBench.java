package quenlab.hopwarbler.bench;

import java.util.Arrays;
import java.util.Locale;
import quenlab.hopwarbler.Processor;
import quenlab.hopwarbler.support.Sounds;

/**
 * What a seek costs a host: {@link Processor#reset()} and the blocks that follow it until the new
 * stream's first output frames come back, against the same blocks of a stream that runs on, for
 * each preset at speed 1 and 0.8, in blocks of 1/32 s (those of {@code hopwarbler play}).
 *
 * <p>Reported per preset and speed, the median and the slowest of many seeks: the reset alone, the
 * time from the reset to the first output, and the input fed until then.
 *
 * <pre>
 * java -cp hopwarbler.jar:hopwarbler-support.jar:hopwarbler-bench.jar \
 *     quenlab.hopwarbler.bench.SeekBench [--seeks N]
 * </pre>
 */
public final class SeekBench {
  private static final int RATE = 44100;
  private static final int BLOCK = 1378; // 1/32 s

  private SeekBench() {}

  public static void main(String[] args) {
    Locale.setDefault(Locale.ROOT);
    int seeks = 200;
    for (int i = 0; i < args.length; i++) {
      if (args[i].equals("--seeks") && i + 1 < args.length) {
        seeks = Integer.parseInt(args[++i]);
      } else {
        throw new IllegalArgumentException("unknown argument " + args[i]);
      }
    }
    short[] music = Sounds.tones(
        RATE * 20, new double[] {220, 330, 495}, new double[] {0.2, 0.2, 0.1}, RATE);
    System.out.println("preset    speed  reset (median / max)   reset to first output"
        + " (median / max)  input fed  steady block");
    for (Processor.Quality quality : Processor.Quality.values()) {
      for (double speed : new double[] {1.0, 0.8}) {
        try (Processor p = Processor.open(RATE, 2, quality)) {
          p.setSpeed(speed);
          report(p, quality, speed, music, seeks);
        }
      }
    }
  }

  private static void report(
      Processor p, Processor.Quality quality, double speed, short[] music, int seeks) {
    int frames = music.length / 2;
    int at = 0;
    // Warm up, then time steady blocks.
    for (int k = 0; k < 200; k++, at = (at + BLOCK) % (frames - BLOCK))
      p.process(music, 2 * at, BLOCK);
    long[] steady = new long[200];
    for (int k = 0; k < steady.length; k++, at = (at + BLOCK) % (frames - BLOCK)) {
      long t0 = System.nanoTime();
      p.process(music, 2 * at, BLOCK);
      steady[k] = System.nanoTime() - t0;
    }
    long[] reset = new long[seeks];
    long[] toSound = new long[seeks];
    int fed = 0;
    for (int s = 0; s < seeks; s++) {
      at = (int) ((s * 7919L * BLOCK) % (frames - 10 * BLOCK));
      long t0 = System.nanoTime();
      p.reset();
      long t1 = System.nanoTime();
      fed = 0;
      while (p.process(music, 2 * (at + fed), BLOCK).length == 0) fed += BLOCK;
      fed += BLOCK;
      toSound[s] = System.nanoTime() - t0;
      reset[s] = t1 - t0;
      for (int k = 0; k < 8; k++) p.process(music, 2 * (at + fed + k * BLOCK), BLOCK);
    }
    System.out.printf("%-9s %5.2f  %7.3f / %7.3f ms     %7.3f / %7.3f ms               %5d"
            + "      %6.3f ms%n",
        quality, speed, ms(median(reset)), ms(max(reset)), ms(median(toSound)), ms(max(toSound)),
        fed, ms(median(steady)));
  }

  private static double ms(long nanos) {
    return nanos / 1e6;
  }

  private static long median(long[] v) {
    long[] s = v.clone();
    Arrays.sort(s);
    return s[s.length / 2];
  }

  private static long max(long[] v) {
    return Arrays.stream(v).max().orElse(0);
  }
}
