package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.InputStream;
import java.io.PrintWriter;
import java.nio.file.Path;
import java.util.Locale;
import java.util.concurrent.Callable;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.LineUnavailableException;
import javax.sound.sampled.SourceDataLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.Spec;
import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Notes;
import quenlab.hopwarbler.Processor;

/** {@code hopwarbler play IN}: plays a file through the default output while processing it. */
@Command(name = "play", mixinStandardHelpOptions = true, versionProvider = Main.Version.class,
    sortOptions = false,
    description =
        {"Plays an audio file through the default audio output while processing it with the same"
            + " options as 'process'. In a terminal it shows a live level meter, the strongest note"
            + " and the note spectrum from C1 (left) to B6 (right)."},
    footer = {"", "Example:", "  hopwarbler play song.wav --speed 0.75 --voice-removal", "",
        "Exit status: 0 done, 1 no audio output or a file that cannot be read, 2 a usage error."})
final class PlayCommand implements Callable<Integer> {
  // Characters for the note strip, from silent to loud over 60 dB.
  private static final String SHADES = " .:-=+*#%@";
  private static final int METER = 20;

  @Parameters(index = "0", paramLabel = "IN", description = "Input file (WAV, AIFF or AU).")
  Path input;

  @Mixin EffectOptions effects;

  @Spec CommandSpec spec;

  @Override
  public Integer call() {
    PrintWriter out = spec.commandLine().getOut();
    PrintWriter err = spec.commandLine().getErr();
    effects.validate();
    try (InputFile in = InputFile.open(input)) {
      AudioFormat format = AudioStreams.pcm16(in.sampleRate, in.channels, false);
      SourceDataLine line = openLine(format);
      try (Processor processor =
               Main.openProcessor(() -> effects.open(in.sampleRate, in.channels, input))) {
        boolean live = System.console() != null;
        AudioInputStream processed = AudioStreams.process(
            in.stream, processor, Capture.blockFrames(in.sampleRate, true), null);
        play(processed, line, processor, live ? err : null);
        Processor.Stats stats = processor.stats();
        out.printf(Locale.ROOT, "played %s: %s -> %s, speed %s (effective %.4f), peak %s%n", input,
            AudioFiles.duration(stats.inputFrames(), in.sampleRate),
            AudioFiles.duration(stats.outputFrames(), in.sampleRate),
            EffectOptions.format(processor.speed()), processor.effectiveSpeed(),
            Main.dbfs(stats.peakLevel()));
        return 0;
      } catch (IOException e) {
        throw in.readError(e);
      } finally {
        line.close();
      }
    }
  }

  private static SourceDataLine openLine(AudioFormat format) {
    try {
      SourceDataLine line = AudioSystem.getSourceDataLine(format);
      // A quarter of a second of buffer: the meter stays close to what is heard.
      line.open(format, Math.max(4096, (int) (format.getFrameRate() / 4) * format.getFrameSize()));
      line.start();
      return line;
    } catch (LineUnavailableException | IllegalArgumentException | SecurityException e) {
      throw CliException.io("no audio output device is available (" + oneLine(e) + ")");
    }
  }

  private static String oneLine(Exception e) {
    String message = e.getMessage() == null ? e.getClass().getSimpleName() : e.getMessage();
    return message.replaceAll("\\s+", " ").trim();
  }

  private static void play(InputStream processed, SourceDataLine line, Processor processor,
      PrintWriter meter) throws IOException {
    byte[] buffer =
        new byte[Math.max(4, line.getFormat().getFrameSize() * processor.sampleRate() / 32)];
    int n;
    while ((n = processed.read(buffer)) >= 0) {
      line.write(buffer, 0, n - n % line.getFormat().getFrameSize());
      if (meter != null) {
        meter.print("\r" + meterLine(processor.peakLevel(), processor.spectrum()));
        meter.flush();
      }
    }
    line.drain();
    if (meter != null) {
      meter.print("\r"
          + " ".repeat(METER + Notes.BANDS + 24) + "\r");
      meter.flush();
    }
  }

  /**
   * One line of the live display: a level meter over 60 dB, the peak in dBFS, the strongest note
   * and one character per note from C1 to B6.
   */
  static String meterLine(float peak, float[] bands) {
    double peakDb = peak > 0 ? 20 * Math.log10(peak) : -120;
    int filled = (int) Math.round(Math.max(0, Math.min(1, 1 + peakDb / 60)) * METER);
    int strongest = 0;
    for (int b = 1; b < bands.length; b++) {
      if (bands[b] > bands[strongest])
        strongest = b;
    }
    StringBuilder strip = new StringBuilder(bands.length);
    for (float v : bands) {
      double db = v > 0 ? 20 * Math.log10(v) : -120;
      int shade = (int) Math.floor(Math.max(0, Math.min(0.999, 1 + db / 60)) * SHADES.length());
      strip.append(SHADES.charAt(shade));
    }
    String note = bands[strongest] > 1e-4 ? Notes.name(strongest) : "-";
    return String.format(Locale.ROOT, "[%s%s] %6s  %-3s |%s|", "=".repeat(filled),
        " ".repeat(METER - filled),
        peakDb > -100 ? String.format(Locale.ROOT, "%.1f", peakDb) : "-inf", note, strip);
  }
}
