package quenlab.hopwarbler.cli;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.PrintWriter;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.Callable;
import java.util.function.Consumer;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import picocli.CommandLine.Command;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Option;
import picocli.CommandLine.Spec;
import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Notes;
import quenlab.hopwarbler.Processor;

/** {@code hopwarbler demo}: what the library does, on a piece it makes itself. */
@Command(name = "demo", mixinStandardHelpOptions = true, versionProvider = Main.Version.class,
    sortOptions = false,
    description =
        {"Synthesises a short stereo piece (a chord pad, a drum pattern and a centre-panned melody"
            + " standing in for a voice), runs it through a few settings (slower, faster, voice"
            + " removed, mono) and writes each result as a WAV file with a picture of its note"
            + " spectrum, then prints what it measured. Needs no input."},
    footer = {"", "Exit status: 0 done, 1 the folder could not be written, 2 a usage error."})
final class DemoCommand implements Callable<Integer> {
  static final int SAMPLE_RATE = 44100;

  @Option(names = "--out", paramLabel = "DIR", defaultValue = "hopwarbler-demo",
      description = "Folder for the files, created if needed (default: ${DEFAULT-VALUE}).")
  Path folder;

  @Option(names = "--seconds", paramLabel = "S", defaultValue = "8",
      description = "Length of the piece in seconds, from 2 to 60 (default: ${DEFAULT-VALUE}).")
  double seconds;

  @Option(names = "--width", paramLabel = "PIXELS", defaultValue = "800",
      description = "Width of the pictures' plots in pixels (default: ${DEFAULT-VALUE}).")
  int width;

  @Spec CommandSpec spec;

  private record Setting(String name, String label, double speed, Consumer<Processor> configure) {}

  /** What one setting produced. */
  record Result(String file, String label, short[] output, Processor.Stats stats,
      double effectiveSpeed, Spectrogram spectrogram) {}

  @Override
  public Integer call() {
    PrintWriter out = spec.commandLine().getOut();
    if (!(seconds >= 2 && seconds <= 60)) {
      throw CliException.usage(
          "--seconds must be from 2 to 60, got " + EffectOptions.format(seconds));
    }
    if (width < 16 || width > 20000) {
      throw CliException.usage("--width must be from 16 to 20000 pixels, got " + width);
    }
    try {
      Files.createDirectories(folder);
    } catch (IOException e) {
      throw CliException.io("cannot create the folder '" + folder + "': " + AudioFiles.describe(e));
    }
    DemoPiece piece = DemoPiece.synthesize(SAMPLE_RATE, seconds);
    out.printf(Locale.ROOT,
        "hopwarbler demo: synthesised %s s of stereo at %d Hz (chord pad, drums, centre-panned"
            + " melody)%n",
        EffectOptions.format(seconds), SAMPLE_RATE);
    writeWav(folder.resolve("piece.wav"), piece.stereo);

    double low = EffectOptions.DEFAULT_VOICE_LOW_HZ;
    double high = EffectOptions.DEFAULT_VOICE_HIGH_HZ;
    List<Setting> settings = List.of(new Setting("piece", "as synthesised", 1.0, p -> {}),
        new Setting("slower", "speed 0.8", 0.8, p -> {}),
        new Setting("faster", "speed 1.25", 1.25, p -> {}),
        new Setting("voice-removed",
            String.format(Locale.ROOT, "voice removal 1 at %.0f-%.0f Hz", low, high), 1.0,
            p -> p.setVoiceRemoval(1.0, low, high)),
        new Setting("mono", "folded to mono", 1.0, p -> p.setMono(true)));

    List<Result> results = new ArrayList<>();
    for (Setting setting : settings) results.add(run(piece, setting));
    double melodyReference = melodyGain(results.get(0).output(), piece);

    out.printf("wrote into %s:%n", folder);
    String row = "  %-18s %-9s %-33s %-10s %-9s %-11s %s%n";
    out.printf(
        Locale.ROOT, row, "file", "length", "setting", "peak", "melody", "side", "strongest notes");
    List<String> pictures = new ArrayList<>();
    for (Result r : results) {
      if (!r.file().equals("piece"))
        writeWav(folder.resolve(r.file() + ".wav"), r.output());
      r.spectrogram().writePng(folder.resolve(r.file() + ".png"), width,
          r.stats().outputFrames() / (double) SAMPLE_RATE);
      pictures.add(r.file() + ".png");
      String melody = "-";
      if (r.output().length == piece.stereo.length) {
        double gain = Math.abs(melodyGain(r.output(), piece) / melodyReference);
        melody = String.format(Locale.ROOT, "%+.1f dB", Spectrogram.decibels(gain));
      }
      String setting = r.label();
      if (r.effectiveSpeed() != 1) {
        setting += String.format(Locale.ROOT, " (effective %.4f)", r.effectiveSpeed());
      }
      StringBuilder notes = new StringBuilder();
      for (int band : r.spectrogram().strongest(3)) notes.append(' ').append(Notes.name(band));
      out.printf(Locale.ROOT, row, r.file() + ".wav",
          AudioFiles.duration(r.stats().outputFrames(), SAMPLE_RATE), setting,
          Main.dbfs(peak(r.file().equals("piece") ? piece.stereo : r.output())), melody,
          sideLevel(r.output()), notes.toString().trim());
    }
    out.println("  and a picture of the note spectrum of each: " + String.join(", ", pictures));
    out.println("peak: of the file written; melody: the centre melody's level against the piece"
        + " through the processor at speed 1; side: the level of (L-R)/2.");
    return 0;
  }

  private Result run(DemoPiece piece, Setting setting) {
    try (Processor p = Main.openProcessor(() -> Processor.open(SAMPLE_RATE, 2))) {
      p.setSpeed(setting.speed());
      setting.configure().accept(p);
      Spectrogram spectrogram = new Spectrogram();
      Capture capture = new Capture(p, spectrogram, null);
      int block = Capture.blockFrames(SAMPLE_RATE, true);
      short[] output = new short[0];
      int length = 0;
      int frame = 0;
      boolean last = false;
      while (!last) {
        last = frame >= piece.frames();
        int frames = Math.min(block, piece.frames() - frame);
        short[] chunk = last ? p.flush() : p.process(piece.stereo, 2 * frame, frames);
        frame += last ? 0 : frames;
        if (length + chunk.length > output.length) {
          output = Arrays.copyOf(output, Math.max(2 * output.length, length + chunk.length));
        }
        System.arraycopy(chunk, 0, output, length, chunk.length);
        length += chunk.length;
        capture.processed(frame, chunk, last);
      }
      return new Result(setting.name(), setting.label(), Arrays.copyOf(output, length), p.stats(),
          p.effectiveSpeed(), spectrogram);
    }
  }

  // The highest absolute sample, 1.0 being full scale.
  private static double peak(short[] samples) {
    int peak = 0;
    for (short s : samples) peak = Math.max(peak, Math.abs(s));
    return peak / 32768.0;
  }

  // Projection of the output's centre (L + R) / 2 on the melody: 1 when the melody is intact.
  static double melodyGain(short[] stereo, DemoPiece piece) {
    double dot = 0;
    double norm = 0;
    for (int i = 0; i < piece.frames(); i++) {
      double centre = (stereo[2 * i] + stereo[2 * i + 1]) / 2.0;
      dot += centre * piece.melody[i];
      norm += piece.melody[i] * piece.melody[i];
    }
    return dot / norm;
  }

  private static String sideLevel(short[] stereo) {
    double sum = 0;
    for (int i = 0; i + 1 < stereo.length; i += 2) {
      double side = (stereo[i] - stereo[i + 1]) / 2.0 / 32767;
      sum += side * side;
    }
    double rms = Math.sqrt(sum / Math.max(1, stereo.length / 2));
    return Main.dbfs(rms);
  }

  private static void writeWav(Path file, short[] stereo) {
    byte[] bytes = AudioStreams.toBytes(stereo, stereo.length, false, null);
    AudioFiles.writeAtomically(file, temporary -> {
      try (AudioInputStream stream = new AudioInputStream(new ByteArrayInputStream(bytes),
               AudioStreams.pcm16(SAMPLE_RATE, 2, false), stereo.length / 2)) {
        AudioSystem.write(stream, AudioFileFormat.Type.WAVE, temporary.toFile());
      }
    });
  }
}
