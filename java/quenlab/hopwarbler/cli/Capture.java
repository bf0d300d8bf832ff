package quenlab.hopwarbler.cli;

import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Planning;
import quenlab.hopwarbler.Processor;

/**
 * Follows a stream through its processor block by block: updates the progress bar and, when a
 * spectrogram is wanted, takes one column of the note spectrum per block.
 */
final class Capture implements AudioStreams.BlockListener {
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
    return spectrogram ? Planning.spectrumRefreshFrames(sampleRate)
                       : AudioStreams.DEFAULT_BLOCK_FRAMES;
  }

  @Override
  public void processed(long inputFrames, short[] output, boolean last) {
    if (progress != null)
      progress.update(inputFrames);
    if (spectrogram == null)
      return;
    // The analyser has seen the native output, which runs latencyFrames() ahead of what the
    // processor has returned; a column shows the sound where the analyser's window is centred.
    long analysed = processor.stats().outputFrames() + processor.latencyFrames();
    double seconds = Math.max(0, analysed - Planning.spectrumLagFrames())
        / (double) processor.sampleRate();
    spectrogram.add(seconds, processor.spectrum());
  }
}
