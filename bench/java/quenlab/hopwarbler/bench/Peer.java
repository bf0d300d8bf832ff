package quenlab.hopwarbler.bench;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import quenlab.hopwarbler.support.Pcm;

/**
 * The peer libraries, run through the hopwarbler_peer program on float signals: Rubber Band's two
 * engines in real-time mode (with or without their formant option) and SoundTouch. The program's
 * path comes from the system property {@code hopwarbler.peer}.
 */
public final class Peer {
  /** The peers, by the names hopwarbler_peer takes. */
  public enum Engine {
    RB_FINER("rb-finer", "Rubber Band finer"),
    RB_FASTER("rb-faster", "Rubber Band faster"),
    SOUNDTOUCH("soundtouch", "SoundTouch");

    final String option;
    public final String label;

    Engine(String option, String label) {
      this.option = option;
      this.label = label;
    }
  }

  /** A peer's output, interleaved, and the CPU time its processing calls took. */
  public record Result(float[] out, double cpuSeconds) {}

  private Peer() {}

  /** Stretches {@code interleaved} at one speed, shifting the pitch by {@code pitchSemitones}. */
  public static Result stretch(Engine engine, int rate, int channels, float[] interleaved,
      double speed, double pitchSemitones) {
    return run(engine, rate, channels, interleaved,
        List.of("--speed", String.format(Locale.ROOT, "%.17g", speed)), pitchSemitones);
  }

  /**
   * {@link #stretch(Engine, int, int, float[], double, double)} with the peer's formant option on
   * (Rubber Band's; SoundTouch has none and refuses it) or off.
   */
  public static Result stretch(Engine engine, int rate, int channels, float[] interleaved,
      double speed, double pitchSemitones, boolean formantsKept) {
    return run(engine, rate, channels, interleaved,
        List.of("--speed", String.format(Locale.ROOT, "%.17g", speed), "--formants",
            formantsKept ? "keep" : "shift"),
        pitchSemitones);
  }

  /**
   * Stretches {@code interleaved} with speed changes: {@code speeds[i]} applies from input frame
   * {@code frames[i]} on ({@code frames[0]} is 0), fed in blocks of {@code blockFrames}.
   */
  public static Result stretch(Engine engine, int rate, int channels, float[] interleaved,
      long[] frames, double[] speeds, int blockFrames) {
    StringBuilder schedule = new StringBuilder();
    for (int i = 0; i < frames.length; i++) {
      schedule.append(i == 0 ? "" : ",")
          .append(frames[i])
          .append(':')
          .append(String.format(Locale.ROOT, "%.17g", speeds[i]));
    }
    return run(engine, rate, channels, interleaved,
        List.of("--schedule", schedule.toString(), "--block", Integer.toString(blockFrames)), 0);
  }

  private static Result run(Engine engine, int rate, int channels, float[] interleaved,
      List<String> timing, double pitchSemitones) {
    String program = System.getProperty("hopwarbler.peer");
    if (program == null)
      throw new IllegalStateException("set -Dhopwarbler.peer to the hopwarbler_peer program");
    Path in = null;
    Path out = null;
    try {
      in = Files.createTempFile("hopwarbler-peer-in", ".f32");
      out = Files.createTempFile("hopwarbler-peer-out", ".f32");
      Pcm.writeFloats(in, interleaved);
      List<String> command = new ArrayList<>(List.of(program, "--engine", engine.option, "--rate",
          Integer.toString(rate), "--channels", Integer.toString(channels), "--in", in.toString(),
          "--out", out.toString(), "--pitch", String.format(Locale.ROOT, "%.17g", pitchSemitones)));
      command.addAll(timing);
      Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
      String report = new String(process.getInputStream().readAllBytes()).trim();
      if (process.waitFor() != 0)
        throw new IllegalStateException("hopwarbler_peer failed: " + report);
      double cpu = Double.NaN;
      for (String field : report.split("\\s+")) {
        if (field.startsWith("cpu_seconds="))
          cpu = Double.parseDouble(field.substring("cpu_seconds=".length()));
      }
      return new Result(Pcm.readFloats(out), cpu);
    } catch (IOException e) {
      throw new IllegalStateException("cannot run hopwarbler_peer: " + e.getMessage(), e);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      throw new IllegalStateException("interrupted", e);
    } finally {
      delete(in);
      delete(out);
    }
  }

  private static void delete(Path path) {
    try {
      if (path != null)
        Files.deleteIfExists(path);
    } catch (IOException ignored) {
      // A temporary file left behind is harmless.
    }
  }
}
