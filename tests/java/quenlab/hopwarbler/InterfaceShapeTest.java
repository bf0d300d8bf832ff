package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.lang.reflect.Parameter;
import java.util.Arrays;
import java.util.Map;
import java.util.TreeMap;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

/**
 * The JVM binds each native method to the library's symbol by class, name and parameter types, so
 * the declarations are the library's interface: the twelve public instance methods of the host's interface and the four switches of the
 * refinements beyond it, these types,
 * these parameter names.
 */
class InterfaceShapeTest {
  private static final Map<String, String> EXPECTED = Map.ofEntries(
      Map.entry("dspInit", "void (int frameSize, int overSampling, int sampleRate, int channels)"),
      Map.entry("dspProcess",
          "void (short[] samples, int samplesIn, int samplesOut, float pitchShiftAmount)"),
      Map.entry("dspVoiceRemovalEnable", "void (int enabled)"),
      Map.entry("dspVoiceRemovalAmount", "void (float amount)"),
      Map.entry(
          "dspVoiceRemovalFilter", "void (double[] coeffA, double[] coeffB, int sizeA, int sizeB)"),
      Map.entry("dspSetPreamp", "void (float jpreamp)"),
      Map.entry("dspPanning", "void (int jPanningActive, int jMonoActive, int jPanningLevel)"),
      Map.entry("dspSpectrumEnable", "void (int enabled)"),
      Map.entry("dspGetSpectrum", "void (float[] jSpectrum, int jSize)"),
      Map.entry("dspGetMaxLevel", "float ()"), Map.entry("dspEQEnable", "void (int enabled)"),
      Map.entry("dspEQSetBands", "void (float[] levels)"),
      Map.entry("dspLinkedStereoEnable", "void (int enabled)"),
      Map.entry("dspAttacksEnable", "void (int enabled)"),
      Map.entry("dspFinePeaksEnable", "void (int enabled)"),
      Map.entry("dspLevelKeepingEnable", "void (int enabled)"));

  @Test
  void declaresTheSixteenNativeMethods() {
    Map<String, String> declared = new TreeMap<>();
    for (Method m : NativeInterface.class.getDeclaredMethods()) {
      if (!Modifier.isNative(m.getModifiers())) {
        continue;
      }
      assertTrue(Modifier.isPublic(m.getModifiers()), m + " is not public");
      assertTrue(!Modifier.isStatic(m.getModifiers()), m + " is static");
      String params = Arrays.stream(m.getParameters())
                          .map(InterfaceShapeTest::describe)
                          .collect(Collectors.joining(", "));
      declared.put(m.getName(), m.getReturnType().getSimpleName() + " (" + params + ")");
    }
    assertEquals(new TreeMap<>(EXPECTED), declared);
  }

  private static String describe(Parameter p) {
    assertTrue(p.isNamePresent(), "compile the jar with -parameters");
    return p.getType().getSimpleName() + " " + p.getName();
  }
}
