package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * {@link LiveControls}: each setting moves from where it is to its target along a raised cosine
 * of the set length, and the native switches change only at the ends of a ramp. The native calls
 * are recorded instead of made.
 */
class LiveControlsTest {
  private static final int RAMP = 400; // frames
  private static final int HOP = 64;
  private static final int HOPS = (2 * RAMP + HOP - 1) / HOP; // the stepped ramps, in hops

  /** The native calls LiveControls makes, in order. */
  private static final class Recorder extends NativeInterface {
    final List<String> calls = new ArrayList<>();
    final List<Float> amounts = new ArrayList<>();
    final List<float[]> tables = new ArrayList<>();

    @Override
    public void dspPanning(int active, int mono, int level) {
      calls.add("panning " + active + " " + mono + " " + level);
    }

    @Override
    public void dspVoiceRemovalEnable(int enabled) {
      calls.add("voice " + enabled);
    }

    @Override
    public void dspVoiceRemovalAmount(float amount) {
      amounts.add(amount);
    }

    @Override
    public void dspVoiceRemovalFilter(double[] a, double[] b, int sizeA, int sizeB) {
      calls.add("filter");
    }

    @Override
    public void dspEQEnable(int enabled) {
      calls.add("eq " + enabled);
    }

    @Override
    public void dspEQSetBands(float[] levels) {
      tables.add(levels.clone());
    }

    @Override
    public void dspLinkedStereoEnable(int enabled) {
      calls.add("linked " + enabled);
    }

    @Override
    public void dspAttacksEnable(int enabled) {
      calls.add("attacks " + enabled);
    }

    @Override
    public void dspFinePeaksEnable(int enabled) {
      calls.add("fine peaks " + enabled);
    }

    @Override
    public void dspLevelKeepingEnable(int enabled) {
      calls.add("level " + enabled);
    }
  }

  private final Recorder dsp = new Recorder();
  private final Settings settings =
      new Settings(44100, new FormatPlan(new Format(256, 4), null, 44100));
  private final List<Double> gains = new ArrayList<>();
  private final LiveControls controls =
      new LiveControls(dsp, gains::add, settings, 2, 128, RAMP);
  private final short[] work = new short[2 * HOP];

  LiveControlsTest() {
    controls.setHop(HOP);
    controls.beforeHop(work, HOP, true);
    dsp.calls.clear();
    dsp.amounts.clear();
    dsp.tables.clear();
    gains.clear();
  }

  // One hop: leaves the remixed input in `work`.
  private void hop(short left, short right) {
    for (int i = 0; i < HOP; i++) {
      work[2 * i] = left;
      work[2 * i + 1] = right;
    }
    controls.beforeHop(work, HOP, false);
  }

  private static double cosineAt(int done, int length) {
    return 0.5 - 0.5 * Math.cos(Math.PI * done / length);
  }

  @Test
  void aNewGainGoesToTheOutputStageOnce() {
    settings.setGainDb(20 * Math.log10(0.5));
    for (int n = 0; n < 10; n++) hop((short) 0, (short) 0);
    assertEquals(1, gains.size(), "handed over once: " + gains);
    assertEquals(0.5, gains.get(0), 1e-12);
  }

  @Test
  void balanceRampsInJavaAndEndsInTheNativeRemix() {
    settings.setBalance(0); // the right channel on both sides
    int frames = 0;
    for (int n = 0; n < 10; n++) {
      hop((short) 10000, (short) -10000);
      for (int i = 0; i < HOP && frames < RAMP; i++, frames++) {
        double t = cosineAt(frames + 1, RAMP);
        assertEquals(10000 - 20000 * t, work[2 * i], 0.5, "left at frame " + frames);
        assertEquals(-10000, work[2 * i + 1], "right at frame " + frames);
      }
    }
    assertEquals(List.of("panning 0 0 50", "panning 1 0 0"), dsp.calls);
  }

  @Test
  void voiceRemovalComesInAndGoesOutInSteps() {
    settings.setVoiceRemoval(0.8, 200, 3000, 2);
    for (int n = 0; n <= HOPS + 1; n++) hop((short) 0, (short) 0);
    List<Float> on = new ArrayList<>(dsp.amounts);
    assertEquals(List.of("filter", "voice 1"), dsp.calls);
    assertTrue(on.get(0) > 0 && on.get(0) < 1e-30, "the first hop primes the filters");
    for (int i = 1; i < on.size(); i++) {
      assertEquals(0.8 * cosineAt(i, HOPS), on.get(i), 1e-6, "step " + i);
    }
    assertEquals(0.8f, on.get(on.size() - 1));
    dsp.calls.clear();
    dsp.amounts.clear();
    settings.disableVoiceRemoval();
    for (int n = 0; n <= HOPS + 1; n++) hop((short) 0, (short) 0);
    assertEquals(List.of("voice 0"), dsp.calls);
    List<Float> off = dsp.amounts;
    for (int i = 1; i < off.size() - 1; i++) assertTrue(off.get(i) <= off.get(i - 1));
    assertEquals(0f, off.get(off.size() - 1));
  }

  @Test
  void equaliserRampsFromFlatAndBack() {
    settings.setEqualizer(new EqualizerCurve(new double[] {100}, new double[] {-12}, 22050));
    float[] table = settings.sound().equaliserTable();
    for (int n = 0; n < HOPS + 2; n++) hop((short) 0, (short) 0);
    assertEquals("eq 1", dsp.calls.get(0));
    // The flat table first, then HOPS steps to the target.
    assertEquals(HOPS + 1, dsp.tables.size());
    for (int i = 0; i < dsp.tables.size(); i++) {
      double t = i == 0 ? 0 : cosineAt(i, HOPS);
      assertEquals(1 + (table[7] - 1) * t, dsp.tables.get(i)[7], 1e-6, "step " + i);
    }
    assertArrayEquals(Arrays.copyOf(table, 128), dsp.tables.get(HOPS));
    dsp.calls.clear();
    dsp.tables.clear();
    settings.setEqualizer(null);
    for (int n = 0; n < HOPS + 2; n++) hop((short) 0, (short) 0);
    assertEquals(List.of("eq 0"), dsp.calls);
    float[] flat = new float[128];
    Arrays.fill(flat, 1f);
    assertArrayEquals(flat, dsp.tables.get(dsp.tables.size() - 1));
  }
}
