package quenlab.hopwarbler.cli;

import java.io.PrintWriter;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.EnumSet;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import java.util.TreeMap;
import picocli.CommandLine.Option;
import quenlab.hopwarbler.Planning;
import quenlab.hopwarbler.Processor;

/** The processing options that {@code process} and {@code play} share, and how they apply. */
final class EffectOptions {
  static final double MIN_SPEED = 0.1;
  static final double MAX_SPEED = 10.0;
  static final double MIN_TEMPO = -90;
  static final double MAX_TEMPO = 900;
  // --tempo values up to this look like speed factors (0.5, 1.25, 2) more than like percents.
  static final double FACTOR_LIKE_TEMPO = 4;
  static final double DEFAULT_VOICE_LOW_HZ = 200.0;
  static final double DEFAULT_VOICE_HIGH_HZ = 3000.0;

  @Option(names = {"-s", "--speed"}, paramLabel = "FACTOR",
      description =
          "Playback speed, from 0.1 to 10: 1.25 plays 25%% faster, 0.8 slower; the pitch stays"
          + " (default: 1).")
  Double speed;

  @Option(names = {"-t", "--tempo"}, paramLabel = "PERCENT",
      description = "Tempo change in percent instead of --speed: 25 plays 25%% faster, -20 slower.")
  Double tempo;

  @Option(names = "--pitch", paramLabel = "SEMITONES",
      description = "Key change in semitones, from -12 to 12 (fractions allowed): -3 plays three"
          + " semitones lower at the same speed (default: 0).")
  Double pitch;

  @Option(names = "--formants", paramLabel = "keep|shift",
      description = "With --pitch: keep keeps a voice's formants (its spectral envelope) where they"
          + " were, so that it does not sound small and nasal when raised or hollow when lowered;"
          + " shift moves them with the key (default: shift).")
  String formants;

  @Option(names = "--quality", paramLabel = "PRESET", defaultValue = "best",
      description = "fast (frame 2048, 4 hops), balanced (4096, 8 hops) or best (4096, 16 hops;"
          + " about three times the work of fast); frames at 44.1 kHz, scaled with the rate"
          + " (default: ${DEFAULT-VALUE}). --frame-size and --oversampling override it.")
  String quality;

  @Option(names = "--frame-size", paramLabel = "N",
      description = "FFT frame size, a power of two from 64 to 4096 (default: the preset's).")
  Integer frameSize;

  @Option(names = "--oversampling", paramLabel = "N",
      description =
          "Analysis hops per frame, or auto: 4, or more when slowing down so that the output"
          + " frames overlap by at least two thirds (default: the preset's).")
  String overSampling;

  @Option(names = "--voice-removal",
      description = "Remove the centre-panned voice (stereo input only).")
  boolean voiceRemoval;

  @Option(names = "--voice-amount", paramLabel = "AMOUNT",
      description = "How much of the voice --voice-removal takes away, from 0 (nothing) to 1"
          + " (all; the default).")
  Double voiceAmountOption;

  Double voiceAmount;

  @Option(names = "--voice-band", paramLabel = "LOW-HIGH",
      description = "Band of the voice removal in Hz (default: " + (int) DEFAULT_VOICE_LOW_HZ + "-"
          + (int) DEFAULT_VOICE_HIGH_HZ + ").")
  String voiceBand;

  @Option(names = "--balance", paramLabel = "0..100",
      description = "Stereo balance: 50 centre (default), 0 right channel only, 100 left only.")
  Integer balance;

  @Option(names = "--mono", description = "Fold both channels to their average.") boolean mono;

  @Option(names = {"-g", "--gain"}, paramLabel = "DB",
      description = "Output gain in dB, from -96 to 24; 0 keeps the input's loudness (default: 0).")
  Double gainDb;

  @Option(names = "--eq", paramLabel = "HZ:DB[,HZ:DB...]",
      description =
          "Equaliser points, e.g. 100:3,1k:-2,8k:4 (gain in dB at a frequency, interpolated in"
          + " between and held beyond the outer points; may be repeated).")
  List<String> eq = new ArrayList<>();

  @Option(names = "--without", paramLabel = "REFINEMENT", split = ",",
      description = "Turn off refinements of the engine, all on by default (for comparing):"
          + " linked-stereo, attacks, fine-peaks, level-keeping, or all.")
  List<String> without = new ArrayList<>();

  /** The engine's refinements that --without turns off. */
  Set<Processor.Feature> featuresOff() {
    Set<Processor.Feature> off = EnumSet.noneOf(Processor.Feature.class);
    for (String name : without) {
      String key = name.trim().toLowerCase(Locale.ROOT);
      if (key.equals("all")) {
        off.addAll(EnumSet.allOf(Processor.Feature.class));
        continue;
      }
      Processor.Feature found = null;
      for (Processor.Feature f : Processor.Feature.values()) {
        if (f.name().toLowerCase(Locale.ROOT).replace('_', '-').equals(key))
          found = f;
      }
      if (found == null) {
        throw CliException.usage("--without takes linked-stereo, attacks, fine-peaks,"
            + " level-keeping or all, got '" + name + "'");
      }
      off.add(found);
    }
    return off;
  }

  /** The formant handling asked for, after checking --formants. */
  Processor.Formants formantsChoice() {
    if (formants == null)
      return Processor.DEFAULT_FORMANTS;
    return switch (formants.trim().toLowerCase(Locale.ROOT)) {
      case "keep" -> Processor.Formants.KEEP;
      case "shift" -> Processor.Formants.SHIFT;
      default -> throw CliException.usage("--formants takes keep or shift, got '" + formants + "'");
    };
  }

  /** The speed factor asked for, after checking --speed and --tempo. */
  double speedFactor() {
    if (speed != null && tempo != null) {
      throw CliException.usage("--speed and --tempo cannot be combined; give one of them");
    }
    if (tempo != null) {
      // Checked in percent, as typed: -90 is the lower limit itself, although 1 - 0.9 comes out
      // just under 0.1 in binary.
      if (!(tempo >= MIN_TEMPO && tempo <= MAX_TEMPO)) {
        throw CliException.usage("--tempo " + format(tempo) + " is out of range: the tempo change"
            + " must be from " + format(MIN_TEMPO) + " to +" + format(MAX_TEMPO) + " percent (a"
            + " speed from " + format(MIN_SPEED) + " to " + format(MAX_SPEED) + ")");
      }
      return Math.max(MIN_SPEED, Math.min(MAX_SPEED, (100 + tempo) / 100));
    }
    double factor = speed != null ? speed : 1.0;
    if (!(factor >= MIN_SPEED && factor <= MAX_SPEED)) {
      throw CliException.usage("--speed " + format(factor) + " is out of range: the speed must be"
          + " from " + format(MIN_SPEED) + " to " + format(MAX_SPEED));
    }
    return factor;
  }

  /**
   * Warns when a --tempo value looks like a speed factor: --tempo 1.25 means 1.25 percent faster,
   * which is seldom what was meant; --speed 1.25 is 25 percent faster.
   */
  void warnAboutOptions(PrintWriter err) {
    if (tempo != null && speed == null && tempo > 0 && tempo <= FACTOR_LIKE_TEMPO) {
      err.println("hopwarbler: warning: --tempo " + format(tempo) + " is a tempo change of +"
          + format(tempo) + " percent (speed "
          + java.math.BigDecimal.valueOf(speedFactor()).stripTrailingZeros().toPlainString()
          + "); for " + format(tempo) + " times the speed, use --speed " + format(tempo));
      err.flush();
    }
  }

  /** The key change asked for, in semitones, after checking --pitch. */
  double pitchSemitones() {
    if (pitch == null)
      return 0;
    if (!(pitch >= Processor.MIN_PITCH && pitch <= Processor.MAX_PITCH)) {
      throw CliException.usage("--pitch must be from " + format(Processor.MIN_PITCH) + " to "
          + format(Processor.MAX_PITCH) + " semitones, got " + format(pitch));
    }
    return pitch;
  }

  /**
   * The oversampling for a speed: 4, doubled until the output hop {@code frameSize / (os *
   * speed)} is at most a third of the frame. Output frames that overlap less than that leave a
   * ripple on the level of steady tones (a quarter of a dB at half speed with 4).
   */
  static int autoOverSampling(int frameSize, double speed) {
    int os = 4;
    while (os < frameSize && os * speed < 3) os *= 2;
    return Math.min(os, frameSize);
  }

  /** The preset of --quality. */
  Processor.Quality preset() {
    try {
      return Processor.Quality.valueOf(quality.trim().toUpperCase(Locale.ROOT));
    } catch (IllegalArgumentException e) {
      throw CliException.usage("--quality must be fast, balanced or best, got '" + quality + "'");
    }
  }

  /** Checks everything that does not depend on the input file. */
  void validate() {
    resolveFormat(44100);
  }

  // The frame size and hops for a stream at `sampleRate`: the options given, the rest from the
  // preset; null when neither option is given and the preset plans the format itself.
  private int[] resolveFormat(int sampleRate) {
    // The vocoder stretches by the pitch factor more than the speed asks; the format serves that.
    double factor = Planning.stretch(speedFactor(), pitchSemitones());
    Processor.Quality preset = preset();
    if (frameSize == null && overSampling == null) {
      checkVoiceAndLevels();
      return null;
    }
    int frame = frameSize != null ? frameSize : preset.frameSize(sampleRate, factor);
    if (frame < 64 || frame > 4096 || Integer.bitCount(frame) != 1) {
      throw CliException.usage("--frame-size must be a power of two from 64 to 4096, got " + frame);
    }
    int os;
    if (overSampling == null) {
      os = Planning.overSampling(preset, frame, factor);
    } else if (overSampling.equalsIgnoreCase("auto")) {
      os = autoOverSampling(frame, factor);
    } else {
      try {
        os = Integer.parseInt(overSampling.trim());
      } catch (NumberFormatException e) {
        throw CliException.usage(
            "--oversampling must be a whole number or auto, got '" + overSampling + "'");
      }
      if (os < 1 || os > frame) {
        throw CliException.usage(
            "--oversampling must be from 1 to the frame size " + frame + ", got " + os);
      }
    }
    int hop = frame / os;
    if (!Planning.reaches(frame, os, factor)) {
      throw CliException.usage(factor > hop
              ? stretchName(factor) + " is above the hop of " + hop
                  + " frames; use a smaller --oversampling or a larger --frame-size"
              : stretchName(factor) + " needs --oversampling of at least "
                  + Planning.minOverSampling(factor) + ": the output hop cannot exceed the frame");
    }
    checkVoiceAndLevels();
    return new int[] {frame, os};
  }

  /**
   * The shortest frame that keeps the level at {@code sampleRate}: frames shorter than 2.5 ms
   * come out up to 2 dB too loud (a 64-sample frame at 192 kHz). The presets never pick one.
   */
  static int shortestFrame(int sampleRate) {
    int frame = 64;
    while (frame < 4096 && frame * 400L < sampleRate) frame *= 2;
    return frame;
  }

  private void checkVoiceAndLevels() {
    if (voiceAmountOption != null && !voiceRemoval) {
      throw CliException.usage("--voice-amount needs --voice-removal");
    }
    voiceAmount = voiceRemoval ? (voiceAmountOption != null ? voiceAmountOption : 1.0) : null;
    if (voiceAmount != null && !(voiceAmount >= 0 && voiceAmount <= 1)) {
      throw CliException.usage("--voice-amount must be from 0 to 1, got " + format(voiceAmount));
    }
    if (voiceBand != null && voiceAmount == null) {
      throw CliException.usage("--voice-band needs --voice-removal");
    }
    voiceBandHz(Double.MAX_VALUE);
    if (balance != null && (balance < 0 || balance > 100)) {
      throw CliException.usage("--balance must be from 0 to 100, got " + balance);
    }
    if (gainDb != null && !(gainDb >= Processor.MIN_GAIN_DB && gainDb <= Processor.MAX_GAIN_DB)) {
      throw CliException.usage("--gain must be from " + format(Processor.MIN_GAIN_DB) + " to "
          + format(Processor.MAX_GAIN_DB) + " dB, got " + format(gainDb));
    }
    equaliserPoints(Double.MAX_VALUE);
  }

  // The vocoder's stretch in words: the speed, or with a key change the speed over its factor.
  private String stretchName(double factor) {
    if (pitchSemitones() == 0)
      return "--speed " + format(factor);
    return "speed " + format(speedFactor()) + " with --pitch " + format(pitchSemitones())
        + " (a stretch to speed " + format(factor) + ")";
  }

  /**
   * Opens a processor for the input's format with all the options applied.
   *
   * @param input the input's name, for messages
   */
  Processor open(int sampleRate, int channels, Path input) {
    return open(sampleRate, channels, input, false);
  }

  /**
   * Like {@link #open(int, int, Path)}; with {@code voiceWhereStereo}, voice removal applies to a
   * stereo input and a mono one plays without it instead of being refused (one song of a list).
   */
  Processor open(int sampleRate, int channels, Path input, boolean voiceWhereStereo) {
    int[] format = resolveFormat(sampleRate);
    if (format != null && format[0] < shortestFrame(sampleRate)) {
      throw CliException.usage("--frame-size " + format[0] + " is too short for the "
          + sampleRate + " Hz of '" + input + "': a frame shorter than 2.5 ms does not keep the"
          + " level; use " + shortestFrame(sampleRate) + " or more");
    }
    double nyquist = sampleRate / 2.0;
    Double voiceAmount = voiceWhereStereo && channels != 2 ? null : this.voiceAmount;
    // The band matters only to voice removal: without it, a low sample rate is no reason to fail.
    double[] band = voiceAmount != null ? voiceBandHz(nyquist) : null;
    TreeMap<Double, Double> points = equaliserPoints(nyquist);
    if (voiceAmount != null && channels != 2) {
      throw CliException.usage("--voice-removal needs a stereo input, and '" + input + "' is mono");
    }
    Set<Processor.Feature> off = featuresOff();
    Processor processor = format == null
        ? Processor.open(sampleRate, channels, preset())
        : Processor.open(sampleRate, channels, format[0], format[1]);
    try {
      for (Processor.Feature f : off) processor.setFeature(f, false);
      processor.setSpeed(speedFactor());
      processor.setPitch(pitchSemitones());
      processor.setFormants(formantsChoice());
      if (voiceAmount != null)
        processor.setVoiceRemoval(voiceAmount, band[0], band[1]);
      if (balance != null)
        processor.setBalance(balance);
      processor.setMono(mono);
      if (gainDb != null)
        processor.setGainDb(gainDb);
      if (!points.isEmpty()) {
        double[] hz = new double[points.size()];
        double[] db = new double[points.size()];
        int i = 0;
        for (var entry : points.entrySet()) {
          hz[i] = entry.getKey();
          db[i++] = entry.getValue();
        }
        processor.setEqualizer(hz, db);
      }
      return processor;
    } catch (RuntimeException e) {
      processor.close();
      throw e;
    }
  }

  private double[] voiceBandHz(double nyquist) {
    double low = DEFAULT_VOICE_LOW_HZ;
    double high = DEFAULT_VOICE_HIGH_HZ;
    if (voiceBand != null) {
      String[] parts = voiceBand.split("-", -1);
      if (parts.length != 2) {
        throw CliException.usage(
            "--voice-band must look like LOW-HIGH in Hz, e.g. 200-3000, got '" + voiceBand + "'");
      }
      low = frequency(parts[0], "--voice-band");
      high = frequency(parts[1], "--voice-band");
    }
    if (!(low > 0 && low < high)) {
      throw CliException.usage(
          "--voice-band needs 0 < LOW < HIGH, got " + format(low) + "-" + format(high));
    }
    if (high >= nyquist) {
      throw CliException.usage("--voice-band " + format(low) + "-" + format(high)
          + " reaches the Nyquist frequency " + format(nyquist) + " Hz of the input"
          + fittingBand(low, nyquist));
    }
    return new double[] {low, high};
  }

  // A band below the Nyquist frequency to suggest: the same low edge (or a lower one) up to 90 %
  // of the Nyquist frequency, in whole Hz.
  private static String fittingBand(double low, double nyquist) {
    double high = Math.floor(0.9 * nyquist);
    double from = low < high / 2 ? low : Math.floor(high / 10);
    if (!(from > 0 && from < high))
      return "";
    return "; a band that fits is --voice-band " + format(from) + "-" + format(high);
  }

  private TreeMap<Double, Double> equaliserPoints(double nyquist) {
    TreeMap<Double, Double> points = new TreeMap<>();
    List<String> all = new ArrayList<>();
    for (String list : eq) {
      // Split here rather than by picocli, which drops empty items: "--eq=100:3," is a mistake.
      for (String point : list.split(",", -1)) {
        if (point.isBlank()) {
          throw CliException.usage("--eq has an empty point in '" + list
              + "': give HZ:DB points separated by commas, e.g. 100:3,1k:-2");
        }
        all.add(point);
      }
    }
    for (String point : all) {
      String[] parts = point.split(":", -1);
      if (parts.length != 2) {
        throw CliException.usage(
            "--eq points must look like HZ:DB, e.g. 1k:-3, got '" + point + "'");
      }
      double hz = frequency(parts[0], "--eq");
      double db;
      try {
        db = Double.parseDouble(parts[1].trim());
      } catch (NumberFormatException e) {
        throw CliException.usage("--eq gain must be a number of dB, got '" + parts[1] + "'");
      }
      if (!(hz > 0 && hz <= nyquist)) {
        throw CliException.usage("--eq frequency " + format(hz) + " Hz must be above 0 and at most"
            + " the Nyquist frequency " + format(nyquist) + " Hz of the input");
      }
      if (!(Math.abs(db) <= 60)) {
        throw CliException.usage("--eq gain must be from -60 to 60 dB, got " + parts[1].trim());
      }
      if (points.put(hz, db) != null) {
        throw CliException.usage("--eq names " + format(hz) + " Hz twice");
      }
    }
    return points;
  }

  // A frequency in Hz, with an optional k for kHz: "250", "1.5k".
  private static double frequency(String text, String option) {
    String t = text.trim().toLowerCase(Locale.ROOT);
    double scale = 1;
    if (t.endsWith("k")) {
      scale = 1000;
      t = t.substring(0, t.length() - 1);
    }
    try {
      double value = Double.parseDouble(t) * scale;
      if (Double.isFinite(value))
        return value;
    } catch (NumberFormatException e) {
      // Reported below.
    }
    throw CliException.usage(
        option + " frequency must be a number of Hz (or kHz with k), got '" + text + "'");
  }

  /** The settings in words, for summaries. */
  String describe(Processor p) {
    List<String> parts = new ArrayList<>();
    if (p.pitch() != 0)
      parts.add("pitch " + (p.pitch() > 0 ? "+" : "") + format(p.pitch()) + " semitones"
          + (p.formants() == Processor.Formants.KEEP ? " (formants kept)" : ""));
    if (p.voiceRemovalBand() != null) {
      parts.add(String.format(Locale.ROOT, "voice removal %s at %.0f-%.0f Hz",
          format(p.voiceRemovalAmount()), p.voiceRemovalBand().lowHz(),
          p.voiceRemovalBand().highHz()));
    }
    if (p.mono())
      parts.add("mono");
    if (p.balance() != 50)
      parts.add("balance " + p.balance());
    if (p.gainDb() != 0)
      parts.add("gain " + format(p.gainDb()) + " dB");
    if (!eq.isEmpty())
      parts.add("eq " + String.join(",", eq));
    return String.join(", ", parts);
  }

  static String format(double value) {
    if (value == Math.rint(value) && Math.abs(value) < 1e9)
      return Long.toString((long) value);
    return String.format(Locale.ROOT, "%.4g", value).replaceAll("(\\.\\d*?)0+$", "$1");
  }
}
