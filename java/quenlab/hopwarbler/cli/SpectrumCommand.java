package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.InputStream;
import java.io.PrintWriter;
import java.nio.file.Path;
import java.util.Locale;
import java.util.concurrent.Callable;
import picocli.CommandLine.Command;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.Spec;
import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Notes;
import quenlab.hopwarbler.Processor;

/** {@code hopwarbler spectrum IN --png FILE}: the note spectrum of a file over time. */
@Command(name = "spectrum", mixinStandardHelpOptions = true, versionProvider = Main.Version.class,
    sortOptions = false,
    description =
        {"Measures how strongly each of the 72 notes from C1 to B6 sounds in an audio file over time,"
            + " prints the strongest notes and, with --png, draws a picture: time across, the notes"
            + " up (labelled at every C), colour for level (bright = loud, black = 60 dB below the"
            + " loudest)."},
    footer = {"", "Example:", "  hopwarbler spectrum song.wav --png song.png", "",
        "Exit status: 0 done, 1 a file could not be read or written, 2 a usage error."})
final class SpectrumCommand implements Callable<Integer> {
  @Parameters(index = "0", paramLabel = "IN",
      description = "Input: WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or M4A/AAC, judged by its"
          + " content; - reads standard input.")
  Path input;

  @Option(names = "--png", paramLabel = "FILE", description = "Write the picture to this PNG file.")
  Path png;

  @Option(names = "--width", paramLabel = "PIXELS", defaultValue = "1000",
      description = "Width of the picture's plot in pixels (default: ${DEFAULT-VALUE}).")
  int width;

  @Option(names = "--top", paramLabel = "N", defaultValue = "5",
      description = "How many of the strongest notes to list (default: ${DEFAULT-VALUE}).")
  int top;

  @Spec CommandSpec spec;

  /** Checks a picture's name: it ends in .png and names neither the input nor the output. */
  static void checkPng(Path png, String option, Path input, Path output) {
    String name = png.getFileName() == null ? "" : png.getFileName().toString();
    if (!name.toLowerCase(Locale.ROOT).endsWith(".png")) {
      throw CliException.usage(option + " needs a file name ending in .png, got '" + png + "'");
    }
    AudioFiles.checkNotInput(input, png);
    if (output != null
        && png.toAbsolutePath().normalize().equals(output.toAbsolutePath().normalize())) {
      throw CliException.usage(option + " names the same file as the output '" + output + "'");
    }
  }

  @Override
  public Integer call() {
    PrintWriter out = spec.commandLine().getOut();
    PrintWriter err = spec.commandLine().getErr();
    if (png != null) {
      checkPng(png, "--png", input, null);
      AudioFiles.checkWritable(png);
    }
    if (width < 16 || width > 20000) {
      throw CliException.usage("--width must be from 16 to 20000 pixels, got " + width);
    }
    if (top < 1 || top > Notes.BANDS) {
      throw CliException.usage("--top must be from 1 to " + Notes.BANDS + ", got " + top);
    }
    try (InputFile in = InputFile.open(input, err);
         Processor processor =
             Main.openProcessor(() -> Processor.open(in.sampleRate, in.channels))) {
      Spectrogram spectrogram = new Spectrogram();
      Progress progress = Progress.forTerminal(err, in.lengthHint);
      try (InputStream processed =
               AudioStreams.process(in.stream, processor, Capture.blockFrames(in.sampleRate, true),
                   new Capture(processor, spectrogram, progress))) {
        byte[] sink = new byte[65536];
        while (processed.read(sink) >= 0) {
          // Only the spectrum is wanted; the sound itself is dropped.
        }
      } catch (IOException e) {
        throw in.readError(e);
      } finally {
        progress.finish();
      }
      long frames = processor.stats().outputFrames();
      double seconds = frames / (double) in.sampleRate;
      out.printf(Locale.ROOT, "%s: %s, %d Hz %s, %d spectrum columns%n", input,
          AudioFiles.duration(frames, in.sampleRate), in.sampleRate,
          in.channels == 1 ? "mono" : "stereo", spectrogram.columns());
      out.println("strongest notes (mean level): " + spectrogram.strongestSummary(top));
      if (png != null) {
        spectrogram.writePng(png, width, seconds);
        out.println("wrote " + png);
      }
      return 0;
    }
  }
}
