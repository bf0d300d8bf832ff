package quenlab.hopwarbler.cli;

import java.io.PrintWriter;
import java.nio.file.Path;
import java.util.Locale;
import java.util.concurrent.Callable;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.Spec;
import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Processor;

/** {@code hopwarbler process IN OUT}: alters a file and writes the result. */
@Command(name = "process", mixinStandardHelpOptions = true, versionProvider = Main.Version.class,
    sortOptions = false,
    description =
        {"Changes the speed of an audio file without changing its pitch, or its key without"
                + " changing its speed, and on the way removes the centre voice, rebalances, folds"
                + " to mono, equalises or changes the gain.",
            "Reads and writes WAV, AIFF and AU (the output's format follows its extension); the output"
                + " is 16-bit PCM with the input's rate and channels."},
    footer = {"", "Examples:", "  hopwarbler process song.wav slow.wav --speed 0.8",
        "  hopwarbler process song.aiff karaoke.wav --voice-removal --voice-band 150-4000",
        "  hopwarbler process song.wav out.wav --pitch -3",
        "  hopwarbler process song.wav fast.au --tempo 10 --spectrum fast.png",
        "  hopwarbler process song.wav warm.wav --eq 60:4,10k:-3 --gain -2", "",
        "Exit status: 0 done, 1 a file could not be read or written, 2 a usage error."})
final class ProcessCommand implements Callable<Integer> {
  @Parameters(index = "0", paramLabel = "IN",
      description = "Input: WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or M4A/AAC, judged by its"
          + " content; - reads standard input.")
  Path input;

  @Parameters(
      index = "1", paramLabel = "OUT", description = "Output file: .wav, .aiff/.aif or .au.")
  Path output;

  @Mixin EffectOptions effects;

  @Option(names = "--spectrum", paramLabel = "FILE.png",
      description = "Also draw the note spectrum of the output over time into a PNG picture.")
  Path spectrumPng;

  @Option(names = "--width", paramLabel = "PIXELS", defaultValue = "1000",
      description = "Width of the spectrum picture's plot in pixels (default: ${DEFAULT-VALUE}).")
  int width;

  @Option(names = {"-q", "--quiet"}, description = "Print no summary.") boolean quiet;

  @Spec CommandSpec spec;

  @Override
  public Integer call() {
    PrintWriter out = spec.commandLine().getOut();
    PrintWriter err = spec.commandLine().getErr();
    AudioFileFormat.Type type = AudioFiles.typeFor(output);
    effects.validate();
    effects.warnAboutOptions(err);
    if (spectrumPng != null)
      SpectrumCommand.checkPng(spectrumPng, "--spectrum", input, output);
    if (width < 16 || width > 20000) {
      throw CliException.usage("--width must be from 16 to 20000 pixels, got " + width);
    }
    AudioFiles.checkNotInput(input, output);
    AudioFiles.checkWritable(output);
    if (spectrumPng != null)
      AudioFiles.checkWritable(spectrumPng);

    try (InputFile in = InputFile.open(input, err);
         Processor processor =
             Main.openProcessor(() -> effects.open(in.sampleRate, in.channels, input))) {
      Spectrogram spectrogram = spectrumPng != null ? new Spectrogram() : null;
      processor.setSpectrumEnabled(spectrogram != null);
      Progress progress = Progress.forTerminal(err, in.frames);
      Capture capture = new Capture(processor, spectrogram, progress);
      AudioInputStream processed = AudioStreams.process(
          in.stream, processor, Capture.blockFrames(in.sampleRate, spectrogram != null), capture);
      // The writers fix the header up from what they wrote when the length is left open.
      AudioInputStream unsized =
          new AudioInputStream(processed, processed.getFormat(), AudioSystem.NOT_SPECIFIED);
      try {
        AudioFiles.writeAtomically(
            output, file -> AudioSystem.write(unsized, type, file.toFile()), in);
      } finally {
        progress.finish();
      }
      Processor.Stats stats = processor.stats();
      if (spectrogram != null) {
        spectrogram.writePng(spectrumPng, width, stats.outputFrames() / (double) in.sampleRate);
      }
      if (!quiet)
        out.println(summary(in, processor, stats));
      return 0;
    }
  }

  private String summary(InputFile in, Processor processor, Processor.Stats stats) {
    String effectsText = effects.describe(processor);
    return String.format(Locale.ROOT,
        "%s %s -> %s %s, speed %s (effective %.4f), frame %d, %d hops, peak %s, limiter %d"
            + " samples, clamp %d samples%s%s",
        input, AudioFiles.duration(stats.inputFrames(), in.sampleRate), output,
        AudioFiles.duration(stats.outputFrames(), in.sampleRate),
        EffectOptions.format(processor.speed()), processor.effectiveSpeed(), processor.frameSize(),
        processor.overSampling(), Main.dbfs(stats.peakLevel()), stats.limitedSamples(),
        stats.clampedSamples(), effectsText.isEmpty() ? "" : ", ", effectsText);
  }
}
