// Several engines at once: streams of different formats and settings, each on its own
// thread (and the default engine beside them), give exactly what each gives alone, and
// engines made and released while others run disturb nothing. Runs under
// ThreadSanitizer and AddressSanitizer in the test command.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dsp.h"
#include "fft.h"
#include "music.h"

namespace {

struct Stream {
  std::string name;
  int frameSize, overSampling, rate, channels;
  int blockIn, blockOut;  // frames per block
  bool refinements, voiceRemoval, equaliser;
};

// A resonant second-order low-pass: any stable design exercises the voice filters.
const double kFilterA[] = {1.0, -1.6, 0.7};
const double kFilterB[] = {0.05, 0.1, 0.05};

std::vector<short> run(Engine& engine, const Stream& s, const std::vector<short>& music) {
  engine.init(s.frameSize, s.overSampling, s.rate, s.channels);
  engine.equaliser().init(fftMaxSize / 2);
  engine.setLinkedStereo(s.refinements);
  engine.setAttacks(s.refinements);
  engine.setFinePeaks(s.refinements);
  engine.setLevelKeeping(s.refinements);
  if (s.voiceRemoval) {
    engine.voiceFilters().load(kFilterA, kFilterB, 3, 3);
    engine.setVoiceRemovalEnabled(true);
    engine.setVoiceRemovalAmount(0.9f);
  }
  if (s.equaliser) {
    std::vector<float> gains(engine.equaliser().size());
    for (size_t k = 0; k < gains.size(); ++k) gains[k] = 1.0f / (1.0f + k / 64.0f);
    engine.setEqBands(gains.data());
    engine.equaliser().enable(1);
  }
  const int channels = s.channels == 1 ? 1 : 2;
  const int frames = static_cast<int>(music.size() / 2);
  std::vector<short> out, block(static_cast<size_t>(std::max(s.blockIn, s.blockOut)) * channels);
  std::vector<float> bands(SpectrumAnalyser::size());
  for (int at = 0; at + s.blockIn <= frames; at += s.blockIn) {
    for (int i = 0; i < s.blockIn; ++i) {
      for (int c = 0; c < channels; ++c) block[i * channels + c] = music[2 * (at + i) + c];
    }
    EXPECT_EQ(engine.process(block.data(), s.blockIn, s.blockOut), DSP_OK);
    out.insert(out.end(), block.begin(), block.begin() + s.blockOut * channels);
    engine.spectrum().copy(bands.data(), static_cast<int>(bands.size()));
    for (float b : bands) out.push_back(static_cast<short>(std::min(b * 1000.0f, 32767.0f)));
  }
  return out;
}

const std::vector<Stream> kStreams = {
    {"4096/16 stereo, all refinements, slower", 4096, 16, 44100, 2, 1024, 1280, true, true, true},
    {"2048/4 mono, faster", 2048, 4, 48000, 1, 512, 256, false, false, false},
    {"1024/8 stereo, voice removal, plain", 1024, 8, 22050, 2, 384, 384, false, true, false},
    {"512/4 stereo, refinements, equaliser", 512, 4, 8000, 2, 128, 200, true, false, true},
};

TEST(Engines, OnTheirOwnThreadsEachGivesWhatItGivesAlone) {
  const std::vector<short> music = music_render(44100, 44100 * 2);
  std::vector<std::vector<short>> alone;
  for (const Stream& s : kStreams) {
    Engine engine;
    alone.push_back(run(engine, s, music));
  }
  // The default engine runs the first stream again at the same time.
  std::vector<std::vector<short>> together(kStreams.size() + 1);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kStreams.size(); ++i) {
    threads.emplace_back([&, i] {
      Engine engine;
      together[i] = run(engine, kStreams[i], music);
    });
  }
  threads.emplace_back([&] { together.back() = run(dsp_default_engine(), kStreams[1], music); });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < kStreams.size(); ++i) {
    EXPECT_EQ(together[i], alone[i]) << kStreams[i].name;
  }
  EXPECT_EQ(together.back(), alone[1]) << "the default engine";
}

TEST(Engines, MadeAndReleasedWhileAnotherRunsDisturbNothing) {
  const std::vector<short> music = music_render(44100, 44100);
  const Stream& steady = kStreams[0];
  Engine reference;
  const std::vector<short> alone = run(reference, steady, music);
  std::vector<short> meanwhile;
  std::thread worker([&] {
    Engine engine;
    meanwhile = run(engine, steady, music);
  });
  for (int i = 0; i < 6; ++i) {
    auto churn = std::make_unique<Engine>();
    run(*churn, kStreams[1 + i % 3], std::vector<short>(music.begin(), music.begin() + 2 * 8192));
  }
  worker.join();
  EXPECT_EQ(meanwhile, alone);
}

// The analyser as a tap on the output: the samples stay what they were, and the bands
// no longer depend on how the stream is cut into blocks (fed inside the vocoder, they
// do wherever hops are not a multiple of the decimation).
TEST(Engines, SpectrumTapKeepsTheSamplesAndIgnoresTheBlocks) {
  const std::vector<short> music = music_render(44100, 384 * 100);
  Stream s = kStreams[2];
  s.blockOut = 402;  // hops of 134 frames: not a multiple of 4
  Engine plain;
  const std::vector<short> fed = run(plain, s, music);
  std::vector<std::vector<float>> tapped;
  for (int split : {1, 3}) {
    Stream cut = s;
    cut.blockIn /= split;
    cut.blockOut /= split;
    Engine engine;
    engine.setSpectrumTap(true);
    std::vector<short> out = run(engine, cut, music);
    std::vector<float> bands(SpectrumAnalyser::size());
    engine.spectrum().copy(bands.data(), static_cast<int>(bands.size()));
    tapped.emplace_back(bands.begin(), bands.end());
    if (split == 1) {
      // The same samples; only the bands after each block differ.
      const size_t perBlock = s.blockOut * 2 + SpectrumAnalyser::size();
      ASSERT_EQ(out.size(), fed.size());
      for (size_t at = 0; at < out.size(); at += perBlock) {
        EXPECT_TRUE(
            std::equal(out.begin() + at, out.begin() + at + s.blockOut * 2, fed.begin() + at))
            << "block " << at / perBlock;
      }
    }
  }
  EXPECT_EQ(tapped[0], tapped[1]);
}

TEST(Engines, MemoryPerEngineAtTheLargestFrame) {
  Engine engine;
  const std::vector<short> music = music_render(44100, 8192);
  run(engine, kStreams[0], music);
  EXPECT_LT(engine.bytes(), 4u << 20);
}

}  // namespace
