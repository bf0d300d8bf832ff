package quenlab.hopwarbler.cli;

import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Processor;

/**
 * Follows a stream through its processor block by block: updates the progress bar and, when a
 * spectrogram is wanted, takes one column of the note spectrum per block.
 */
final class Capture implements AudioStreams.BlockListener {
  // The analyser's history spans 16384 output frames; its Hann window weights them around the
  // middle, 8192 frames before the newest one.
  private static final int ANALYSER_CENTRE_FRAMES = 8192;

  private final Processor processor;
  private final Spectrogram spectrogram;
  private final Progress progress;

  Capture(Processor processor, Spectrogram spectrogram, Progress progress) {
    this.processor = processor;
    this.spectrogram = spectrogram;
    this.progress = progress;
  }

  /** Frames per block: 1/32 s (the analyser's refresh period) when recording a spectrogram. */
  static int blockFrames(int sampleRate, boolean spectrogram) {
    return spectrogram ? Math.max(1, sampleRate / 32) : AudioStreams.DEFAULT_BLOCK_FRAMES;
  }

  @Override
  public void processed(long inputFrames, short[] output, boolean last) {
    if (progress != null)
      progress.update(inputFrames);
    if (spectrogram == null)
      return;
    // The analyser has seen the native output, which runs latencyFrames() ahead of what the
    // processor has returned; a column shows the sound around the middle of its history.
    long analysed = processor.stats().outputFrames() + processor.latencyFrames();
    double seconds =
        Math.max(0, analysed - ANALYSER_CENTRE_FRAMES) / (double) processor.sampleRate();
    spectrogram.add(seconds, processor.spectrum());
  }
}
