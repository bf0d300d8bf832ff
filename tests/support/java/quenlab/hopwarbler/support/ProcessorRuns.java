package quenlab.hopwarbler.support;

import java.util.ArrayList;
import java.util.List;
import java.util.function.IntConsumer;
import quenlab.hopwarbler.Processor;

/** A whole stream through a {@link Processor}, as a player feeds it. */
public final class ProcessorRuns {
  private ProcessorRuns() {}

  /**
   * Feeds {@code input} in blocks of the given sizes (cycled), then flushes; returns all the
   * output.
   */
  public static short[] run(Processor p, short[] input, int... blocks) {
    return run(p, input, blocks, k -> {});
  }

  /**
   * Feeds {@code input} in blocks of {@code block} frames, calling {@code atBlock} with k before
   * block k (to change a setting there), then flushes; returns all the output.
   */
  public static short[] run(Processor p, short[] input, int block, IntConsumer atBlock) {
    return run(p, input, new int[] {block}, atBlock);
  }

  private static short[] run(Processor p, short[] input, int[] blocks, IntConsumer atBlock) {
    int channels = p.channels();
    int frames = input.length / channels;
    List<short[]> parts = new ArrayList<>();
    int at = 0;
    for (int k = 0; at < frames; k++) {
      atBlock.accept(k);
      int n = Math.min(blocks[k % blocks.length], frames - at);
      parts.add(p.process(input, at * channels, n));
      at += n;
    }
    parts.add(p.flush());
    return Pcm.concat(parts);
  }
}
