package quenlab.hopwarbler.support;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

/**
 * Interleaved samples as the library and the peers take them: channels out of them, arrays joined,
 * 16-bit against float at full scale 1.0 (= 32767), and raw float files.
 */
public final class Pcm {
  private Pcm() {}

  /** Channel {@code channel} of {@code channels} interleaved 16-bit samples, at full scale 1.0. */
  public static double[] channel(short[] interleaved, int channels, int channel) {
    double[] out = new double[interleaved.length / channels];
    for (int i = 0; i < out.length; i++) out[i] = interleaved[i * channels + channel] / 32767.0;
    return out;
  }

  /** Channel {@code channel} of {@code channels} interleaved 16-bit samples, in 16-bit units. */
  public static double[] rawChannel(short[] interleaved, int channels, int channel) {
    double[] out = new double[interleaved.length / channels];
    for (int i = 0; i < out.length; i++) out[i] = interleaved[i * channels + channel];
    return out;
  }

  /** Channel {@code channel} of {@code channels} interleaved float samples. */
  public static double[] channel(float[] interleaved, int channels, int channel) {
    double[] out = new double[interleaved.length / channels];
    for (int i = 0; i < out.length; i++) out[i] = interleaved[i * channels + channel];
    return out;
  }

  /** The arrays one after the other. */
  public static short[] concat(short[]... parts) {
    return concat(List.of(parts));
  }

  /** The arrays one after the other. */
  public static short[] concat(List<short[]> parts) {
    int length = 0;
    for (short[] p : parts) length += p.length;
    short[] all = new short[length];
    int at = 0;
    for (short[] p : parts) {
      System.arraycopy(p, 0, all, at, p.length);
      at += p.length;
    }
    return all;
  }

  /** A full-scale value as a 16-bit sample: rounded, and clamped to +-32767. */
  public static short toSample(double x) {
    return (short) Math.max(-32767, Math.min(32767, Math.round(x * 32767)));
  }

  /** Float samples at full scale 1.0 as 16-bit ones, each by {@link #toSample}. */
  public static short[] toSamples(float[] samples) {
    short[] out = new short[samples.length];
    for (int i = 0; i < samples.length; i++) out[i] = toSample(samples[i]);
    return out;
  }

  /** The samples at full scale 1.0, as the peers take them. */
  public static float[] toFloat(short[] samples) {
    float[] out = new float[samples.length];
    for (int i = 0; i < samples.length; i++) out[i] = samples[i] / 32767f;
    return out;
  }

  /** Writes the samples as raw little-endian 32-bit floats. */
  public static void writeFloats(Path file, float[] samples) throws IOException {
    ByteBuffer bytes = ByteBuffer.allocate(samples.length * 4).order(ByteOrder.LITTLE_ENDIAN);
    bytes.asFloatBuffer().put(samples);
    Files.write(file, bytes.array());
  }

  /** Reads a file of raw little-endian 32-bit floats. */
  public static float[] readFloats(Path file) throws IOException {
    ByteBuffer bytes = ByteBuffer.wrap(Files.readAllBytes(file)).order(ByteOrder.LITTLE_ENDIAN);
    float[] out = new float[bytes.remaining() / 4];
    bytes.asFloatBuffer().get(out);
    return out;
  }
}
