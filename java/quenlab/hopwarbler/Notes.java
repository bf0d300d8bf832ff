package quenlab.hopwarbler;

/**
 * The 72 bands of the note spectrum: the semitones from C1 (32.70 Hz, band 0) to B6 (1975.5 Hz,
 * band 71) in equal temperament with A4 = 440 Hz at band 45.
 */
public final class Notes {
  /** Number of bands of the note spectrum. */
  public static final int BANDS = 72;

  /** Band of A4, the tuning reference at 440 Hz. */
  public static final int A4_BAND = 45;

  private static final String[] PITCH_CLASSES = {
      "C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

  private Notes() {}

  /**
   * Name of a band: the pitch class with sharps and the octave, "C1", "C#1", ... "B6".
   *
   * @param band 0..71
   * @return the note's name
   * @throws IllegalArgumentException if {@code band} is outside 0..71
   */
  public static String name(int band) {
    checkBand(band);
    return PITCH_CLASSES[band % 12] + (1 + band / 12);
  }

  /**
   * Nominal frequency of a band in Hz: 440 &middot; 2<sup>(band &minus; 45) / 12</sup>.
   *
   * @param band 0..71
   * @return the frequency in Hz
   * @throws IllegalArgumentException if {@code band} is outside 0..71
   */
  public static double frequency(int band) {
    checkBand(band);
    return 440.0 * Math.pow(2.0, (band - A4_BAND) / 12.0);
  }

  /**
   * Band whose nominal frequency is nearest to {@code hz} on the semitone scale, clamped to 0..71.
   *
   * @param hz a frequency above 0
   * @return the band, 0..71
   * @throws IllegalArgumentException if {@code hz} is not a finite number above 0
   */
  public static int nearestBand(double hz) {
    if (!(hz > 0) || Double.isInfinite(hz)) {
      throw new IllegalArgumentException("hz must be a finite frequency above 0, got " + hz);
    }
    long band = Math.round(A4_BAND + 12.0 * Math.log(hz / 440.0) / Math.log(2.0));
    return (int) Math.max(0, Math.min(BANDS - 1, band));
  }

  /**
   * Distance of {@code hz} from {@code referenceHz} in cents (hundredths of a semitone), positive
   * when {@code hz} is higher.
   *
   * @param hz the frequency to place, in Hz
   * @param referenceHz the frequency it is compared with, in Hz
   * @return the distance in cents
   */
  public static double cents(double hz, double referenceHz) {
    return 1200.0 * Math.log(hz / referenceHz) / Math.log(2.0);
  }

  /**
   * The bands of a spectrum whose sound has moved by {@code semitones}: band b takes the value of
   * band {@code b - semitones}, so a whole number of semitones moves every band exactly and a
   * fraction interpolates linearly between the two neighbours; bands that would come from outside
   * 0..71 read 0. Returns {@code bands} itself when {@code semitones} is 0.
   *
   * @param bands one value per band
   * @param semitones a finite shift, positive upwards
   * @return the moved bands
   * @throws IllegalArgumentException if {@code semitones} is not finite
   */
  public static float[] shift(float[] bands, double semitones) {
    if (!Double.isFinite(semitones)) {
      throw new IllegalArgumentException("semitones must be finite, got " + semitones);
    }
    if (semitones == 0)
      return bands;
    double whole = Math.floor(semitones);
    double fraction = semitones - whole;
    float[] shifted = new float[bands.length];
    for (int b = 0; b < bands.length; b++) {
      double from = b - whole;
      shifted[b] =
          (float) ((1 - fraction) * valueAt(bands, from) + fraction * valueAt(bands, from - 1));
    }
    return shifted;
  }

  private static double valueAt(float[] bands, double band) {
    return band >= 0 && band < bands.length ? bands[(int) band] : 0;
  }

  private static void checkBand(int band) {
    if (band < 0 || band >= BANDS) {
      throw new IllegalArgumentException("band must be from 0 to " + (BANDS - 1) + ", got " + band);
    }
  }
}
