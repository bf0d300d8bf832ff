package quenlab.hopwarbler;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Java side of the hopwarbler native library: a phase-vocoder time stretcher with voice removal,
 * channel balance, a per-bin equaliser, a peak meter and a 72-band note spectrum.
 *
 * <p>The host decodes audio itself and hands the library blocks of signed 16-bit PCM, mono or
 * interleaved stereo (left, right), through {@link #dspProcess}. Each block says how many frames
 * it gives and how many it wants back; their ratio is the time-scale factor, and the processed
 * frames are written back into the same array. Inside the library a sample is a float with full
 * scale at &plusmn;1.0 (a 16-bit sample s enters as s / 32768 and leaves clamped to
 * &plusmn;32767).
 *
 * <p><b>The native state of this class is process-wide.</b> Every instance of this class drives the
 * same default engine, and a {@link #dspInit} through one instance sets up the stream for all of
 * them. A host that needs several streams at once makes a {@link NativeEngine} for each: the same
 * methods on an engine of its own. {@code dspProcess} runs on the host's audio thread; the setters
 * may be called from a control thread while it runs and take effect no later than the next block.
 * {@code dspInit} and {@code dspProcess} take turns: either of them called while the other, or
 * itself, is under way on another thread is refused with {@link IllegalStateException} and does
 * nothing, so that a set-up never rewrites what a block reads.
 *
 * <p>The native library is loaded once, when this class is initialised:
 *
 * <ol>
 *   <li>if the system property {@value #LIBRARY_PROPERTY} is set, the file it names is loaded
 *       with {@link System#load} (nothing else is tried);
 *   <li>otherwise {@code System.loadLibrary("hopwarbler")} searches {@code java.library.path};
 *   <li>if that fails, the copy of {@code libhopwarbler.so} that the jar carries for this
 *       operating system and processor (resource {@link #LIBRARY_RESOURCE}, for example {@code
 *       /quenlab/hopwarbler/native/linux-x86_64/libhopwarbler.so}) is extracted to a temporary
 *       file, deleted when the JVM exits, and loaded from there.
 * </ol>
 *
 * If none of these works, class initialisation fails with an {@link UnsatisfiedLinkError} that
 * lists what was tried.
 *
 * <p>This build of the library implements {@link #dspInit} and {@link #dspProcess}. The other
 * methods are declared so that hosts can be written against the whole interface; until the library
 * provides them, calling one throws the JVM's own {@link UnsatisfiedLinkError}.
 */
public class NativeInterface {
  /** System property naming the path of the native library to load instead of searching. */
  public static final String LIBRARY_PROPERTY = "hopwarbler.library";

  /**
   * Class-path resource under which the jar carries the native library for the platform this JVM
   * runs on: {@code /quenlab/hopwarbler/native/OS-ARCH/LIBRARY}, with OS and ARCH from the system
   * properties {@code os.name} and {@code os.arch} ({@code linux-x86_64}, {@code linux-aarch64};
   * {@code amd64} is named {@code x86_64} and {@code arm64} {@code aarch64}) and LIBRARY the file
   * name {@link System#mapLibraryName} gives ({@code libhopwarbler.so} on Linux). One jar may
   * carry the library for several platforms side by side.
   */
  public static final String LIBRARY_RESOURCE =
      libraryResource(System.getProperty("os.name", ""), System.getProperty("os.arch", ""));

  static {
    loadLibrary();
  }

  /**
   * A handle on the process-wide engine. Creating one loads the native library if no instance did
   * before, and changes nothing in the engine.
   */
  public NativeInterface() {}

  /** The resource path of the native library for an {@code os.name} and {@code os.arch}. */
  static String libraryResource(String osName, String osArch) {
    String name = osName.toLowerCase(Locale.ROOT);
    String os;
    if (name.startsWith("linux")) {
      os = "linux";
    } else if (name.startsWith("mac")) {
      os = "macos";
    } else if (name.startsWith("windows")) {
      os = "windows";
    } else {
      os = name.replaceAll("[^a-z0-9]", "");
    }
    String arch = osArch.toLowerCase(Locale.ROOT);
    if (arch.equals("amd64") || arch.equals("x86-64")) {
      arch = "x86_64";
    } else if (arch.equals("arm64")) {
      arch = "aarch64";
    }
    return "/quenlab/hopwarbler/native/" + os + "-" + arch + "/"
        + System.mapLibraryName("hopwarbler");
  }

  private static void loadLibrary() {
    String explicit = System.getProperty(LIBRARY_PROPERTY);
    if (explicit != null && !explicit.isEmpty()) {
      try {
        System.load(Path.of(explicit).toAbsolutePath().toString());
        return;
      } catch (UnsatisfiedLinkError e) {
        throw new UnsatisfiedLinkError("cannot load the hopwarbler library named by -D"
            + LIBRARY_PROPERTY + "=" + explicit + ": " + e.getMessage());
      }
    }

    List<String> tried = new ArrayList<>();
    try {
      System.loadLibrary("hopwarbler");
      return;
    } catch (UnsatisfiedLinkError e) {
      tried.add("System.loadLibrary(\"hopwarbler\") (" + e.getMessage() + ")");
    }

    try (InputStream in = NativeInterface.class.getResourceAsStream(LIBRARY_RESOURCE)) {
      if (in == null) {
        tried.add("the jar resource " + LIBRARY_RESOURCE + " (not on the class path)");
      } else {
        Path copy = Files.createTempFile("libhopwarbler", ".so");
        copy.toFile().deleteOnExit();
        Files.copy(in, copy, StandardCopyOption.REPLACE_EXISTING);
        try {
          System.load(copy.toAbsolutePath().toString());
          return;
        } catch (UnsatisfiedLinkError e) {
          tried.add("the jar resource " + LIBRARY_RESOURCE + " extracted to " + copy + " ("
              + e.getMessage() + ")");
        }
      }
    } catch (IOException e) {
      tried.add("the jar resource " + LIBRARY_RESOURCE + " (extraction failed: " + e + ")");
    }

    throw new UnsatisfiedLinkError("cannot load the hopwarbler native library; tried "
        + String.join("; then ", tried) + ". Set -D" + LIBRARY_PROPERTY
        + "=/path/to/libhopwarbler.so to name it directly.");
  }

  /**
   * Sets the library up for one stream format and starts a new stream: the vocoder restarts with
   * silence in its history, so the first output is delayed by {@code frameSize - frameSize /
   * overSampling} frames (at a time-scale ratio of 1). May be called again between blocks to change
   * the format. If an argument is out of range, nothing changes: a stream set up before keeps
   * running as it was.
   *
   * @param frameSize FFT frame (window) size in samples: a power of two from 4 to 4096
   * @param overSampling analysis hops per frame, from 1 to {@code frameSize}; the analysis hop is
   *     {@code frameSize / overSampling} samples
   * @param sampleRate stream rate in Hz, at least 4
   * @param channels 1 for mono; any other value means interleaved stereo
   * @throws IllegalArgumentException if an argument is out of range; the message names it and its
   *     allowed range
   * @throws IllegalStateException if a {@link #dspProcess} or another {@code dspInit} is under way
   *     on another thread; nothing changes
   */
  public native void dspInit(int frameSize, int overSampling, int sampleRate, int channels);

  /**
   * Processes one block in place. {@code samples} holds {@code samplesIn} frames on entry and
   * receives {@code samplesOut} frames on return (interleaved left, right in stereo); entries past
   * {@code samplesOut} frames are left as they were. The block is remixed, time-scaled by {@code
   * samplesOut / samplesIn} without changing pitch, normalised, amplified by the pre-amplifier,
   * soft-limited above 0.95 of full scale and clamped to &plusmn;32767 (&minus;32768 is never
   * written).
   *
   * <p>The vocoder hands out {@code stepOut} frames for every hop of {@code frameSize /
   * overSampling} input frames, where {@code stepOut = (int) (hop * samplesOut / samplesIn)}
   * clamped to 1..{@code frameSize}; the stream starts with {@code frameSize - hop} frames of
   * silence in its history. When every block's {@code samplesIn} is a multiple of the hop and its
   * {@code samplesOut} is {@code samplesIn / hop * stepOut}, every frame returned is fresh;
   * otherwise the frames past what the vocoder handed out in this block repeat what the library's
   * output buffers held before (zeros at first).
   *
   * <p>A block with {@code samplesIn <= 0} or {@code samplesOut < 0} writes nothing and sets the
   * peak level to 0.
   *
   * @param samples 16-bit PCM, at least {@code max(samplesIn, samplesOut)} frames long (twice as
   *     many entries in stereo)
   * @param samplesIn frames given
   * @param samplesOut frames wanted back
   * @param pitchShiftAmount accepted and ignored
   * @throws NullPointerException if {@code samples} is null
   * @throws IllegalArgumentException if {@code samples} is too short for the block; the message
   *     names the sizes, and neither the array nor the stream is touched
   * @throws IllegalStateException if no {@link #dspInit} has succeeded yet, or if a {@code dspInit}
   *     or another {@code dspProcess} is under way on another thread; then neither the array nor
   *     the stream is touched
   */
  public native void dspProcess(
      short[] samples, int samplesIn, int samplesOut, float pitchShiftAmount);

  /**
   * Switches voice removal on (any non-zero value) or off (0). It applies to stereo streams only,
   * and only while the amount set by {@link #dspVoiceRemovalAmount} is above 0. Off by default.
   *
   * @param enabled non-zero to enable
   */
  public native void dspVoiceRemovalEnable(int enabled);

  /**
   * Sets how much of the band-filtered opposite channel is subtracted from each channel when voice
   * removal is on: 0 removes nothing, 1 subtracts it at full weight. Default 0. Between two blocks
   * that both remove the voice, a new amount glides in over the second block, linearly from the
   * amount the first one ended with to the new one at its last frame, so that stepping the amount
   * from block to block makes no click; the first block after voice removal comes on uses its
   * amount throughout.
   *
   * @param amount linear weight
   */
  public native void dspVoiceRemovalAmount(float amount);

  /**
   * Loads the voice-removal band filter, the same for both channels: a direct-form IIR filter
   * y[n] = &Sigma; b[k]&middot;x[n&minus;k] &minus; &Sigma;<sub>k&ge;1</sub>
   * a[k]&middot;y[n&minus;k] working on the 16-bit integer range. {@code coeffA[0]} is not read
   * (taken as 1). Both filter histories restart from zero. Safe to call while {@code dspProcess}
   * runs: the filter is bypassed during the replacement. Calls from several threads at once take
   * turns, and the last one's filter stays: a call waits (outside the audio path) while another
   * thread's replacement, a copy of the coefficients taking microseconds, finishes. Waiting
   * rather than refusing spares control threads an exception for a setting that cannot fail.
   *
   * @param coeffA feedback coefficients, at least {@code sizeA} entries
   * @param coeffB feed-forward coefficients, at least {@code sizeB} entries
   * @param sizeA number of feedback coefficients, at least 1
   * @param sizeB number of feed-forward coefficients, at least 1
   */
  public native void dspVoiceRemovalFilter(double[] coeffA, double[] coeffB, int sizeA, int sizeB);

  /**
   * Sets the output gain applied after time-scaling, before the soft limit. Default 1.0.
   *
   * @param jpreamp linear gain
   */
  public native void dspSetPreamp(float jpreamp);

  /**
   * Sets the channel remix of stereo streams. With remixing off the channels pass unchanged. With
   * it on and mono set, both channels become their average; otherwise the balance level moves the
   * image: 50 leaves the channels as they are, 0 puts the right channel on both sides, 100 the left
   * channel on both sides, in linear steps between. Default: off, level 0.
   *
   * @param jPanningActive non-zero to remix
   * @param jMonoActive non-zero to fold both channels to their average
   * @param jPanningLevel balance position, 0..100, 50 = unchanged
   */
  public native void dspPanning(int jPanningActive, int jMonoActive, int jPanningLevel);

  /**
   * Switches the note spectrum analyser on (non-zero) or off (0). While it is off the band values
   * stay frozen. On by default.
   *
   * @param enabled non-zero to enable
   */
  public native void dspSpectrumEnable(int enabled);

  /**
   * Copies the 72 smoothed band levels of the note spectrum, one per semitone from C1 (32.70 Hz,
   * index 0) to B6 (1975.5 Hz, index 71) with A4 = 440 Hz at index 45, into {@code jSpectrum}. The
   * spectrum follows the time-scaled output before the output gain.
   *
   * @param jSpectrum receives min(jSize, 72) values; entries past them are left as they were
   * @param jSize number of values wanted, not negative
   */
  public native void dspGetSpectrum(float[] jSpectrum, int jSize);

  /**
   * Returns the peak absolute level of the last block, before the soft limit (1.0 = full scale); 0
   * before the first block and after a block that wrote nothing.
   *
   * @return the peak level, linear
   */
  public native float dspGetMaxLevel();

  /**
   * Switches the per-bin equaliser on (non-zero) or off (0). The gains are kept while it is off.
   * Off by default.
   *
   * @param enabled non-zero to enable
   */
  public native void dspEQEnable(int enabled);

  /**
   * Sets the equaliser gains, one linear gain per FFT bin (index = bin number). The table has
   * {@code frameSize / 2} entries as sized by the first {@link #dspInit} of the process, all 1.0
   * until set, and keeps that size afterwards.
   *
   * @param levels at least as many linear gains as the table has entries
   */
  public native void dspEQSetBands(float[] levels);

  /**
   * Links the two channels of a stereo stream (non-zero) or lets each run its own phases (0, the
   * default). Linked, both channels share their spectral peaks, found on the summed magnitudes, and
   * the phase turn of each peak's region, taken from the louder channel at the peak, so that every
   * bin keeps the phase difference between left and right that the input had: an exactly centred
   * sound stays exactly centred (left equals right), one in opposite phase stays so, and the image
   * does not widen. Takes effect from the next block; a mono stream ignores it.
   *
   * @param enabled non-zero to link the channels
   */
  public native void dspLinkedStereoEnable(int enabled);

  /**
   * Keeps attacks sharp (non-zero) or lets the vocoder lay them as it lays everything else (0, the
   * default). On, the driver finds attacks (a sudden rise of the input's high end, both channels
   * together) and lays the bins that rose with them so that every overlapping frame places the
   * attack on the same output sample, the one its input time maps to; in a slowed stream the frames
   * that would place it too late leave it out. Steady partials keep their phases. Takes effect from
   * the next block.
   *
   * @param enabled non-zero to keep attacks sharp
   */
  public native void dspAttacksEnable(int enabled);

  /**
   * Lets a spectral peak stand above only the next bin on each side (non-zero) instead of the next
   * two (0, the default), so that partials two bins apart, as low notes have at short frames, keep
   * their own phases instead of sharing one. Takes effect from the next block.
   *
   * @param enabled non-zero for the finer peak rule
   */
  public native void dspFinePeaksEnable(int enabled);

  /**
   * Keeps the output as loud as the input (non-zero) or leaves the level to the overlap
   * normalisation (0, the default). Noise, reverberation and decays come out of a stretch up to a
   * few dB weaker than steady tones; on, the driver measures the mid (L + R) / 2 and the side (L -
   * R) / 2 of the input and of the output over about half a second and brings each back to the
   * input's level, by -3 to +3.5 dB, moving a gain only when it is more than 0.05 dB off and then
   * at most 10 dB per second, so that a steady tone keeps exactly the level {@link #dspProcess}
   * gives it. It judges only while the input's level holds within 6 dB of its recent mean. Takes
   * effect from the next block.
   *
   * @param enabled non-zero to keep the level
   */
  public native void dspLevelKeepingEnable(int enabled);
}
