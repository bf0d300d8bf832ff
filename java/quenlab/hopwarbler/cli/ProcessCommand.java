package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.InputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.LongFunction;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioInputStream;
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
    description = {"Changes the speed of an audio file without changing its pitch, or its key without"
            + " changing its speed, and on the way removes the centre voice, rebalances, folds"
            + " to mono, equalises or changes the gain.",
        "Reads WAV, AIFF and AU and writes WAV, AIFF, AU or FLAC (the output's format follows its"
            + " extension; FLAC through the flac program): 16-bit PCM with the input's rate and"
            + " channels, 24- and 32-bit input reduced with TPDF dither. - as OUT writes a WAV to"
            + " standard output, and the summary goes to standard error.",
        "With --out-dir every IN is processed into DIR under its own name (ending in .wav if its"
            + " format is not one written), up to --jobs files at once, each on its own thread;"
            + " the files written are the same whatever the number of jobs, and the summary lines"
            + " come in the order of the inputs, one per file."},
    footer = {"", "Examples:", "  hopwarbler process song.wav slow.wav --speed 0.8",
        "  hopwarbler process song.aiff karaoke.wav --voice-removal --voice-band 150-4000",
        "  hopwarbler process song.wav out.wav --pitch -3",
        "  hopwarbler process song.wav fast.au --tempo 10 --spectrum fast.png",
        "  hopwarbler process song.wav warm.wav --eq 60:4,10k:-3 --gain -2",
        "  hopwarbler process song.wav - --speed 0.8 | sox - slow.ogg",
        "  hopwarbler process *.wav --out-dir slow --speed 0.8",
        "  hopwarbler process *.wav --out-dir slow --speed 0.8 --jobs 2", "",
        "Exit status: 0 done, 1 a file could not be read or written (with --out-dir: any of them),"
            + " 2 a usage error."})
final class ProcessCommand implements Callable<Integer> {
  @Parameters(index = "0", paramLabel = "IN",
      description = "Input: WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or M4A/AAC, judged by its"
          + " content; - reads standard input.")
  Path input;

  @Parameters(index = "1..*", arity = "0..*", paramLabel = "OUT",
      description = "Output file: .wav, .aiff/.aif, .au or .flac, or - for a WAV on standard"
          + " output; with --out-dir, more inputs instead.")
  List<Path> rest = new ArrayList<>();

  @Option(names = "--out-dir", paramLabel = "DIR",
      description = "Process every IN into the folder DIR, each under its own name; the others are"
          + " still written when one fails.")
  Path outDir;

  @Option(names = {"-j", "--jobs"}, paramLabel = "N",
      description = "With --out-dir, process up to N files at once (default: the number of"
          + " processor cores). Without --out-dir there is one file, and N changes nothing.")
  Integer jobs;

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
    effects.validate();
    effects.warnAboutOptions(spec.commandLine().getErr());
    if (width < 16 || width > 20000) {
      throw CliException.usage("--width must be from 16 to 20000 pixels, got " + width);
    }
    if (jobs != null && jobs < 1)
      throw CliException.usage("--jobs must be a whole number of at least 1, got " + jobs);
    if (outDir == null) {
      if (rest.size() != 1) {
        throw CliException.usage(rest.isEmpty()
                ? "Missing required parameter: 'OUT' (or --out-dir DIR)"
                : "several inputs need --out-dir DIR to be written into");
      }
      PrintWriter err = spec.commandLine().getErr();
      process(input, rest.get(0), spectrumPng, spec.commandLine().getOut(), err,
          frames -> Progress.forTerminal(err, frames));
      return 0;
    }
    return processAll();
  }

  // Every input into --out-dir, up to --jobs at once; a failure is reported and the rest go on.
  private int processAll() {
    if (spectrumPng != null)
      throw CliException.usage("--spectrum names one picture and cannot go with --out-dir");
    List<Path> inputs = new ArrayList<>();
    inputs.add(input);
    inputs.addAll(rest);
    Map<Path, Path> outputs = new HashMap<>();
    for (Path in : inputs) {
      Path name = in.getFileName();
      if (AudioOutput.isStandardOutput(in) || name == null)
        throw CliException.usage("'" + in + "' has no file name to write into --out-dir");
      Path out = outDir.resolve(outputName(name.toString()));
      Path other = outputs.put(out.toAbsolutePath().normalize(), in);
      if (other != null) {
        throw CliException.usage(
            "'" + other + "' and '" + in + "' would both be written to '" + out + "'");
      }
    }
    if (!Files.isDirectory(outDir)) {
      throw CliException.io("cannot write into '" + outDir
          + "': " + (Files.exists(outDir) ? "it is not a folder" : "no such folder"));
    }
    PrintWriter out = spec.commandLine().getOut();
    PrintWriter err = spec.commandLine().getErr();
    int workers = Math.min(jobs != null ? jobs : Runtime.getRuntime().availableProcessors(),
        inputs.size());
    Progress.Batch bar = Progress.Batch.forTerminal(err, inputs.size());
    // An error other than a file's failure (a fault of the tool) lets no further file start, as
    // it would stop a run of one file after the other.
    AtomicBoolean stop = new AtomicBoolean();
    AtomicInteger threads = new AtomicInteger();
    ExecutorService pool = Executors.newFixedThreadPool(workers, task -> {
      Thread t = new Thread(task, "process " + threads.incrementAndGet());
      t.setDaemon(true);
      return t;
    });
    List<Future<Outcome>> outcomes = new ArrayList<>();
    for (int i = 0; i < inputs.size(); i++) {
      Path in = inputs.get(i);
      Path target = outDir.resolve(outputName(in.getFileName().toString()));
      int index = i;
      LongFunction<Progress> progress = frames -> bar.file(index, frames);
      outcomes.add(pool.submit(() -> stop.get() ? null : processOne(in, target, progress, stop)));
    }
    pool.shutdown();
    // Each file's lines are printed once every earlier file's are, so that they come in the
    // order of the inputs whichever file finishes first.
    int failed = 0;
    Throwable fault = null;
    try {
      for (int i = 0; i < outcomes.size(); i++) {
        Outcome outcome = await(outcomes.get(i));
        if (outcome == null)
          continue;
        bar.print(i, () -> {
          err.print(outcome.err());
          err.flush();
          out.print(outcome.out());
          out.flush();
        });
        if (outcome.failed())
          failed++;
        if (fault == null)
          fault = outcome.fault();
      }
    } finally {
      bar.finish();
    }
    if (fault instanceof RuntimeException e)
      throw e;
    if (fault instanceof Error e)
      throw e;
    return failed == 0 ? 0 : CliException.IO;
  }

  /** What processing one file of several printed, kept until the earlier files have printed. */
  private record Outcome(String out, String err, boolean failed, Throwable fault) {}

  // One file of several, its lines gathered rather than printed; its failure is one line.
  private Outcome processOne(
      Path in, Path target, LongFunction<Progress> progress, AtomicBoolean stop) {
    StringWriter out = new StringWriter();
    StringWriter err = new StringWriter();
    PrintWriter errors = new PrintWriter(err);
    try {
      process(in, target, null, new PrintWriter(out), errors, progress);
      return new Outcome(out.toString(), err.toString(), false, null);
    } catch (CliException | IllegalArgumentException | IllegalStateException e) {
      errors.println("hopwarbler: " + Main.oneLine(e.getMessage()));
      errors.flush();
      return new Outcome(out.toString(), err.toString(), true, null);
    } catch (RuntimeException | Error e) {
      stop.set(true);
      return new Outcome(out.toString(), err.toString(), true, e);
    }
  }

  private static Outcome await(Future<Outcome> outcome) {
    boolean interrupted = false;
    try {
      while (true) {
        try {
          return outcome.get();
        } catch (InterruptedException e) {
          interrupted = true;
        } catch (ExecutionException e) {
          // processOne catches what the processing throws; this is left for a fault in it.
          Throwable cause = e.getCause();
          return new Outcome("", "", true, cause != null ? cause : e);
        }
      }
    } finally {
      if (interrupted)
        Thread.currentThread().interrupt();
    }
  }

  // The input's name if its extension is a format written, else the name with .wav instead.
  static String outputName(String inputName) {
    try {
      AudioFiles.typeFor(Path.of(inputName));
      return inputName;
    } catch (CliException e) {
      int dot = inputName.lastIndexOf('.');
      return (dot > 0 ? inputName.substring(0, dot) : inputName) + ".wav";
    }
  }

  // Processes one file, printing its summary to out (to err when the sound goes to standard
  // output) and its messages to err.
  private void process(Path input, Path output, Path png, PrintWriter out, PrintWriter err,
      LongFunction<Progress> progressFor) {
    boolean toStandardOutput = AudioOutput.isStandardOutput(output);
    PrintWriter report = toStandardOutput ? err : out;
    AudioFileFormat.Type type =
        toStandardOutput ? AudioFileFormat.Type.WAVE : AudioFiles.typeFor(output);
    Path flac = AudioFiles.isFlac(output) ? FlacEncoder.find(System.getenv("PATH"), output) : null;
    if (png != null)
      SpectrumCommand.checkPng(png, "--spectrum", input, output);
    if (!toStandardOutput) {
      AudioFiles.checkNotInput(input, output);
      AudioFiles.checkWritable(output);
    }
    if (png != null)
      AudioFiles.checkWritable(png);

    try (InputFile in = InputFile.open(input, err);
         Processor processor =
             Main.openProcessor(() -> effects.open(in.sampleRate, in.channels, input))) {
      boolean dither = Dither.applies(in.format);
      AudioInputStream source = dither ? Dither.reduce(in.stream) : in.stream;
      long expected = in.frames >= 0 ? processor.expectedOutputFrames(in.frames) : -1;
      try {
        PcmWriter.checkFits(PcmWriter.of(type), in.channels, flac != null ? -1 : expected);
      } catch (IOException e) {
        throw CliException.io("cannot write '" + output + "': " + e.getMessage());
      }
      Spectrogram spectrogram = png != null ? new Spectrogram() : null;
      processor.setSpectrumEnabled(spectrogram != null);
      Progress progress = progressFor.apply(in.lengthHint);
      Capture capture = new Capture(processor, spectrogram, progress);
      AudioOutput written;
      try (AudioOutput audio = AudioOutput.open(output, in.sampleRate, in.channels, expected, flac);
           StagedFile picture = png != null ? StagedFile.stage(png) : null;
           InputStream processed = AudioStreams.process(
               source, processor, Capture.blockFrames(in.sampleRate, png != null), capture)) {
        byte[] block = new byte[65536 - 65536 % (2 * in.channels)];
        int n;
        while ((n = processed.readNBytes(block, 0, block.length)) > 0) audio.write(block, n);
        audio.finish();
        if (picture != null) {
          drawPicture(spectrogram, picture,
              processor.stats().outputFrames() / (double) in.sampleRate, output);
        }
        audio.commit();
        if (picture != null)
          commitPicture(picture, output);
        written = audio;
      } catch (InputFile.ReadFailure e) {
        throw in.readError(e);
      } catch (IOException e) {
        throw CliException.io(
            "cannot write '" + AudioOutput.name(output) + "': " + AudioFiles.describe(e));
      } finally {
        progress.finish();
      }
      if (written.produced() != written.frames()) {
        err.println("hopwarbler: " + AudioFiles.duration(written.produced(), in.sampleRate)
            + " of sound came out of '" + input + "' where its header announced "
            + AudioFiles.duration(written.frames(), in.sampleRate) + "; the WAV on standard output"
            + (written.produced() < written.frames() ? " ends in silence" : " is cut short")
            + " to keep to its header");
        err.flush();
      }
      if (!quiet)
        report.println(summary(input, output, in, processor, written, dither));
      report.flush();
    }
  }

  // The picture's rename, after the audio's: should it fail, the message says the audio is there.
  private static void commitPicture(StagedFile picture, Path output) {
    try {
      picture.commit();
    } catch (IOException e) {
      throw CliException.io("cannot write '" + picture.target() + "': " + AudioFiles.describe(e)
          + soundWritten(output));
    }
  }

  // The picture is drawn before the sound is put in place, so that a failure leaves neither; only
  // sound sent to standard output is already out.
  private void drawPicture(
      Spectrogram spectrogram, StagedFile picture, double seconds, Path output) {
    try {
      spectrogram.writePngTo(picture.temporary(), width, seconds);
    } catch (IOException e) {
      throw CliException.io("cannot write '" + picture.target() + "': " + AudioFiles.describe(e)
          + (AudioOutput.isStandardOutput(output) ? soundWritten(output) : ""));
    }
  }

  private static String soundWritten(Path output) {
    return AudioOutput.isStandardOutput(output) ? " (the sound went to standard output)"
                                                : " ('" + output + "' was written)";
  }

  // The hops per frame the vocoder really runs: its hop is the frame over the oversampling,
  // rounded down, so an oversampling that does not divide the frame (2049 of 4096) runs more.
  private static long hopsPerFrame(Processor processor) {
    int hop = processor.frameSize() / processor.overSampling();
    return Math.round((double) processor.frameSize() / hop);
  }

  private String summary(Path input, Path output, InputFile in, Processor processor,
      AudioOutput written, boolean dither) {
    Processor.Stats stats = processor.stats();
    String effectsText = effects.describe(processor);
    return String.format(Locale.ROOT,
        "%s %s -> %s %s, speed %s (effective %.4f), frame %d, %d hops, peak %s, limiter %d"
            + " samples, clamp %d samples%s%s%s",
        input, AudioFiles.duration(stats.inputFrames(), in.sampleRate), AudioOutput.name(output),
        AudioFiles.duration(written.frames(), in.sampleRate),
        EffectOptions.format(processor.speed()), processor.effectiveSpeed(), processor.frameSize(),
        hopsPerFrame(processor), Main.dbfs(written.peak()), stats.limitedSamples(),
        stats.clampedSamples(), effectsText.isEmpty() ? "" : ", ", effectsText,
        dither ? ", " + Dither.describe(in.format) : "");
  }
}
