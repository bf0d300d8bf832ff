package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.Supplier;
import org.junit.jupiter.api.Test;
import quenlab.hopwarbler.support.ProcessorRuns;
import quenlab.hopwarbler.support.Sounds;

/**
 * Many streams at once: processors of different formats and settings on their own threads, and the
 * raw interface beside them, each give exactly the samples they give alone; engines and processors
 * closed while others run, or used after closing, fail plainly and disturb nothing.
 */
class ManyStreamsTest {
  private static final int RATE = 44100;

  /** One stream from start to end: what it returns is compared alone and among others. */
  private record Run(String name, Supplier<short[]> body) {}

  private static short[] processorRun(
      int rate, int channels, Processor.Quality quality, double speed, double pitch, long seed) {
    short[] music = Sounds.music(rate, 3.0, seed);
    short[] input = channels == 2 ? music : left(music);
    try (Processor p = Processor.open(rate, channels, quality)) {
      p.setSpeed(speed);
      p.setPitch(pitch);
      if (channels == 2)
        p.setVoiceRemoval(0.8, 200, 3000);
      p.setEqualizer(new double[] {100, 5000}, new double[] {3, -4});
      return ProcessorRuns.run(p, input, 1000, 333, 4096);
    }
  }

  // The raw interface's default engine, plain as a host drives it.
  private static short[] rawRun() {
    NativeInterface dsp = new NativeInterface();
    dsp.dspInit(2048, 4, RATE, 2);
    short[] input = Sounds.music(RATE, 2.0, 7);
    List<Short> out = new ArrayList<>();
    short[] block = new short[2 * 640];
    for (int at = 0; at + 2 * 512 <= input.length; at += 2 * 512) {
      System.arraycopy(input, at, block, 0, 2 * 512);
      dsp.dspProcess(block, 512, 640, 0f);
      for (int i = 0; i < 2 * 640; i++) out.add(block[i]);
    }
    short[] result = new short[out.size()];
    for (int i = 0; i < result.length; i++) result[i] = out.get(i);
    return result;
  }

  private static short[] left(short[] stereo) {
    short[] mono = new short[stereo.length / 2];
    for (int i = 0; i < mono.length; i++) mono[i] = stereo[2 * i];
    return mono;
  }

  @Test
  void streamsOnTheirOwnThreadsGiveWhatEachGivesAlone() throws Exception {
    List<Run> runs = List.of(
        new Run("best stereo, slower, key up",
            () -> processorRun(RATE, 2, Processor.Quality.BEST, 0.8, 2, 1)),
        new Run("fast mono at 48 kHz, faster",
            () -> processorRun(48000, 1, Processor.Quality.FAST, 1.5, 0, 2)),
        new Run("balanced stereo at 22.05 kHz, key down",
            () -> processorRun(22050, 2, Processor.Quality.BALANCED, 1.0, -3, 3)),
        new Run("raw interface", ManyStreamsTest::rawRun));
    List<short[]> alone = new ArrayList<>();
    for (Run r : runs) alone.add(r.body().get());

    ExecutorService pool = Executors.newFixedThreadPool(runs.size());
    try {
      for (int round = 0; round < 2; round++) {
        CountDownLatch start = new CountDownLatch(1);
        List<Future<short[]>> together = new ArrayList<>();
        for (Run r : runs) {
          together.add(pool.submit(() -> {
            start.await();
            return r.body().get();
          }));
        }
        start.countDown();
        for (int i = 0; i < runs.size(); i++) {
          assertArrayEquals(alone.get(i), together.get(i).get(), runs.get(i).name());
        }
      }
    } finally {
      pool.shutdownNow();
    }
  }

  @Test
  void aProcessorClosedWhileAnotherRunsChangesNothingForIt() throws Exception {
    short[] input = Sounds.music(RATE, 3.0, 5);
    short[] alone;
    try (Processor p = Processor.open(RATE, 2)) {
      alone = ProcessorRuns.run(p, input, 512);
    }
    AtomicBoolean running = new AtomicBoolean(true);
    Thread churn = new Thread(() -> {
      short[] block = Sounds.music(RATE, 0.2, 9);
      while (running.get()) {
        Processor other = Processor.open(RATE, 2, Processor.Quality.FAST);
        other.setSpeed(2);
        other.process(block, 0, block.length / 2);
        other.close();
      }
    });
    churn.start();
    short[] meanwhile;
    try (Processor p = Processor.open(RATE, 2)) {
      meanwhile = ProcessorRuns.run(p, input, 512);
    } finally {
      running.set(false);
      churn.join();
    }
    assertArrayEquals(alone, meanwhile);
  }

  @Test
  void aClosedEngineRefusesEveryCallAndClosingTwiceIsHarmless() {
    NativeEngine engine = new NativeEngine();
    short[] block = new short[2 * 512];
    assertThrows(IllegalStateException.class, () -> engine.dspProcess(block, 512, 512, 0f),
        "a block before dspInit");
    engine.dspInit(1024, 4, RATE, 2);
    engine.dspProcess(block, 512, 512, 0f);
    assertTrue(engine.nativeBytes() > 0);
    engine.close();
    engine.close();
    assertTrue(engine.isClosed());
    List<Runnable> calls = List.of(() -> engine.dspInit(1024, 4, RATE, 2),
        () -> engine.dspProcess(block, 512, 512, 0f), () -> engine.dspSetPreamp(1f),
        () -> engine.dspPanning(1, 0, 20), () -> engine.dspVoiceRemovalEnable(1),
        () -> engine.dspVoiceRemovalAmount(1f),
        () -> engine.dspVoiceRemovalFilter(new double[] {1}, new double[] {1}, 1, 1),
        () -> engine.dspSpectrumEnable(1), () -> engine.dspGetSpectrum(new float[72], 72),
        engine::dspGetMaxLevel, () -> engine.dspEQEnable(1),
        () -> engine.dspEQSetBands(new float[2048]), () -> engine.dspLinkedStereoEnable(1),
        () -> engine.dspAttacksEnable(1), () -> engine.dspFinePeaksEnable(1),
        () -> engine.dspLevelKeepingEnable(1), engine::nativeBytes,
        () -> engine.stageRoom(512, 256),
        () -> engine.stageProcess(block, 512, 256, 0, 512, block, null),
        () -> engine.stageFinish(block, null), () -> engine.setGain(1f),
        () -> engine.setPitchRatio(1.5));
    for (Runnable call : calls) {
      IllegalStateException e = assertThrows(IllegalStateException.class, call::run);
      assertTrue(e.getMessage().contains("closed"), e.getMessage());
    }
  }

  @Test
  void theOutputStageChecksItsArguments() {
    try (NativeEngine engine = new NativeEngine()) {
      short[] in = new short[2 * 512];
      assertThrows(IllegalStateException.class, () -> engine.stageRoom(512, 256), "before dspInit");
      engine.dspInit(1024, 4, RATE, 2);
      int room = engine.stageRoom(512, 256);
      short[] out = new short[2 * room];
      float[] peak = new float[1];
      assertThrows(IllegalArgumentException.class, () -> engine.stageRoom(512, 2048));
      assertThrows(IllegalArgumentException.class,
          () -> engine.stageProcess(in, 0, 256, 0, 1, out, peak), "no input");
      assertThrows(IllegalArgumentException.class,
          () -> engine.stageProcess(in, 512, 256, -1, 1, out, peak), "negative skip");
      assertThrows(NullPointerException.class,
          () -> engine.stageProcess(null, 512, 256, 0, 1, out, peak));
      assertThrows(IllegalArgumentException.class,
          () -> engine.stageProcess(in, 513, 256, 0, 1, out, peak), "input shorter than said");
      assertThrows(IllegalArgumentException.class,
          () -> engine.stageProcess(in, 512, 256, 0, 1, new short[2 * room - 1], peak));
      assertThrows(IllegalArgumentException.class,
          () -> engine.stageProcess(in, 512, 256, 0, 1, out, new float[0]));
      assertFalse(engine.setPitchRatio(4.5));
      assertTrue(engine.setPitchRatio(1.25));
      assertTrue(engine.stageProcess(in, 512, 256, 0, 512, out, peak) >= 0);
      assertThrows(IllegalArgumentException.class, () -> engine.stageFinish(new short[1], peak));
      assertTrue(engine.stageFinish(out, null) >= 0);
    }
  }

  @Test
  void closingAnEngineWhileOtherThreadsUseItNeverCrashes() throws Exception {
    for (int trial = 0; trial < 20; trial++) {
      long seed = trial;
      NativeEngine engine = new NativeEngine();
      engine.dspInit(512, 4, RATE, 2);
      CountDownLatch started = new CountDownLatch(2);
      Thread audio = new Thread(() -> {
        short[] block = Sounds.music(RATE, 0.05, seed);
        started.countDown();
        try {
          while (true) engine.dspProcess(block, 128, 128, 0f);
        } catch (IllegalStateException closed) {
          // the engine was released: the loop ends
        }
      });
      Thread control = new Thread(() -> {
        started.countDown();
        try {
          while (true) {
            engine.dspSetPreamp(0.5f);
            engine.dspGetSpectrum(new float[72], 72);
            engine.dspEQSetBands(new float[2048]);
          }
        } catch (IllegalStateException closed) {
          // likewise
        }
      });
      audio.start();
      control.start();
      started.await();
      assertDoesNotThrow(engine::close);
      audio.join();
      control.join();
    }
  }

  @Test
  void theEqualiserServesEveryFrameWhateverRanBefore() {
    // A processor of small frames first; then one of 4096 cuts an 8 kHz tone (bin 743, past the
    // reach of a table sized for the small frames) by the depth asked for.
    Processor.open(RATE, 1, 512, 4).close();
    short[] tone = Sounds.tones(RATE, new double[] {8000}, new double[] {0.3}, RATE);
    try (Processor p = Processor.open(RATE, 1, 4096, 16)) {
      p.setEqualizer(new double[] {4000, 8000, 16000}, new double[] {0, -20, 0});
      short[] out = ProcessorRuns.run(p, tone, 1024);
      double level = rms(out, out.length / 4, out.length / 2);
      double expected = 0.3 / Math.sqrt(2) * Math.pow(10, -20 / 20.0);
      assertEquals(expected, level, expected * 0.25);
    }
  }

  private static double rms(short[] samples, int from, int count) {
    double sum = 0;
    for (int i = from; i < from + count; i++) sum += (samples[i] / 32768.0) * (samples[i] / 32768.0);
    return Math.sqrt(sum / count);
  }
}
