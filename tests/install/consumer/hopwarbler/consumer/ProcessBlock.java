package hopwarbler.consumer;

import quenlab.hopwarbler.Processor;

/**
 * Opens a {@link Processor}, plays one second of a stereo 441 Hz sine at -12 dBFS (peak 8192)
 * through it at speed 2 and prints the frames that came out and their peak, as "frames 22050 peak
 * 8192" when all is well. The native library comes from wherever the module finds it: the copy
 * inside the jar when java.library.path holds none.
 */
public final class ProcessBlock {
  private ProcessBlock() {}

  public static void main(String[] args) {
    int rate = 44100;
    short[] in = new short[2 * rate];
    for (int frame = 0; frame < rate; frame++) {
      short sample = (short) Math.round(8192 * Math.sin(2 * Math.PI * 441 * frame / rate));
      in[2 * frame] = sample;
      in[2 * frame + 1] = sample;
    }
    try (Processor processor = Processor.open(rate, 2)) {
      processor.setSpeed(2.0);
      short[] out = processor.process(in, 0, rate);
      short[] tail = processor.flush();
      int peak = 0;
      for (short[] part : new short[][] {out, tail}) {
        for (short sample : part) {
          peak = Math.max(peak, Math.abs(sample));
        }
      }
      System.out.println("frames " + (out.length + tail.length) / 2 + " peak " + peak);
    }
  }
}
