package quenlab.hopwarbler.bench;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.BrokenBarrierException;
import java.util.concurrent.CyclicBarrier;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import quenlab.hopwarbler.Processor;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;

/**
 * Many streams at once through the Java API: k processors, each opened as a user opens one
 * ({@code Processor.open(44100, 2)}, the default preset), stretch the same stereo music at speed
 * 0.8 on k threads, in blocks of 1024 frames, for k = 1 and 2 (or the counts asked for).
 *
 * <p>The threads start together at a barrier once their processors are open; the wall-clock time
 * runs from there until the last flush returns. Reported per k, the best of a few rounds: the
 * throughput in seconds of audio in, summed over the threads, per second of wall-clock time,
 * against k = 1, and the CPU time of the slowest thread: on a busy machine the wall-clock time
 * grows while that stays, and the throughput then says more about the machine than the streams.
 * Every thread's output must equal the single stream's, sample for sample, or the run fails:
 * streams that share nothing cannot change each other's output.
 *
 * <p>With {@code --write-songs DIR} it writes, instead, the songs of the command-line tool's batch
 * benchmark: eight pieces of generated stereo music, 16-bit WAV at 44.1 kHz, of 30 to 58 s.
 *
 * <pre>
 * java -cp hopwarbler.jar:hopwarbler-support.jar:hopwarbler-bench.jar \
 *     quenlab.hopwarbler.bench.StreamsBench [--seconds S] [--threads 1,2] [--rounds R]
 * java ... quenlab.hopwarbler.bench.StreamsBench --write-songs DIR
 * </pre>
 */
public final class StreamsBench {
  static final int RATE = 44100;
  static final int BLOCK_FRAMES = 1024;
  static final double SPEED = 0.8;
  static final int SONGS = 8;
  private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

  private StreamsBench() {}

  public static void main(String[] args) throws Exception {
    Locale.setDefault(Locale.ROOT);
    double seconds = 60;
    int[] threads = {1, 2};
    int rounds = 3;
    Path songs = null;
    for (int i = 0; i < args.length; i++) {
      switch (args[i]) {
        case "--seconds" -> seconds = Double.parseDouble(args[++i]);
        case "--threads" ->
          threads = Arrays.stream(args[++i].split(",")).mapToInt(Integer::parseInt).toArray();
        case "--rounds" -> rounds = Integer.parseInt(args[++i]);
        case "--write-songs" -> songs = Path.of(args[++i]);
        default -> throw new IllegalArgumentException("unknown argument " + args[i]);
      }
    }
    if (songs != null) {
      writeSongs(songs);
      return;
    }

    short[] music = Sounds.music(RATE, seconds, 1);
    // The JIT compiles the Java layer before anything is timed, and the single stream's output is
    // the reference every thread's is checked against.
    stretch(Sounds.music(RATE, 5, 2));
    short[] reference = stretch(music);
    String format;
    try (Processor p = Processor.open(RATE, 2)) {
      p.setSpeed(SPEED);
      format = p.frameSize() + " / " + p.overSampling();
    }
    System.out.printf("Streams through Processor.open(%d, 2) (frames / hops %s) at speed %.1f,"
            + " %.0f s of stereo music each, blocks of %d frames, best of %d rounds; %d cores%n",
        RATE, format, SPEED, seconds, BLOCK_FRAMES, rounds,
        Runtime.getRuntime().availableProcessors());
    System.out.printf("  %-8s %12s %14s %10s %12s%n", "streams", "wall (s)", "x real time", "vs 1",
        "CPU (s)");
    double single = 0;
    for (int k : threads) {
      Round best = null;
      for (int r = 0; r < rounds; r++) {
        Round now = round(k, music, reference);
        if (best == null || now.wall() < best.wall())
          best = now;
      }
      double throughput = k * seconds / best.wall();
      if (single == 0)
        single = throughput / k;
      System.out.printf("  %-8d %12.3f %14.1f %10.3f %12.3f%n", k, best.wall(), throughput,
          throughput / single, best.cpu());
    }
    System.out.println("x real time: seconds of audio in, summed over the streams, per second of"
        + " wall-clock time; vs 1: the throughput against one stream's (the first row's per stream);"
        + " CPU: the thread time of the slowest stream, which stays near the single stream's unless"
        + " the streams slow each other down (a wall time well above it: the cores were busy)");
  }

  /** One round: the wall-clock seconds, and the CPU seconds of the slowest stream. */
  record Round(double wall, double cpu) {}

  // One round of k streams on k threads, timed from the start barrier to the last flush.
  static Round round(int k, short[] music, short[] reference) throws Exception {
    CyclicBarrier start = new CyclicBarrier(k + 1);
    short[][] outputs = new short[k][];
    double[] cpuSeconds = new double[k];
    Throwable[] failures = new Throwable[k];
    List<Thread> workers = new ArrayList<>();
    for (int t = 0; t < k; t++) {
      int index = t;
      Thread worker = new Thread(() -> {
        try (Processor p = Processor.open(RATE, 2)) {
          p.setSpeed(SPEED);
          start.await();
          long cpu = THREADS.getCurrentThreadCpuTime();
          outputs[index] = run(p, music);
          cpuSeconds[index] = (THREADS.getCurrentThreadCpuTime() - cpu) * 1e-9;
        } catch (Throwable e) {
          failures[index] = e;
          start.reset();
        }
      }, "stream-" + t);
      workers.add(worker);
      worker.start();
    }
    try {
      start.await();
    } catch (BrokenBarrierException e) {
      // A stream failed before the start; its failure is reported below.
    }
    long begin = System.nanoTime();
    for (Thread worker : workers) worker.join();
    double wall = (System.nanoTime() - begin) * 1e-9;
    for (int t = 0; t < k; t++) {
      if (failures[t] != null)
        throw new IllegalStateException("stream " + t + " failed", failures[t]);
      if (!Arrays.equals(outputs[t], reference))
        throw new IllegalStateException(
            "stream " + t + " of " + k + " differs from the single stream's output");
    }
    return new Round(wall, Arrays.stream(cpuSeconds).max().orElse(0));
  }

  static short[] stretch(short[] in) {
    try (Processor p = Processor.open(RATE, 2)) {
      p.setSpeed(SPEED);
      return run(p, in);
    }
  }

  static short[] run(Processor p, short[] in) {
    int frames = in.length / 2;
    List<short[]> parts = new ArrayList<>();
    for (int at = 0; at < frames; at += BLOCK_FRAMES)
      parts.add(p.process(in, at * 2, Math.min(BLOCK_FRAMES, frames - at)));
    parts.add(p.flush());
    return Pcm.concat(parts);
  }

  // Eight songs of 30, 34, ... 58 s, each from its own seed.
  static void writeSongs(Path dir) throws IOException {
    Files.createDirectories(dir);
    for (int i = 0; i < SONGS; i++) {
      Path file = dir.resolve(String.format("song-%d.wav", i + 1));
      if (Files.exists(file))
        continue;
      short[] samples = Sounds.music(RATE, 30 + 4 * i, 100 + i);
      ByteBuffer bytes = ByteBuffer.allocate(samples.length * 2).order(ByteOrder.LITTLE_ENDIAN);
      bytes.asShortBuffer().put(samples);
      AudioFormat format = new AudioFormat(RATE, 16, 2, true, false);
      Path part = dir.resolve(file.getFileName() + ".part");
      try (AudioInputStream stream = new AudioInputStream(
               new ByteArrayInputStream(bytes.array()), format, samples.length / 2)) {
        AudioSystem.write(stream, AudioFileFormat.Type.WAVE, part.toFile());
      }
      Files.move(part, file);
    }
  }
}
