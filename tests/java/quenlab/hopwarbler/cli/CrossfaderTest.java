package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.support.Spectra.amplitudeAt;

import java.io.IOException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The play list's crossfades, on generated tracks of known length instead of processed files. */
class CrossfaderTest {
  private static final int RATE = 44100;
  private static final int BLOCK = 1378;
  private static final double AMPLITUDE = 10000;

  /** A mono sine of a given length; its length may be kept from the crossfader. */
  private static final class Tone implements Crossfader.Track {
    final double hz;
    final int frames;
    final boolean lengthKnown;
    int position;

    Tone(double hz, double seconds, boolean lengthKnown) {
      this.hz = hz;
      this.frames = (int) Math.round(seconds * RATE);
      this.lengthKnown = lengthKnown;
    }

    @Override
    public int read(short[] out, int n) {
      int k = Math.min(n, frames - position);
      for (int i = 0; i < k; i++, position++)
        out[i] = (short) Math.round(AMPLITUDE * Math.sin(2 * Math.PI * hz * position / RATE));
      return k;
    }

    @Override
    public long remainingFrames() {
      return lengthKnown ? frames - position : -1;
    }

    @Override
    public long lengthFrames() {
      return lengthKnown ? frames : -1;
    }

    @Override
    public short[] tail() {
      return new short[0];
    }
  }

  private static final class Playlist implements Crossfader.Tracks {
    final Deque<Tone> left;
    final List<String> log = new ArrayList<>();

    Playlist(Tone... tones) {
      left = new ArrayDeque<>(List.of(tones));
    }

    @Override
    public Crossfader.Track next() {
      return left.poll();
    }

    @Override
    public void ended(Crossfader.Track track, boolean stopped) {
      Tone t = (Tone) track;
      log.add((int) t.hz + " at " + t.position);
    }
  }

  // Mixes the whole list, with a skip after `skipAt` frames if that is not negative.
  private static double[] play(Playlist list, double fadeSeconds, int skipAt) throws IOException {
    Crossfader mixer = new Crossfader(list, 1, Math.round(fadeSeconds * RATE), BLOCK);
    short[] block = new short[BLOCK];
    List<Double> out = new ArrayList<>();
    for (int n; (n = mixer.mix(block, BLOCK)) > 0;) {
      assertTrue(n <= BLOCK);
      for (int i = 0; i < n; i++) out.add((double) block[i]);
      if (skipAt >= 0 && out.size() >= skipAt) {
        assertTrue(mixer.skip());
        skipAt = -1;
      }
    }
    return out.stream().mapToDouble(Double::doubleValue).toArray();
  }

  @Test
  void equalPowerCrossfadeOverlapsTheSongsByItsLength() throws IOException {
    Playlist list = new Playlist(new Tone(440, 2, true), new Tone(660, 2, true));
    double[] x = play(list, 0.5, -1);
    assertEquals(Math.round(3.5 * RATE), x.length, "2 s + 2 s less the 0.5 s of the crossfade");
    assertEquals(List.of("440 at 88200", "660 at 88200"), list.log);

    int window = 2048;
    int fadeStart = (int) (1.5 * RATE);
    int fadeEnd = 2 * RATE;
    for (int centre = RATE; centre < 3 * RATE; centre += 441) {
      int from = centre - window / 2;
      double a = amplitudeAt(x, from, from + window, 440, RATE) / AMPLITUDE;
      double b = amplitudeAt(x, from, from + window, 660, RATE) / AMPLITUDE;
      double p = Math.max(0, Math.min(1, (centre - fadeStart) / (double) (fadeEnd - fadeStart)));
      String where = "at " + centre / (double) RATE + " s: 440 Hz " + a + ", 660 Hz " + b;
      // Only the first song before the fade, only the second after it; both between, with gains
      // cos and sin of the fade's progress, whose powers add up to one.
      assertEquals(Math.cos(p * Math.PI / 2), a, 0.02, where);
      assertEquals(Math.sin(p * Math.PI / 2), b, 0.02, where);
      assertEquals(1, a * a + b * b, 0.03, where);
    }
    // No click: no step between samples larger than the two tones can make at full level.
    double largest = 2 * Math.PI * (440 + 660) * AMPLITUDE / RATE;
    for (int i = fadeStart - BLOCK; i < fadeEnd + BLOCK; i++)
      assertTrue(Math.abs(x[i + 1] - x[i]) <= largest, "step at " + i);
  }

  @Test
  void fadesAreClampedToTheSongsSkippedToOrLeftOutWhereALengthIsUnknown() throws IOException {
    // A 3 s crossfade between songs of 1 s and 2 s lasts 0.5 s: half of the shorter; a song whose
    // length is not known is followed without overlap.
    Playlist list =
        new Playlist(new Tone(440, 1, true), new Tone(550, 2, false), new Tone(660, 2, true));
    double[] x = play(list, 3, -1);
    assertEquals(Math.round(4.5 * RATE), x.length);
    assertEquals(List.of("440 at 44100", "550 at 88200", "660 at 88200"), list.log);
    // Skipping after 1 s of a 4 s song fades into the next over the full second; the first song
    // is left where the fade ended.
    list = new Playlist(new Tone(440, 4, true), new Tone(660, 2.5, true));
    x = play(list, 1, RATE);
    int skipped = (int) (Math.ceil(RATE / (double) BLOCK) * BLOCK);
    assertEquals(skipped + Math.round(2.5 * RATE), x.length);
    assertEquals(List.of("440 at " + (skipped + RATE), "660 at 110250"), list.log);
  }
}
