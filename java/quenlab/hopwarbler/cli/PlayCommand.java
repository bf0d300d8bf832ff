package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.file.Path;
import java.util.List;
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
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.Spec;
import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Notes;
import quenlab.hopwarbler.Planning;
import quenlab.hopwarbler.Processor;

/**
 * {@code hopwarbler play IN}: plays a file through the default output while processing it; in a
 * terminal, keys change the settings as it plays.
 */
@Command(name = "play", mixinStandardHelpOptions = true, versionProvider = Main.Version.class,
    sortOptions = false,
    description =
        {"Plays an audio file through the default audio output while processing it with the same"
                + " options as 'process'. In a terminal it shows a live level meter, the strongest"
                + " note, the note spectrum from C1 (left) to B6 (right) and the settings, which"
                + " keys change while it plays:",
            "  - + or left/right  speed down/up by 0.05",
            "  < > (or , .)       key down/up by a semitone",
            "  v                  voice removal on/off (stereo)",
            "  m                  mono fold on/off (stereo)",
            "  [ ]                balance 5 towards the left/right channel (stereo)",
            "  up/down            gain up/down by 1 dB",
            "  q or Ctrl-C        quit; --record keeps what was heard until then", ""},
    footer = {"", "Examples:", "  hopwarbler play song.wav --speed 0.75 --voice-removal",
        "  hopwarbler play song.wav --record session.wav", "",
        "Exit status: 0 done or quit, 1 no audio output (without --record) or a file that cannot"
            + " be read or written, 2 a usage error."})
final class PlayCommand implements Callable<Integer> {
  // Characters for the note strip, from silent to loud over 60 dB.
  private static final String SHADES = " .:-=+*#%@";
  private static final int METER = 20;
  private static final double SPEED_STEP = 0.05;
  private static final int BALANCE_STEP = 5;
  private static final double GAIN_STEP_DB = 1.0;
  // How far output runs ahead of the clock without an audio device: the output line's buffer.
  private static final double AHEAD_SECONDS = 0.25;

  @Parameters(index = "0", paramLabel = "IN",
      description = "Input: WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or M4A/AAC, judged by its"
          + " content; - reads standard input.")
  Path input;

  @Mixin EffectOptions effects;

  @Option(names = "--record", paramLabel = "FILE",
      description = "Also write what is heard, with every change made while playing, to FILE"
          + " (.wav, .aiff/.aif, .au or .flac; 16-bit PCM with the input's rate and channels)."
          + " Without an audio output, play then only records, still in real time.")
  Path record;

  @Spec CommandSpec spec;

  @Override
  public Integer call() {
    PrintWriter out = spec.commandLine().getOut();
    PrintWriter err = spec.commandLine().getErr();
    effects.validate();
    effects.warnAboutOptions(err);
    if (record != null) {
      AudioFiles.typeFor(record);
      AudioFiles.checkNotInput(input, record);
      AudioFiles.checkWritable(record);
    }
    try (InputFile in = InputFile.open(input, err)) {
      AudioFormat format = AudioStreams.pcm16(in.sampleRate, in.channels, false);
      SourceDataLine line = null;
      String noOutput = null;
      try {
        line = openLine(format);
      } catch (CliException e) {
        if (record == null)
          throw e;
        noOutput = e.getMessage();
      }
      try (Processor processor =
               Main.openProcessor(() -> effects.open(in.sampleRate, in.channels, input));
           Recording recording = record != null ? Recording.start(record, format) : null) {
        if (noOutput != null) {
          err.println("hopwarbler: " + noOutput + "; recording to '" + record + "' only");
          err.flush();
        }
        PlayTerminal terminal = System.console() != null ? openTerminal(err) : null;
        Session session = new Session(in, processor, line, recording, terminal);
        boolean quit;
        try {
          quit = session.run();
        } finally {
          if (terminal != null)
            terminal.close();
        }
        if (recording != null)
          recording.finish();
        Processor.Stats stats = processor.stats();
        out.printf(Locale.ROOT, "played %s: %s -> %s, speed %s (effective %.4f), peak %s%s%s%n",
            input, AudioFiles.duration(stats.inputFrames(), in.sampleRate),
            AudioFiles.duration(stats.outputFrames(), in.sampleRate),
            EffectOptions.format(processor.speed()), processor.effectiveSpeed(),
            Main.dbfs(session.peak / 32768.0),
            quit && in.frames >= 0
                ? ", quit at " + AudioFiles.duration(stats.inputFrames(), in.sampleRate) + " of "
                    + AudioFiles.duration(in.frames, in.sampleRate)
                : "",
            recording != null ? ", recorded to " + record : "");
        return 0;
      } catch (IOException e) {
        throw in.readError(e);
      } finally {
        if (line != null)
          line.close();
      }
    }
  }

  private static PlayTerminal openTerminal(PrintWriter err) {
    try {
      return PlayTerminal.open();
    } catch (IOException | RuntimeException e) {
      err.println("hopwarbler: the terminal's keys cannot be read (" + oneLine(e) + "); playing"
          + " without them");
      err.flush();
      return null;
    }
  }

  private static SourceDataLine openLine(AudioFormat format) {
    try {
      SourceDataLine line = AudioSystem.getSourceDataLine(format);
      // A quarter of a second of buffer: the meter stays close to what is heard.
      line.open(format,
          Math.max(4096, (int) (format.getFrameRate() * AHEAD_SECONDS) * format.getFrameSize()));
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

  /**
   * One run through the file: blocks of 1/32 s go through the processor to the output line and
   * the recording; between blocks the keys pressed since are applied, so a change is heard from
   * the next block on. Without an output line the loop keeps to the clock itself.
   */
  private static final class Session {
    private final InputFile in;
    private final Processor processor;
    private final SourceDataLine line;
    private final Recording recording;
    private final PlayTerminal terminal;
    private final int frameBytes;
    private double voiceAmount = 1.0;
    private double voiceLowHz = EffectOptions.DEFAULT_VOICE_LOW_HZ;
    private double voiceHighHz = EffectOptions.DEFAULT_VOICE_HIGH_HZ;
    private long inputFrames;
    private long framesOut;
    private int peak; // of what was played, 32768 being full scale
    private long startedNanos;

    Session(InputFile in, Processor processor, SourceDataLine line, Recording recording,
        PlayTerminal terminal) {
      this.in = in;
      this.processor = processor;
      this.line = line;
      this.recording = recording;
      this.terminal = terminal;
      this.frameBytes = 2 * processor.channels();
      if (processor.voiceRemovalBand() != null) {
        voiceAmount = processor.voiceRemovalAmount();
        voiceLowHz = processor.voiceRemovalBand().lowHz();
        voiceHighHz = processor.voiceRemovalBand().highHz();
      }
    }

    /** Plays to the end or until q; returns true if it was quit. */
    boolean run() throws IOException {
      // The length is left open: a slower speed chosen while playing lengthens the output.
      AudioInputStream source = Dither.applies(in.format) ? Dither.reduce(in.stream) : in.stream;
      AudioInputStream unsized =
          new AudioInputStream(source, source.getFormat(), AudioSystem.NOT_SPECIFIED);
      AudioInputStream processed = AudioStreams.process(unsized, processor,
          Capture.blockFrames(in.sampleRate, true), (frames, output, last) -> inputFrames = frames);
      byte[] buffer = new byte[frameBytes * Capture.blockFrames(in.sampleRate, true)];
      startedNanos = System.nanoTime();
      boolean quit = false;
      while (!quit) {
        quit = applyKeys();
        if (quit)
          break;
        int n = processed.readNBytes(buffer, 0, buffer.length);
        if (n <= 0)
          break;
        emit(buffer, n);
      }
      if (quit) {
        short[] tail = processor.flush();
        emit(AudioStreams.toBytes(tail, tail.length, false, null), 2 * tail.length);
      }
      if (line != null)
        line.drain();
      return quit;
    }

    private boolean applyKeys() {
      if (terminal == null)
        return false;
      for (PlayTerminal.Key key : terminal.pressed()) {
        if (!apply(key))
          return true;
      }
      return false;
    }

    // Applies one key; false for quit.
    private boolean apply(PlayTerminal.Key key) {
      boolean stereo = processor.channels() == 2;
      switch (key) {
        case FASTER -> setSpeed(processor.speed() + SPEED_STEP);
        case SLOWER -> setSpeed(processor.speed() - SPEED_STEP);
        case KEY_UP -> setPitch(processor.pitch() + 1);
        case KEY_DOWN -> setPitch(processor.pitch() - 1);
        case LOUDER -> setGainDb(processor.gainDb() + GAIN_STEP_DB);
        case QUIETER -> setGainDb(processor.gainDb() - GAIN_STEP_DB);
        case VOICE -> {
          if (stereo && processor.voiceRemovalBand() != null) {
            processor.disableVoiceRemoval();
          } else if (stereo) {
            processor.setVoiceRemoval(voiceAmount, voiceLowHz, voiceHighHz);
          }
        }
        case MONO -> {
          if (stereo)
            processor.setMono(!processor.mono());
        }
        case BALANCE_LEFT -> {
          if (stereo)
            processor.setBalance(Math.min(100, processor.balance() + BALANCE_STEP));
        }
        case BALANCE_RIGHT -> {
          if (stereo)
            processor.setBalance(Math.max(0, processor.balance() - BALANCE_STEP));
        }
        case QUIT -> {
          return false;
        }
        case OTHER -> {}
      }
      return true;
    }

    private void setSpeed(double speed) {
      // Rounded so that steps of 0.05 land on round figures after many presses. The vocoder
      // stretches to speed / pitch factor, which its hop limits.
      double rounded = Math.round(speed * 1e6) / 1e6;
      int frame = processor.frameSize();
      int os = processor.overSampling();
      double low =
          Math.max(EffectOptions.MIN_SPEED, Planning.lowestSpeed(frame, os, processor.pitch()));
      double high =
          Math.min(EffectOptions.MAX_SPEED, Planning.highestSpeed(frame, os, processor.pitch()));
      processor.setSpeed(Math.max(low, Math.min(high, rounded)));
    }

    // Moves the key within its range, as far as the vocoder's hop can stretch at this speed.
    private void setPitch(double semitones) {
      double rounded = Math.round(semitones * 1e6) / 1e6;
      if (rounded < Processor.MIN_PITCH || rounded > Processor.MAX_PITCH)
        return;
      double stretch = Planning.stretch(processor.speed(), rounded);
      if (Planning.reaches(processor.frameSize(), processor.overSampling(), stretch))
        processor.setPitch(rounded);
    }

    private void setGainDb(double gainDb) {
      double rounded = Math.round(gainDb * 1e6) / 1e6;
      processor.setGainDb(
          Math.max(Processor.MIN_GAIN_DB, Math.min(Processor.MAX_GAIN_DB, rounded)));
    }

    private void emit(byte[] bytes, int length) {
      int whole = length - length % frameBytes;
      if (recording != null)
        recording.write(bytes, whole);
      framesOut += whole / frameBytes;
      peak = PcmWriter.peak(bytes, whole, peak);
      if (line != null) {
        line.write(bytes, 0, whole);
      } else {
        keepToTheClock();
      }
      if (terminal != null) {
        terminal.draw(List.of(
            processor.channels() == 2 ? PlayTerminal.HELP : PlayTerminal.HELP_MONO,
            meterLine(processor.peakLevel(), processor.spectrum()), settingsLine()));
      }
    }

    // Without an output line, waits until the clock is no more than the line's buffer behind.
    private void keepToTheClock() {
      long dueNanos = startedNanos
          + Math.round((framesOut / (double) in.sampleRate - AHEAD_SECONDS) * 1e9);
      long waitNanos = dueNanos - System.nanoTime();
      if (waitNanos > 0) {
        try {
          Thread.sleep(waitNanos / 1_000_000, (int) (waitNanos % 1_000_000));
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        }
      }
    }

    /** The position in the input and the settings the keys change. */
    private String settingsLine() {
      StringBuilder line = new StringBuilder(position(inputFrames));
      if (in.frames >= 0)
        line.append(" / ").append(position(in.frames));
      line.append(String.format(Locale.ROOT, "  speed %.2f", processor.speed()));
      if (processor.channels() == 2) {
        line.append("  voice ").append(processor.voiceRemovalBand() != null ? "on" : "off");
        line.append("  mono ").append(processor.mono() ? "on" : "off");
        line.append("  balance ").append(processor.balance());
      }
      double gainDb = processor.gainDb();
      line.append("  gain ").append(gainDb > 0 ? "+" : "").append(EffectOptions.format(gainDb));
      double pitch = processor.pitch();
      line.append(" dB  key ").append(pitch > 0 ? "+" : "").append(EffectOptions.format(pitch));
      return line.toString();
    }

    // m:ss.t of the input.
    private String position(long frames) {
      long tenths = frames * 10 / in.sampleRate;
      return String.format(
          Locale.ROOT, "%d:%02d.%d", tenths / 600, tenths / 10 % 60, tenths % 10);
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
